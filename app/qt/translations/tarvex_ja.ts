<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>TMainWindow</name>
    <message>
        <source>&amp;Cancel</source>
        <translation>中止(&amp;C)</translation>
    </message>
    <message>
        <source>Stops the connection or the send in progress</source>
        <translation>接続中・送信中の処理を中止します</translation>
    </message>
    <message>
        <source>%1 of %2 bytes</source>
        <translation>%2 バイト中 %1 バイト</translation>
    </message>
    <message>
        <source>%1 of %2 KB</source>
        <translation>%2 KB 中 %1 KB</translation>
    </message>
    <message>
        <source>Ready</source>
        <translation>準備完了</translation>
    </message>
    <message>
        <source>none</source>
        <translation>なし</translation>
    </message>
    <message>
        <source>auto</source>
        <translation>自動</translation>
    </message>
    <message>
        <source>Command: </source>
        <translation>コマンド:</translation>
    </message>
    <message>
        <source>Host: </source>
        <translation>ホスト:</translation>
    </message>
    <message>
        <source>Port: </source>
        <translation>ポート:</translation>
    </message>
    <message>
        <source>UserName: </source>
        <translation>ユーザ名:</translation>
    </message>
    <message>
        <source>Password: </source>
        <translation>パスワード:</translation>
    </message>
    <message>
        <source>Name: </source>
        <translation>名前:</translation>
    </message>
    <message>
        <source>&amp;Verify</source>
        <translation>確認(&amp;V)</translation>
    </message>
    <message>
        <source>List to Expand: </source>
        <translation>展開するリスト:</translation>
    </message>
    <message>
        <source>&amp;Expand List</source>
        <translation>リスト展開(&amp;E)</translation>
    </message>
    <message>
        <source>About Tarvex</source>
        <translation>Tarvex について</translation>
    </message>
    <message>
        <source>&amp;About Tarvex</source>
        <translation>バージョン情報(&amp;I)</translation>
    </message>
    <message>
        <source>Mailing List Members</source>
        <translation>メーリングリストのメンバー</translation>
    </message>
    <message>
        <source>Mail</source>
        <translation>メール</translation>
    </message>
    <message>
        <source>Connection</source>
        <translation>接続</translation>
    </message>
    <message>
        <source>Recipients (required)</source>
        <translation>宛名（必須）</translation>
    </message>
    <message>
        <source>Copies</source>
        <translation>写し</translation>
    </message>
    <message>
        <source>Subject (required)</source>
        <translation>題名（必須）</translation>
    </message>
    <message>
        <source>Where answers go, when not to the sender</source>
        <translation>返信の宛先（差出人以外に返信させるとき）</translation>
    </message>
    <message>
        <source>Answers to:</source>
        <translation>返信の送り先:</translation>
    </message>
    <message>
        <source>Ask for a read &amp;receipt</source>
        <translation>開封確認を要求(&amp;R)</translation>
    </message>
    <message>
        <source>normal</source>
        <translation>普通</translation>
    </message>
    <message>
        <source>high</source>
        <translation>高</translation>
    </message>
    <message>
        <source>low</source>
        <translation>低</translation>
    </message>
    <message>
        <source>Priority:</source>
        <translation>重要度:</translation>
    </message>
    <message>
        <source>Add the &amp;signature:</source>
        <translation>署名を付ける(&amp;S):</translation>
    </message>
    <message>
        <source>Signature</source>
        <translation>署名</translation>
    </message>
    <message>
        <source>Reply address (required)</source>
        <translation>返信（必須）</translation>
    </message>
    <message>
        <source>Subject:</source>
        <translation>題名:</translation>
    </message>
    <message>
        <source>Reply-To:</source>
        <translation>返信先:</translation>
    </message>
    <message>
        <source>Attached files</source>
        <translation>添付ファイルリスト</translation>
    </message>
    <message>
        <source>Attachments:</source>
        <translation>添付:</translation>
    </message>
    <message>
        <source>&amp;Add...</source>
        <translation>参照追加(&amp;A)</translation>
    </message>
    <message>
        <source>Adds a file to attach</source>
        <translation>添付ファイルの追加です</translation>
    </message>
    <message>
        <source>&amp;Delete</source>
        <translation>削除(&amp;D)</translation>
    </message>
    <message>
        <source>Removes the selected attachment</source>
        <translation>添付ファイルを削除します</translation>
    </message>
    <message>
        <source>Message body</source>
        <translation>本文</translation>
    </message>
    <message>
        <source>&amp;Body:</source>
        <translation>本文(&amp;B):</translation>
    </message>
    <message>
        <source>Load &amp;Macro...</source>
        <translation>マクロ読込(&amp;M)</translation>
    </message>
    <message>
        <source>Reads a macro file</source>
        <translation>マクロを読み込みます</translation>
    </message>
    <message>
        <source>Clea&amp;r</source>
        <translation>クリア(&amp;R)</translation>
    </message>
    <message>
        <source>Clears every field</source>
        <translation>全部をクリアします</translation>
    </message>
    <message>
        <source>&amp;Send</source>
        <translation>送信(&amp;S)</translation>
    </message>
    <message>
        <source>Sends the mail</source>
        <translation>送信します</translation>
    </message>
    <message>
        <source>SMTP server (required)</source>
        <translation>接続先（必須）</translation>
    </message>
    <message>
        <source>Port number (required)</source>
        <translation>ポート番号（必須）</translation>
    </message>
    <message>
        <source>Encryption (STARTTLS: port 587, TLS: port 465)</source>
        <translation>暗号化（STARTTLS: 587番, TLS: 465番）</translation>
    </message>
    <message>
        <source>Authentication (inside TLS only). With XOAUTH2 and OAUTHBEARER the password is an access token</source>
        <translation>認証方式（TLS の中だけ）。XOAUTH2 と OAUTHBEARER ではパスワードがアクセストークンです</translation>
    </message>
    <message>
        <source>Character set of the mail (auto: UTF-8 when a character does not fit ISO-2022-JP)</source>
        <translation>メールの文字コード（自動: ISO-2022-JP に収まらない文字があれば UTF-8）</translation>
    </message>
    <message>
        <source>User name (required)</source>
        <translation>ユーザ名（必須）</translation>
    </message>
    <message>
        <source>Password (required)</source>
        <translation>パスワード（必須）</translation>
    </message>
    <message>
        <source>A command that prints the password or token (empty: the password field)</source>
        <translation>パスワードまたはトークンを出力するコマンド（空ならパスワード欄）</translation>
    </message>
    <message>
        <source>&amp;Connect</source>
        <translation>接続(&amp;C)</translation>
    </message>
    <message>
        <source>&amp;Disconnect</source>
        <translation>切断(&amp;X)</translation>
    </message>
    <message>
        <source>Security:</source>
        <translation>暗号化:</translation>
    </message>
    <message>
        <source>AUTH:</source>
        <translation>認証:</translation>
    </message>
    <message>
        <source>Charset:</source>
        <translation>文字コード:</translation>
    </message>
    <message>
        <source>Settings file</source>
        <translation>設定ファイル</translation>
    </message>
</context>
<context>
    <name>TFormWindow</name>
    <message>
        <source>Version %1</source>
        <translation>バージョン %1</translation>
    </message>
    <message>
        <source>Sent: %1, %2</source>
        <translation>送信しました: %1, %2</translation>
    </message>
    <message>
        <source> (refused: %1)</source>
        <translation>（届かなかった宛先: %1）</translation>
    </message>
    <message>
        <source>The send was cancelled</source>
        <translation>送信を中止しました</translation>
    </message>
    <message>
        <source>connecting</source>
        <translation>接続</translation>
    </message>
    <message>
        <source>Not sent (%1): %2</source>
        <translation>送信できませんでした（%1）: %2</translation>
    </message>
    <message>
        <source>A send is in progress. Cancel it and close the window?</source>
        <translation>送信中です。送信を中止してウィンドウを閉じますか？</translation>
    </message>
    <message>
        <source>This mail has not been sent. Discard it and close the window?</source>
        <translation>このメールはまだ送信していません。破棄してウィンドウを閉じますか？</translation>
    </message>
    <message>
        <source>Remove %1 from the attachments?</source>
        <translation>%1 を添付から外しますか？</translation>
    </message>
    <message>
        <source>To</source>
        <translation>宛名</translation>
    </message>
    <message>
        <source>Subject</source>
        <translation>題名</translation>
    </message>
    <message>
        <source>Reply-To</source>
        <translation>返信先</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <translation>%1（%2）</translation>
    </message>
    <message>
        <source>, </source>
        <translation>、</translation>
    </message>
</context>
<context>
    <name>TForm1</name>
    <message>
        <source>Connected</source>
        <translation>接続しました</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>切断しました</translation>
    </message>
    <message>
        <source>Host Resolved</source>
        <translation>ホスト名を解決しました</translation>
    </message>
    <message>
        <source>Success</source>
        <translation>送信に成功しました</translation>
    </message>
    <message>
        <source>Failure</source>
        <translation>送信に失敗しました</translation>
    </message>
    <message>
        <source>Connection Failed</source>
        <translation>接続できませんでした</translation>
    </message>
    <message>
        <source>Already connected</source>
        <translation>すでに接続しています</translation>
    </message>
    <message>
        <source>Connection Required. Connect?</source>
        <translation>接続していません。接続しますか？</translation>
    </message>
    <message>
        <source>Header Incomplete.</source>
        <translation>ヘッダーが不完全です。</translation>
    </message>
    <message>
        <source>Invalid Host!</source>
        <translation>ホスト名が正しくありません</translation>
    </message>
    <message>
        <source>Specify a new host:</source>
        <translation>新しいホスト名を入力してください:</translation>
    </message>
    <message>
        <source>Not Connected</source>
        <translation>接続していません</translation>
    </message>
    <message>
        <source>Connection Timed out</source>
        <translation>接続がタイムアウトしました</translation>
    </message>
    <message>
        <source>Connection Canceled</source>
        <translation>接続を中止しました</translation>
    </message>
    <message>
        <source>Host Lookup Failed</source>
        <translation>ホスト名を解決できませんでした</translation>
    </message>
    <message>
        <source>Host Lookup Timed Out</source>
        <translation>ホスト名の解決がタイムアウトしました</translation>
    </message>
    <message>
        <source>Host Lookup Canceled</source>
        <translation>ホスト名の解決を中止しました</translation>
    </message>
    <message>
        <source>Null Remote Address</source>
        <translation>接続先がありません</translation>
    </message>
    <message>
        <source>Socket send aborted</source>
        <translation>送信を中止しました</translation>
    </message>
    <message>
        <source>Socket readln aborted</source>
        <translation>サーバーの応答待ちを中止しました</translation>
    </message>
    <message>
        <source>Authentication failed</source>
        <translation>認証に失敗しました</translation>
    </message>
    <message>
        <source>%1 bytes of %2 sent</source>
        <translation>%2 バイト中 %1 バイト送信</translation>
    </message>
    <message>
        <source>Recipient &quot;%1&quot; not found</source>
        <translation>宛先「%1」は受け付けられませんでした</translation>
    </message>
    <message>
        <source>%1 not verified</source>
        <translation>%1 は確認できませんでした</translation>
    </message>
    <message>
        <source>%1 verified</source>
        <translation>%1 は確認されました</translation>
    </message>
    <message>
        <source>Encoding %1</source>
        <translation>%1 を符号化しています</translation>
    </message>
    <message>
        <source>%1 not Exist</source>
        <translation>%1 がありません</translation>
    </message>
    <message>
        <source>Incomplete Header</source>
        <translation>ヘッダが不完全です</translation>
    </message>
    <message>
        <source>STARTTLS not offered by the server</source>
        <translation>サーバが STARTTLS に対応していません</translation>
    </message>
    <message>
        <source>AUTH PLAIN or LOGIN not offered by the server</source>
        <translation>サーバが AUTH PLAIN にも LOGIN にも対応していません</translation>
    </message>
    <message>
        <source>SMTP AUTH needs Security starttls or tls: the password is never sent unencrypted</source>
        <translation>SMTP AUTH には暗号化（STARTTLS または TLS）が必要です。パスワードを暗号化せずに送ることはありません</translation>
    </message>
    <message>
        <source>TLS set-up failed</source>
        <translation>TLS の準備に失敗しました</translation>
    </message>
    <message>
        <source>Network is down</source>
        <translation>ネットワークが停止しています</translation>
    </message>
    <message>
        <source>Network is unreachable</source>
        <translation>ネットワークに到達できません</translation>
    </message>
    <message>
        <source>Network dropped connection or reset</source>
        <translation>ネットワークが接続を切りました</translation>
    </message>
    <message>
        <source>Software caused connection abort</source>
        <translation>接続が中断されました</translation>
    </message>
    <message>
        <source>Connection reset by peer</source>
        <translation>相手が接続をリセットしました</translation>
    </message>
    <message>
        <source>Connection timed out</source>
        <translation>接続がタイムアウトしました</translation>
    </message>
    <message>
        <source>Connection refused</source>
        <translation>接続を拒否されました</translation>
    </message>
    <message>
        <source>Host is down</source>
        <translation>ホストが停止しています</translation>
    </message>
    <message>
        <source>No route to Host</source>
        <translation>ホストへの経路がありません</translation>
    </message>
    <message>
        <source>Host not found</source>
        <translation>ホストが見つかりません</translation>
    </message>
    <message>
        <source>Non-Authoritative Host not found</source>
        <translation>ホストが見つかりません（一時的な失敗）</translation>
    </message>
    <message>
        <source>Non-Recoverable error: FORMERR, REFUSED, NOTIMP</source>
        <translation>名前解決で回復できないエラーが起きました</translation>
    </message>
    <message>
        <source>Valid name, no data record of requested type</source>
        <translation>名前はありますが、アドレスが登録されていません</translation>
    </message>
    <message>
        <source>All recipients refused: %1</source>
        <translation>すべての宛先が拒否されました: %1</translation>
    </message>
    <message>
        <source>Connection Failed: %1</source>
        <translation>接続できませんでした: %1</translation>
    </message>
    <message>
        <source>Null Remote Address: %1</source>
        <translation>接続先がありません: %1</translation>
    </message>
    <message>
        <source>TLS handshake failed: %1</source>
        <translation>TLS の接続手順に失敗しました: %1</translation>
    </message>
    <message>
        <source>TLS session failed: %1</source>
        <translation>TLS の通信に失敗しました: %1</translation>
    </message>
    <message>
        <source>TLS is not available: %1</source>
        <translation>TLS を使えません: %1</translation>
    </message>
    <message>
        <source>Server certificate not trusted: %1</source>
        <translation>サーバの証明書を信頼できません: %1</translation>
    </message>
    <message>
        <source>Server certificate is for another host, not %1</source>
        <translation>サーバの証明書は別のホストのもので、%1 のものではありません</translation>
    </message>
    <message>
        <source>The %1 address is too long for a mail header line %2</source>
        <translation>%1 のアドレスがメールのヘッダ行には長すぎます %2</translation>
    </message>
    <message>
        <source>Fill in the required fields</source>
        <translation>必須項目を記入してください</translation>
    </message>
    <message>
        <source>Choose a file to attach</source>
        <translation>添付ファイルの指定</translation>
    </message>
    <message>
        <source>All files (*.*)</source>
        <translation>すべてのファイル(*.*)</translation>
    </message>
    <message>
        <source>Text files (*.txt)</source>
        <translation>ﾃｷｽﾄﾌｧｲﾙ(*.txt)</translation>
    </message>
    <message>
        <source>Cannot write %1%2</source>
        <translation>%1 に書き込めません%2</translation>
    </message>
    <message>
        <source>Not sent</source>
        <translation>送信しませんでした</translation>
    </message>
</context>
<context>
    <name>TSendCheckDialog</name>
    <message>
        <source>Check before sending</source>
        <translation>送信前の確認</translation>
    </message>
    <message>
        <source>This mail leaves the company. Tick each outside recipient and each attachment.</source>
        <translation>このメールは社外に送られます。社外の宛先と添付ファイルをひとつずつ確認してチェックしてください。</translation>
    </message>
    <message>
        <source>(no domain)</source>
        <translation>（ドメインなし）</translation>
    </message>
    <message>
        <source>%1 (outside)</source>
        <translation>%1（社外）</translation>
    </message>
    <message>
        <source>Attachments</source>
        <translation>添付ファイル</translation>
    </message>
    <message>
        <source>&amp;Send</source>
        <translation>送信(&amp;S)</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>キャンセル</translation>
    </message>
</context>
</TS>
