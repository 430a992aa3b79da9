// The form model bound to the desktop window, on the offscreen platform: typed text
// reaches the model as CP932 and model changes show; buttons and links run their
// handlers (errors to the general error report); a macro run locks both pages while
// the status bar keeps working and repainting; activation starts the start-up macro
// once; closing saves the settings, and a failed save keeps the window; the exit
// status of a desktop run.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>

#include "support/ScriptedDialogs.h"
#include "platform/FileUtil.h"
#include "platform/MessagePump.h"
#include "platform/Profile.h"
#include "platform/SysUtils.h"
#include "app/ExitStatus.h"
#include "app/MacroReader.h"
#include "app/Rw_ini.h"
#include "app/Version.h"
#include "app/qt/FormWindow.h"
#include "app/qt/SendCheckDialog.h"
#include "platform/qt/QtPump.h"
#include "support/ScriptServer.h"

namespace {

std::string Cp(const char* utf8) { return Utf8ToCp932(utf8); }
QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Types text into the widget, one key event per character (QTest::keyClicks knows
// only ASCII keys).
void Type(QWidget* w, const QString& text) {
  for (qsizetype i = 0; i < text.size();) {
    qsizetype n = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, text.mid(i, n), Qt::NoModifier);
    i += n;
  }
}

// Replaces a line edit's text as a user does: select all, type.
void Retype(QLineEdit* edit, const QString& text) {
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  Type(edit, text);
}

// A macro file's bytes: CP932 lines ended by CR LF.
std::string MacroBytes(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* l : lines) out += Cp(l) + "\r\n";
  return out;
}

// Runs the process's pump until pred holds or timeoutMs pass; answers pred.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
  TMessagePump& pump = TMessagePump::Instance();
  const uint64_t deadline = pump.NowMs() + static_cast<uint64_t>(timeoutMs);
  while (!pred()) {
    const uint64_t now = pump.NowMs();
    if (now >= deadline) return false;
    pump.WaitMessage(static_cast<int>(deadline - now));
    pump.ProcessMessages();
  }
  return true;
}

// A form whose SMTP hooks record their calls (or, with realSmtp, also pass them on
// to the component); onConnect runs inside the connect hook, during the run.
class RecordingForm : public TForm1 {
 public:
  std::vector<std::string> calls;
  bool realSmtp = false;
  bool sendForReal = false;  // SendCommand runs the form's own send
  std::function<void()> onConnect;

  void SmtpConnect(const std::string& host, int port, const std::string& userId) override {
    calls.push_back("connect " + host + " " + std::to_string(port) + " " + userId);
    if (onConnect) onConnect();
    if (realSmtp) TForm1::SmtpConnect(host, port, userId);
  }
  void SmtpDisconnect() override {
    calls.push_back("disconnect");
    if (realSmtp) TForm1::SmtpDisconnect();
  }
  void SmtpAbort() override {
    calls.push_back("abort");
    if (realSmtp) TForm1::SmtpAbort();
  }
  void SendCommand() override {
    calls.push_back("send to=" + To + " subject=" + Subject + " from=" + SenderAddress);
    if (sendForReal) TForm1::SendCommand();
  }
};

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

class FormWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application().Reset();
    SetParams({});
    ASSERT_TRUE(dir_.isValid());
    ini_ = File("t.INI");
    ::setenv("TARVEX_INI", ini_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TARVEX_INI");
    SetParams({});
    Application().Reset();
  }

  std::string File(const char* name) const { return dir_.filePath(QString::fromUtf8(name)).toStdString(); }
  std::string Write(const char* name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
    return File(name);
  }

  // Creates the window over the form, runs form creation (settings, command line)
  // and shows the window.
  void Open(std::vector<std::string> params = {}) {
    SetParams(params);
    view_ = std::make_unique<TFormWindow>(form_);
    form_.FormCreate();
    W().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&W()));
  }
  TMainWindow& W() { return view_->Window(); }
  void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, w->rect().center()); }
  void ShowPage(int index) { W().Pages()->setCurrentIndex(index); }

  TQtPumpGuard pump_;
  TScriptedDialogs dialogs_;
  TDialogsGuard dialogsGuard_{&dialogs_};
  QTemporaryDir dir_;
  std::string ini_;
  RecordingForm form_;
  std::unique_ptr<TFormWindow> view_;
};

TEST_F(FormWindowTest, LineFieldsCarryTypedJapaneseToTheModelAndModelChangesBack) {
  Open();
  struct Case {
    const char* name;
    TCp932LineEdit* (TMainWindow::*widget)() const;
    std::string TForm1::*member;
    TFormField field;
    int page;
  };
  const Case cases[] = {
      {"To", &TMainWindow::To, &TForm1::To, TFormField::To, 0},
      {"Cc", &TMainWindow::Cc, &TForm1::Cc, TFormField::Cc, 0},
      {"Bcc", &TMainWindow::Bcc, &TForm1::Bcc, TFormField::Bcc, 0},
      {"Subject", &TMainWindow::Subject, &TForm1::Subject, TFormField::Subject, 0},
      {"SenderAddress", &TMainWindow::SenderAddress, &TForm1::SenderAddress, TFormField::SenderAddress, 0},
      {"Server", &TMainWindow::Server, &TForm1::Server, TFormField::Server, 1},
      {"Port", &TMainWindow::Port, &TForm1::Port, TFormField::Port, 1},
      {"UserName", &TMainWindow::UserName, &TForm1::UserName, TFormField::UserName, 1},
      {"Password", &TMainWindow::Password, &TForm1::Password, TFormField::Password, 1},
      {"DisplayName", &TMainWindow::DisplayName, &TForm1::DisplayName, TFormField::DisplayName, 1},
      {"ListToExpand", &TMainWindow::ListToExpand, &TForm1::ListToExpand, TFormField::ListToExpand, 1},
  };
  for (const Case& c : cases) {
    ShowPage(c.page);
    TCp932LineEdit* edit = (W().*c.widget)();
    Retype(edit, Q("件名ｶﾅ～①"));
    EXPECT_EQ(form_.*c.member, Cp("件名ｶﾅ～①")) << c.name;
    // The model taking the typed text leaves the cursor where the typing left it.
    EXPECT_EQ(edit->cursorPosition(), Q("件名ｶﾅ～①").size()) << c.name;
    // A character without a CP932 form never reaches the model.
    Type(edit, Q("한"));
    EXPECT_EQ(form_.*c.member, Cp("件名ｶﾅ～①")) << c.name;
    form_.*c.member = Cp("モデルの値");
    form_.Notify(c.field);
    EXPECT_EQ(edit->text(), Q("モデルの値")) << c.name;
    // A text the model sets shows from its start.
    EXPECT_EQ(edit->cursorPosition(), 0) << c.name;
  }
}

TEST_F(FormWindowTest, MultiLineFieldsFollowTheModelLineByLine) {
  Open();
  Type(W().Body(), Q("一行目"));
  QTest::keyClick(W().Body(), Qt::Key_Return);
  Type(W().Body(), Q("二行目"));
  EXPECT_EQ(form_.Body.Lines(), (std::vector<std::string>{Cp("一行目"), Cp("二行目")}));

  form_.ExecuteMacroLine(msBody, Cp("三行目"));
  EXPECT_EQ(W().Body()->toPlainText(), Q("一行目\n二行目\n三行目"));

  form_.OnSmtpMailListReturn("250 a@example.jp\r\n");
  form_.OnSmtpMailListReturn(Cp("250 担当 <b@example.jp>"));
  EXPECT_EQ(W().ListMembers()->toPlainText(), Q("250 a@example.jp\n250 担当 <b@example.jp>"));
}

TEST_F(FormWindowTest, AttachButtonAddsTheChosenFileAndRemoveDropsTheSelectedOne) {
  Open();
  dialogs_.fileAnswers = {{true, Cp("/tmp/添付1.txt")}, {true, "/tmp/b.bin"}};
  for (int i = 0; i < 3; ++i) Click(W().Button(TFormButton::AddAttachments));  // the third chooser is cancelled
  ASSERT_EQ(dialogs_.calls.size(), 3u);
  EXPECT_EQ(dialogs_.calls[0].kind, "file");
  EXPECT_EQ(dialogs_.calls[0].extra, Cp("すべてのファイル(*.*)|*.*"));
  ASSERT_EQ(W().Attachments()->count(), 2);
  EXPECT_EQ(W().Attachments()->item(0)->text(), Q("添付1.txt"));

  QListWidget* list = W().Attachments();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                    list->visualItemRect(list->item(0)).center());
  EXPECT_EQ(form_.SelectedAttachment, 0);
  Click(W().Button(TFormButton::RemoveAttachment));
  EXPECT_EQ(form_.Attachments.Lines(), std::vector<std::string>{"/tmp/b.bin"});
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->toolTip(), Q("/tmp/b.bin"));
  // Nothing selected now: remove changes nothing.
  Click(W().Button(TFormButton::RemoveAttachment));
  EXPECT_EQ(list->count(), 1);
  EXPECT_EQ(form_.Attachments.Count(), 1);
}

TEST_F(FormWindowTest, ConnectAndDisconnectButtonsUseTheConnectionFields) {
  Open();
  ShowPage(1);
  Retype(W().Server(), Q("smtp.example.jp"));
  Retype(W().Port(), Q("587"));
  Retype(W().UserName(), Q("利用者"));
  Click(W().Button(TFormButton::Connect));
  Click(W().Button(TFormButton::Connect));  // connected already: nothing
  Click(W().Button(TFormButton::Disconnect));
  Click(W().Button(TFormButton::Disconnect));  // not connected: nothing
  EXPECT_EQ(form_.calls, (std::vector<std::string>{"connect smtp.example.jp 587 " + Cp("利用者"), "disconnect"}));
}

TEST_F(FormWindowTest, AnErrorOfAHandlerGoesToTheGeneralErrorReport) {
  Open();
  ShowPage(1);
  Retype(W().Port(), Q("abc"));
  Click(W().Button(TFormButton::Connect));
  EXPECT_TRUE(form_.calls.empty());
  EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{"'abc' is not a valid integer value"});
  EXPECT_EQ(view_->LastError(), "'abc' is not a valid integer value");
  EXPECT_EQ(Application().ExitStatus(), esSoftware);
}

TEST_F(FormWindowTest, SendAndClearButtons) {
  TFormDialogs routed(form_, dialogs_, dialogs_);  // as the program routes them
  TDialogsGuard guard(&routed);
  Open();
  Type(W().To(), Q("to@example.jp"));
  Type(W().Subject(), Q("ご案内"));
  Type(W().SenderAddress(), Q("me@example.jp"));
  Click(W().Button(TFormButton::Send));
  EXPECT_EQ(form_.calls, std::vector<std::string>{"send to=to@example.jp subject=" + Cp("ご案内") + " from=me@example.jp"});

  Click(W().Button(TFormButton::Clear));
  for (TCp932LineEdit* e : {W().To(), W().Subject(), W().SenderAddress()}) EXPECT_EQ(e->text(), QString());
  // Without the required fields the send button only says so, naming them.
  Click(W().Button(TFormButton::Send));
  Type(W().Subject(), Q("件名だけ"));
  Click(W().Button(TFormButton::Send));
  EXPECT_EQ(form_.calls.size(), 1u);
  // (In English here: no translation is installed.)
  EXPECT_EQ(dialogs_.Messages(), (std::vector<std::string>{"Fill in the required fields (To, Subject, Reply-To)",
                                                           "Fill in the required fields (To, Reply-To)"}));
  // A macro run records the text as it always was (the settings file's bytes).
  EXPECT_EQ(form_.ErrorMessage, "");
}

// Where answers go, the read receipt and the priority: the user's choices reach the
// model, a macro's show in the window, and the next mail starts without them.
TEST_F(FormWindowTest, AnswerToReceiptAndPriorityFollowTheModel) {
  Open();
  Type(W().AnswerTo(), Q("総務 <desk@example.jp>"));
  Click(W().Receipt());
  W().Priority()->setFocus();
  QTest::keyClick(W().Priority(), Qt::Key_End);
  EXPECT_EQ(form_.AnswerTo, Cp("総務 <desk@example.jp>"));
  EXPECT_TRUE(form_.ReadReceipt);
  EXPECT_EQ(form_.Priority, TPriority::Low);

  form_.ExecuteMacroLine(msAnswerTo, "boss@example.jp");
  form_.ExecuteMacroLine(msReceipt, "no");
  form_.ExecuteMacroLine(msPriority, "HIGH");
  EXPECT_EQ(W().AnswerTo()->Cp932Text(), Cp("総務 <desk@example.jp>") + ",boss@example.jp");
  EXPECT_FALSE(W().Receipt()->isChecked());
  EXPECT_EQ(W().Priority()->currentIndex(), static_cast<int>(TPriority::High));

  Click(W().Button(TFormButton::Clear));
  EXPECT_EQ(W().AnswerTo()->text(), QString());
  EXPECT_FALSE(W().Receipt()->isChecked());
  EXPECT_EQ(W().Priority()->currentIndex(), static_cast<int>(TPriority::Normal));
  EXPECT_EQ(form_.AnswerTo, "");
}

// The signature shows under the body when the settings name one; the user leaves
// it off one mail, and the next mail has it again.
TEST_F(FormWindowTest, SignatureShowsUnderTheBodyAndCanBeLeftOffOneMail) {
  const std::string sig = Write("sig.txt", Cp("-- \r\n山田 太郎\r\n"));
  Write("t.INI", "[Mail]\r\nSignature=" + sig + "\r\n");
  Open();
  ASSERT_TRUE(W().Signature()->isVisible());
  EXPECT_EQ(W().Signature()->toPlainText(), Q("-- \n山田 太郎"));
  EXPECT_TRUE(W().SignatureOn()->isChecked());
  form_.Body.Add(Cp("本文"));
  EXPECT_EQ(form_.BodyWithSignature().Lines(), (std::vector<std::string>{Cp("本文"), "", "-- ", Cp("山田 太郎")}));
  W().SignatureOn()->click();
  EXPECT_TRUE(form_.LeaveOffSignature);
  EXPECT_EQ(form_.BodyWithSignature().Lines(), std::vector<std::string>{Cp("本文")});
  Click(W().Button(TFormButton::Clear));
  EXPECT_TRUE(W().SignatureOn()->isChecked());
  EXPECT_FALSE(form_.LeaveOffSignature);
}

TEST_F(FormWindowTest, NoSignatureNoSignatureRow) {
  Open();
  EXPECT_FALSE(W().Signature()->isVisible());
  EXPECT_FALSE(W().SignatureOn()->isVisible());
}

// The check before a mail leaves the company: an outside recipient opens the
// confirmation, whose Send stays disabled until every outside recipient and every
// attachment is ticked; a mail inside the company (subdomains too) goes without it.
TEST_F(FormWindowTest, OutsideRecipientsAndAttachmentsMustBeTickedBeforeSending) {
  const std::string file = Write("見積.pdf", "x");
  Open();
  form_.OwnDomains = "example.co.jp, example.jp";
  auto fill = [&](const char* to, const char* cc) {
    form_.To = to;
    form_.Cc = cc;
    form_.Subject = "s";
    form_.SenderAddress = "me@example.jp";
  };
  struct Seen {
    std::vector<std::string> texts;
    std::vector<bool> enabledAfterEachTick;
    bool shown = false;
  } seen;
  // Answers the dialog once it is shown: ticks every box (recording whether Send
  // was enabled after each), then presses Send, or cancels.
  auto answer = [&](bool send) {
    QTimer::singleShot(0, [&, send] {
      auto* dialog = qobject_cast<TSendCheckDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      seen.shown = true;
      for (QLabel* label : dialog->findChildren<QLabel*>()) seen.texts.push_back(label->text().toStdString());
      seen.enabledAfterEachTick.push_back(dialog->SendButton()->isEnabled());
      for (QCheckBox* box : dialog->Boxes()) {
        seen.texts.push_back("[ ] " + box->text().toStdString());
        if (send) box->setChecked(true);
        seen.enabledAfterEachTick.push_back(dialog->SendButton()->isEnabled());
      }
      if (send) dialog->SendButton()->click();
      else dialog->reject();
    });
  };

  fill("taro@example.co.jp, Hanako <hanako@other.example>", "jiro@tokyo.example.jp,x@OTHER.example");
  form_.Attachments.Add(Cp(file.c_str()));
  answer(false);
  Click(W().Button(TFormButton::Send));
  EXPECT_TRUE(seen.shown);
  EXPECT_TRUE(form_.calls.empty());  // cancelled: not sent
  for (const char* text : {"example.co.jp", "other.example (outside)", "tokyo.example.jp", "Attachments",
                           "[ ] hanako@other.example", "[ ] x@OTHER.example", "[ ] 見積.pdf"})
    EXPECT_NE(std::find(seen.texts.begin(), seen.texts.end(), text), seen.texts.end()) << text;

  seen = Seen();
  answer(true);
  Click(W().Button(TFormButton::Send));
  EXPECT_EQ(seen.enabledAfterEachTick, (std::vector<bool>{false, false, false, true}));
  EXPECT_EQ(form_.calls.size(), 1u);

  // Inside the company, the mail goes without asking; so does any mail with the check off.
  seen = Seen();
  form_.calls.clear();
  fill("taro@example.co.jp", "jiro@Tokyo.Example.JP");
  Click(W().Button(TFormButton::Send));
  fill("x@other.example", "");
  form_.SendCheck = "OFF";
  Click(W().Button(TFormButton::Send));
  EXPECT_FALSE(seen.shown);
  EXPECT_EQ(form_.calls.size(), 2u);
}

TEST_F(FormWindowTest, MacroButtonRunsTheChosenTextFile) {
  Open();
  const std::string macro =
      Write("m.txt", MacroBytes({"to:", "macro@example.jp", "subject:", "マクロの件名", "body:", "本文です"}));
  dialogs_.fileAnswers = {{true, macro}};
  Click(W().Button(TFormButton::RunMacro));
  Click(W().Button(TFormButton::RunMacro));  // cancelled: runs nothing
  ASSERT_EQ(dialogs_.calls.size(), 2u);
  EXPECT_EQ(dialogs_.calls[0].kind, "file");
  EXPECT_EQ(dialogs_.calls[0].extra, Cp("ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt"));
  EXPECT_EQ(W().To()->text(), Q("macro@example.jp"));
  EXPECT_EQ(W().Subject()->text(), Q("マクロの件名"));
  EXPECT_EQ(W().Body()->toPlainText(), Q("本文です"));
  EXPECT_FALSE(W().IsLocked());
}

TEST_F(FormWindowTest, VerifyAndExpandButtonsTalkToTheServer) {
  ScriptServer server;
  server.Send("220 ready\r\n")
      .Reply("250 hello\r\n")
      .Reply("250 <user@example.jp>\r\n")
      .Reply("250 member@example.jp\r\n")
      .Reply("221 bye\r\n");
  form_.realSmtp = true;
  Open();
  ShowPage(1);
  Retype(W().Server(), Q("127.0.0.1"));
  Retype(W().Port(), QString::number(server.Port()));
  Retype(W().UserName(), Q("user@example.jp"));
  form_.ListToExpand = "staff";
  form_.Notify(TFormField::ListToExpand);
  for (TFormButton button : {TFormButton::Connect, TFormButton::Verify, TFormButton::ExpandList, TFormButton::Disconnect})
    W().Button(button)->click();
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Error(), "");
  EXPECT_EQ(server.Commands(),
            (std::vector<std::string>{"EHLO user@example.jp", "VRFY user@example.jp", "EXPN staff", "QUIT"}));
  EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{"user@example.jp verified"});
  EXPECT_EQ(W().ListMembers()->toPlainText(), Q("250 member@example.jp"));
  EXPECT_EQ(W().StatusText(), "Disconnected");
}

TEST_F(FormWindowTest, LinkLabelsOpenThroughTheShell) {
  Open();
  ShowPage(1);
  Click(W().AboutButton());
  Click(W().HomePageLink());
  Click(W().MailLink());
  ASSERT_EQ(dialogs_.calls.size(), 2u);
  EXPECT_EQ(dialogs_.calls[0].kind, "shell");
  EXPECT_EQ(dialogs_.calls[0].text, "https://tarvex.example/");
  EXPECT_EQ(dialogs_.calls[1].text, "mailto:tarvex@tarvex.example");
}

TEST_F(FormWindowTest, StatusBarShowsTheComponentEvents) {
  Open();
  struct Case {
    std::function<void(TForm1&)> event;
    const char* shown;
  };
  const Case cases[] = {
      {[](TForm1& f) { f.OnSmtpConnect(); }, "Connected"},
      {[](TForm1& f) { f.OnSmtpHostResolved(); }, "Host Resolved"},
      {[](TForm1& f) { f.OnSmtpStatus("Resolving host"); }, "Resolving host"},
      {[](TForm1& f) { f.OnSmtpSuccess(); }, "Success"},
      {[](TForm1& f) { f.OnSmtpFailure(); }, "Failure"},
      {[](TForm1& f) { f.OnSmtpDisconnect(); }, "Disconnected"},
      {[](TForm1& f) { f.OnSmtpAttachmentNotFound(Cp("添付.txt")); }, "添付.txt not Exist"},
      {[](TForm1& f) { f.SetStatus(Cp("送信中…")); }, "送信中…"},
  };
  for (const Case& c : cases) {
    c.event(form_);
    EXPECT_EQ(W().StatusDisplayText(), Q(c.shown));
  }
}

TEST_F(FormWindowTest, MacroRunLocksBothPagesWhileTheStatusBarKeepsWorking) {
  Open();
  PaintCounter counter;
  QWidget* statusText = W().StatusBar()->findChild<QWidget*>(QStringLiteral("StatusText"));
  ASSERT_NE(statusText, nullptr);
  bool mailLocked = false, connectionLocked = false, statusEnabled = false;
  form_.onConnect = [&] {
    mailLocked = !W().Button(TFormButton::Send)->isEnabled() && !W().To()->isEnabled();
    connectionLocked = !W().Button(TFormButton::Connect)->isEnabled() && !W().Port()->isEnabled();
    statusEnabled = W().StatusBar()->isEnabled();
    form_.SetStatus(Cp("接続中…"));
    statusText->installEventFilter(&counter);  // the pause after "open" must repaint it
  };
  const std::string macro = Write("lock.txt", MacroBytes({"to:", "a@example.jp", "action:", "open"}));
  dialogs_.fileAnswers = {{true, macro}};
  Click(W().Button(TFormButton::RunMacro));
  statusText->removeEventFilter(&counter);
  EXPECT_EQ(form_.calls.size(), 1u);
  EXPECT_TRUE(mailLocked);
  EXPECT_TRUE(connectionLocked);
  EXPECT_TRUE(statusEnabled);
  EXPECT_GT(counter.paints, 0);
  EXPECT_EQ(W().StatusDisplayText(), Q("接続中…"));
  EXPECT_FALSE(W().IsLocked());
  EXPECT_TRUE(W().Button(TFormButton::Send)->isEnabled());
}

TEST_F(FormWindowTest, StartupMacroRunsOnceWhenTheWindowIsFirstShown) {
  const std::string macro = Write("startup.txt", MacroBytes({"action:", "open", "close"}));
  Open({macro});
  ASSERT_TRUE(PumpUntil([&] { return form_.calls.size() == 2; }));
  EXPECT_EQ(form_.calls, (std::vector<std::string>{"connect  25 ", "disconnect"}));
  EXPECT_TRUE(form_.MacroStarted);
  EXPECT_EQ(form_.MacroPath, "");
  // Showing and activating the window again starts nothing.
  W().hide();
  W().show();
  W().activateWindow();
  form_.Pause(100);
  EXPECT_EQ(form_.calls.size(), 2u);
}

TEST_F(FormWindowTest, WindowTakesItsPositionFromTheSettingsAndGivesItBack) {
  Write("t.INI", "[Pos]\r\nLeft=123\r\nTop=45\r\n");
  Open();
  EXPECT_EQ(W().pos(), QPoint(123, 45));
  // A file from before the size was kept: the window's own size.
  EXPECT_GE(W().width(), TMainWindow::kClientWidth);
  EXPECT_GE(W().height(), TMainWindow::kClientHeight);
  W().move(150, 120);
  EXPECT_EQ(form_.Left, 150);
  EXPECT_EQ(form_.Top, 120);
}

// The size is kept with the position, and the attachment chooser's folder across
// runs; the chooser opens in it.
TEST_F(FormWindowTest, SizeAndAttachmentFolderAreKeptAcrossRuns) {
  Write("t.INI", "[Pos]\r\nLeft=40\r\nTop=30\r\nWidth=520\r\nHeight=470\r\n[Folder]\r\nAttach=/srv/" +
                     Cp("資料") + "/\r\n");
  Open();
  EXPECT_EQ(W().size(), QSize(520, 470));
  EXPECT_EQ(form_.AttachmentChooser.InitialDir, "/srv/" + Cp("資料") + "/");
  dialogs_.fileAnswers = {{true, Cp("/home/user/写真/a.png")}};
  Click(W().Button(TFormButton::AddAttachments));
  ASSERT_EQ(dialogs_.calls.size(), 1u);
  EXPECT_EQ(form_.AttachmentChooser.InitialDir, Cp("/home/user/写真/"));
  W().resize(600, 480);
  dialogs_.confirmAnswers = {true};  // discard the attachment
  W().close();
  ASSERT_TRUE(form_.IsClosed());
  EXPECT_EQ(GetPrivateProfileString("Pos", "Width", "", ini_), "600");
  EXPECT_EQ(GetPrivateProfileString("Pos", "Height", "", ini_), "480");
  EXPECT_EQ(GetPrivateProfileString("Folder", "Attach", "", ini_), Cp("/home/user/写真/"));
}

// A saved position that lies off the screens (another screen layout, or a doubled
// scale that halves the screen in the window's pixels) is brought back: the whole
// window, Send and the status bar included, is on the screen. Also run at
// QT_SCALE_FACTOR=2 on a 1280x800 screen.
TEST_F(FormWindowTest, SavedPositionOffTheScreensIsMovedBack) {
  if (const char* scale = std::getenv("QT_SCALE_FACTOR")) {
    Open();
    ASSERT_EQ(W().devicePixelRatio(), std::atof(scale));  // the run's scale took effect
  }
  for (const char* pos : {"Left=5000\r\nTop=4000", "Left=-900\r\nTop=-700", "Left=246\r\nTop=390"}) {
    SCOPED_TRACE(pos);
    view_.reset();
    Write("t.INI", std::string("[Pos]\r\n") + pos + "\r\n");
    Open();
    QApplication::processEvents();  // the check once the frame is known
    const QRect screen = W().screen()->availableGeometry();
    EXPECT_TRUE(screen.contains(W().frameGeometry())) << W().frameGeometry().x() << "," << W().frameGeometry().y()
                                                      << " " << W().frameGeometry().width() << "x"
                                                      << W().frameGeometry().height();
    for (QWidget* w : {static_cast<QWidget*>(W().Button(TFormButton::Send)), static_cast<QWidget*>(W().StatusBar())})
      EXPECT_TRUE(screen.contains(QRect(w->mapToGlobal(QPoint(0, 0)), w->size())));
  }
}

TEST_F(FormWindowTest, SecuritySettingsShowInAnyAsciiCaseAsTheSendUsesThem) {
  struct Case {
    const char* security;
    const char* auth;
    const char* shown;
    bool authChecked;
    TSmtpSecurity sent;
  } cases[] = {
      {"STARTTLS", "AUTO", "STARTTLS", true, ssStartTls},
      {"StartTls", "Auto", "STARTTLS", true, ssStartTls},
      {"starttls", "auto", "STARTTLS", true, ssStartTls},
      {"Tls", "NONE", "TLS", false, ssTls},
      {"None", "aUTO", "none", true, ssNone},
  };
  for (const Case& c : cases) {
    Write("t.INI", std::string("[SMTP]\r\nSecurity=") + c.security + "\r\nAuth=" + c.auth + "\r\n");
    RecordingForm form;
    TFormWindow view(form);
    form.FormCreate();
    EXPECT_EQ(view.Window().Security()->currentText(), Q(c.shown)) << c.security;
    EXPECT_EQ(view.Window().Auth()->currentText(), Q(c.authChecked ? "auto" : "none")) << c.auth;
    // The connect hands the component what the window shows.
    EXPECT_EQ(SmtpSecurityOf(form.SmtpSecurity), c.sent) << c.security;
    EXPECT_EQ(SmtpAuthOf(form.SmtpAuth), c.authChecked ? saAuto : saNone) << c.auth;
  }
}

TEST_F(FormWindowTest, AboutDialogShowsTheProjectVersion) {
  Open();
  EXPECT_EQ(W().findChild<QLabel*>(Q("AboutVersion"))->text(), Q("Version " TARVEX_VERSION));
  // The settings file in use (here the one TARVEX_INI names).
  EXPECT_EQ(W().findChild<QLabel*>(Q("AboutSettingsFile"))->text(), QString::fromStdString(ToOsPath(SettingsFileName())));
}

TEST_F(FormWindowTest, SecurityChoiceAndAuthBoxShowTheSettingsAndKeepTheUsersChoice) {
  Write("t.INI", "[SMTP]\r\nSecurity=starttls\r\nAuth=auto\r\n");
  Open();
  ShowPage(1);
  EXPECT_EQ(W().Security()->currentText(), Q("STARTTLS"));
  EXPECT_EQ(W().Auth()->currentText(), Q("auto"));
  // The user picks implicit TLS, an OAuth token and the command that prints it;
  // closing saves that.
  W().Security()->setFocus();
  QTest::keyClick(W().Security(), Qt::Key_Down);
  W().Auth()->setFocus();
  for (int i = 0; i < 3; ++i) QTest::keyClick(W().Auth(), Qt::Key_Down);
  W().PasswordCommand()->setFocus();
  QTest::keyClicks(W().PasswordCommand(), "pass show mail/token");
  EXPECT_EQ(form_.SmtpSecurity, SecurityChoice(ssTls));
  EXPECT_EQ(form_.SmtpAuth, AuthChoice(saXOAuth2));
  EXPECT_EQ(form_.PasswordCommand, "pass show mail/token");
  W().close();
  EXPECT_EQ(GetPrivateProfileString("SMTP", "Security", "", ini_), "tls");
  EXPECT_EQ(GetPrivateProfileString("SMTP", "Auth", "", ini_), "xoauth2");
  EXPECT_EQ(GetPrivateProfileString("SMTP", "PasswordCommand", "", ini_), "pass show mail/token");
}

TEST_F(FormWindowTest, CharsetBoxShowsTheSettingAndKeepsTheUsersChoice) {
  Write("t.INI", "[Mail]\r\nCharset=iso-2022-jp\r\n");
  Open();
  ShowPage(1);
  EXPECT_EQ(W().Charset()->currentText(), Q("ISO-2022-JP"));
  const struct {
    const char* value;
    int index;
  } cases[] = {{"", 0}, {"AUTO", 0}, {"Utf-8", 2}, {"latin1", -1}};  // -1: a value the send refuses
  for (const auto& c : cases) {
    form_.MailCharsetSetting = ParseCharsetSetting(c.value);
    form_.Notify(TFormField::Charset);
    EXPECT_EQ(W().Charset()->currentIndex(), c.index) << c.value;
  }
  // The user picks UTF-8 from the keyboard; closing saves it.
  form_.MailCharsetSetting = CharsetChoice(TCharsetChoice::Auto);
  form_.Notify(TFormField::Charset);
  W().Charset()->setFocus();
  QTest::keyClick(W().Charset(), Qt::Key_End);
  EXPECT_EQ(W().Charset()->currentText(), Q("UTF-8"));
  EXPECT_EQ(form_.MailCharsetSetting, CharsetChoice(TCharsetChoice::Utf8));
  W().close();
  EXPECT_EQ(GetPrivateProfileString("Mail", "Charset", "", ini_), "utf-8");
}

TEST_F(FormWindowTest, CloseRequestSavesTheSettingsAndClosesTheWindow) {
  Open();
  ShowPage(1);
  Retype(W().Server(), Q("smtp.example.jp"));
  Retype(W().Port(), Q("x"));
  Click(W().Button(TFormButton::Connect));  // an error shown earlier does not make the user's close fail
  W().move(150, 120);
  form_.calls.clear();
  W().close();
  EXPECT_TRUE(form_.IsClosed());
  EXPECT_FALSE(W().isVisible());
  EXPECT_EQ(form_.calls, (std::vector<std::string>{"abort", "abort"}));
  EXPECT_EQ(GetPrivateProfileString("ConInf", "IPAdr", "", ini_), "smtp.example.jp");
  EXPECT_EQ(GetPrivateProfileString("Pos", "Left", "", ini_), "150");
  EXPECT_EQ(GetPrivateProfileString("SMTP", "Port", "", ini_), "25");
  EXPECT_TRUE(view_->ClosedByUser());
  EXPECT_EQ(view_->ExitStatus(), esOk);
}

TEST_F(FormWindowTest, FailedSaveKeepsTheWindowOpenUntilAClosingSucceeds) {
  Open();
  const std::string unwritable = File("no-such-folder/t.INI");
  ::setenv("TARVEX_INI", unwritable.c_str(), 1);
  W().close();
  EXPECT_FALSE(form_.IsClosed());
  EXPECT_TRUE(W().isVisible());
  ASSERT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_NE(dialogs_.Messages()[0].find("no-such-folder"), std::string::npos);
  EXPECT_FALSE(view_->ClosedByUser());

  ::setenv("TARVEX_INI", ini_.c_str(), 1);
  W().close();
  EXPECT_TRUE(form_.IsClosed());
  EXPECT_FALSE(W().isVisible());
  EXPECT_TRUE(view_->ClosedByUser());
}

TEST_F(FormWindowTest, ClosingDuringASocketWaitAbortsItAndLaterBoxesLeaveTheWindowAlone) {
  ScriptServer server;
  // Accepts and never greets. After the abort the component closes the socket
  // without a QUIT, which nobody would answer.
  server.Hold();
  Write("t.INI", "[SMTP]\r\nPort=" + std::to_string(server.Port()) + "\r\n");
  TScriptedDialogs whileOpen, afterClose;
  TFormDialogs dialogs(form_, whileOpen, afterClose);
  TDialogsGuard guard(&dialogs);
  form_.realSmtp = true;
  Open();
  const std::string macro = Write("wait.txt", MacroBytes({"server:", "127.0.0.1", "action:", "open"}));
  whileOpen.fileAnswers = {{true, macro}};
  // The user closes the window while the run waits for the greeting.
  form_.onConnect = [&] { QTimer::singleShot(50, &W(), [&] { W().close(); }); };
  Click(W().Button(TFormButton::RunMacro));
  EXPECT_TRUE(form_.IsClosed());
  EXPECT_FALSE(W().isVisible());
  EXPECT_TRUE(view_->ClosedByUser());
  EXPECT_EQ(view_->ExitStatus(), esOk);
  EXPECT_EQ(GetPrivateProfileString("SMTP", "Port", "", ini_), std::to_string(server.Port()));
  // The aborted wait failed the run after the window had gone: its report went to
  // the other dialogs.
  EXPECT_TRUE(whileOpen.Messages().empty());
  ASSERT_EQ(afterClose.Messages().size(), 1u);
  EXPECT_NE(afterClose.Messages()[0].find("abort"), std::string::npos) << afterClose.Messages()[0];
  ASSERT_TRUE(server.WaitDone());  // Hold ends when the client has gone
  EXPECT_EQ(server.Received(), "");
}

// What a send from the window reports in the status bar once it ends: the subject
// and time, the recipients the server refused, or the step that failed with the
// server's reply. The server is scripted; each case is one dialogue.
TEST_F(FormWindowTest, SendResultInTheStatusBar) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> turns;  // command read, reply
    bool data;                                               // the message is sent
    const char* shown;  // the status text up to the time, or in full
  };
  const Case cases[] = {
      {"sent",
       {{"EHLO", "250 hi\r\n"}, {"RSET", "250 ok\r\n"}, {"MAIL", "250 ok\r\n"}, {"RCPT", "250 ok\r\n"},
        {"DATA", "354 go\r\n"}},
       true, "Sent: 件名です, "},
      {"a recipient refused",
       {{"EHLO", "250 hi\r\n"}, {"RSET", "250 ok\r\n"}, {"MAIL", "250 ok\r\n"}, {"RCPT", "250 ok\r\n"},
        {"RCPT", "550 no such user\r\n"}, {"DATA", "354 go\r\n"}},
       true, "Sent: 件名です, "},
      {"sender refused",
       {{"EHLO", "250 hi\r\n"}, {"RSET", "250 ok\r\n"}, {"MAIL", "553 sender rejected\r\n"}},
       false, "Not sent (MAIL FROM): 553 sender rejected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server;
    server.Send("220 ready\r\n");
    for (const auto& t : c.turns) server.Reply(t.second);
    if (c.data) server.ReadUntil("\r\n.\r\n").Send("250 queued\r\n").Reply("221 bye\r\n");
    else server.Reply("221 bye\r\n");
    RecordingForm form;
    form.realSmtp = true;
    TFormWindow view(form);
    form.FormCreate();
    view.Window().show();
    form.Server = "127.0.0.1";
    form.Port = std::to_string(server.Port());
    form.To = std::string("a@example.jp") + (c.turns.size() == 6 ? ", nobody@example.jp" : "");
    form.Subject = Cp("件名です");
    form.SenderAddress = "me@example.jp";
    form.sendForReal = true;
    view.Window().Button(TFormButton::Send)->click();
    ASSERT_TRUE(server.WaitDone());
    const QString status = view.Window().StatusDisplayText();
    EXPECT_TRUE(status.startsWith(Q(c.shown))) << status.toStdString();
    if (c.data) {
      EXPECT_TRUE(status.contains(QRegularExpression(QStringLiteral(", \\d\\d:\\d\\d")))) << status.toStdString();
    }
    EXPECT_EQ(status.contains(Q("refused: nobody@example.jp")), c.turns.size() == 6) << status.toStdString();
    EXPECT_FALSE(view.Window().IsBusy());
    EXPECT_TRUE(view.Window().Button(TFormButton::Send)->isEnabled());
  }
}

// A send against a server that stops answering shows its progress and can be
// cancelled: Cancel (the button, or Escape anywhere in the window) aborts the wait,
// the draft stays, no error box, Send works again.
class CancelTest : public FormWindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CancelTest, CancelStopsAStalledSendAndKeepsTheDraft) {
  const bool byEscape = GetParam();
  ScriptServer server;
  server.Send("220 ready\r\n").Reply("250 hi\r\n").Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("250 ok\r\n")
      .Reply("354 go\r\n").Hold();  // takes the message and never answers it
  Write("t.INI", "[SMTP]\r\nPort=" + std::to_string(server.Port()) + "\r\n[ConInf]\r\nIPAdr=127.0.0.1\r\n");
  form_.realSmtp = true;
  form_.sendForReal = true;
  Open();
  Type(W().To(), Q("to@example.jp"));
  Type(W().Subject(), Q("止まる送信"));
  Type(W().SenderAddress(), Q("me@example.jp"));
  Type(W().Body(), Q("下書き"));
  if (byEscape) {
    W().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
    // Escape does nothing while nothing runs.
    QTest::keyClick(W().Body(), Qt::Key_Escape);
    EXPECT_EQ(std::find(form_.calls.begin(), form_.calls.end(), "abort"), form_.calls.end());
  }
  bool busySeen = false, sendDisabled = false, cancelShown = false;
  int progressMax = -1;
  QTimer poll;
  poll.setInterval(20);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!W().IsBusy()) return;
    busySeen = true;
    sendDisabled = !W().Button(TFormButton::Send)->isEnabled();
    cancelShown = W().CancelButton()->isVisible();
    progressMax = W().Progress()->maximum();
    // Once the whole message has gone out, the server's answer is awaited.
    if (server.Received().find("\r\n.\r\n") == std::string::npos) return;
    poll.stop();
    QTimer::singleShot(300, [&] {
      if (byEscape)
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &W(), Qt::Key_Escape);
      else
        QTest::mouseClick(W().CancelButton(), Qt::LeftButton);
    });
  });
  poll.start();
  Click(W().Button(TFormButton::Send));
  poll.stop();
  EXPECT_TRUE(busySeen);
  EXPECT_TRUE(sendDisabled);
  EXPECT_TRUE(cancelShown);
  EXPECT_GT(progressMax, 0);  // the bar counted the message's bytes
  EXPECT_FALSE(W().IsBusy());
  EXPECT_TRUE(W().Button(TFormButton::Send)->isEnabled());
  EXPECT_EQ(W().StatusDisplayText(), Q("The send was cancelled"));
  EXPECT_TRUE(dialogs_.Messages().empty());
  EXPECT_EQ(W().Subject()->text(), Q("止まる送信"));
  EXPECT_EQ(W().Body()->toPlainText(), Q("下書き"));
  EXPECT_NE(std::find(form_.calls.begin(), form_.calls.end(), "abort"), form_.calls.end());
}

INSTANTIATE_TEST_SUITE_P(ButtonAndEscape, CancelTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Escape" : "Button");
                         });

// Closing asks first when a send would be cancelled or a filled form lost; OK
// closes, Cancel keeps the window. A macro run's close and an empty form ask nothing.
TEST_F(FormWindowTest, CloseAsksBeforeLosingASendOrAFilledForm) {
  using Fill = std::function<void(TMainWindow&, TForm1&)>;
  struct Case {
    const char* name;
    Fill fill;
    bool busy;
    bool asks;
    bool answer;
  };
  const Case cases[] = {
      {"empty form", [](TMainWindow&, TForm1&) {}, false, false, false},
      {"only the sender (from the settings)", [](TMainWindow& w, TForm1&) { Type(w.SenderAddress(), Q("me@example.jp")); },
       false, false, false},
      {"filled, kept", [](TMainWindow& w, TForm1&) { Type(w.Subject(), Q("下書き")); }, false, true, false},
      {"filled, discarded", [](TMainWindow& w, TForm1&) { Type(w.Body(), Q("本文")); }, false, true, true},
      {"attachment only", [](TMainWindow&, TForm1& f) { f.Attachments.Add("/tmp/a.txt"); }, false, true, true},
      {"sending, go on", [](TMainWindow&, TForm1&) {}, true, true, false},
      {"sending, cancel", [](TMainWindow&, TForm1&) {}, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Application().Reset();
    TScriptedDialogs dialogs;
    TDialogsGuard guard(&dialogs);
    RecordingForm form;
    TFormWindow view(form);
    form.FormCreate();
    view.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view.Window()));
    c.fill(view.Window(), form);
    dialogs.confirmAnswers = {c.answer};
    view.Window().SetBusy(c.busy);
    view.Window().close();
    ASSERT_EQ(dialogs.calls.size(), c.asks ? 1u : 0u);
    if (c.asks) {
      EXPECT_EQ(dialogs.calls[0].kind, "confirm");
      EXPECT_NE(dialogs.calls[0].text.find(c.busy ? "send is in progress" : "not been sent"), std::string::npos);
    }
    const bool closes = !c.asks || c.answer;
    EXPECT_EQ(form.IsClosed(), closes);
    EXPECT_EQ(view.Window().isVisible(), !closes);
    EXPECT_EQ(std::count(form.calls.begin(), form.calls.end(), "abort"), closes ? 2 : 0);
  }
}

// A dropped file is attached; removing an attachment from the keyboard asks first.
TEST_F(FormWindowTest, DroppedFilesAttachAndRemovingByKeyAsks) {
  Open();
  const std::string a = Write("写真.png", "png"), b = Write("b.txt", "text");
  emit W().filesDropped({QString::fromStdString(a), QString::fromStdString(b)});
  EXPECT_EQ(form_.Attachments.Lines(), (std::vector<std::string>{FromOsPath(a), FromOsPath(b)}));
  EXPECT_EQ(W().Attachments()->item(0)->text(), Q("写真.png"));
  W().Attachments()->setCurrentRow(0);
  dialogs_.confirmAnswers = {false, true};
  emit W().removeByKeyRequested();
  EXPECT_EQ(form_.Attachments.Count(), 2);
  emit W().removeByKeyRequested();
  EXPECT_EQ(form_.Attachments.Lines(), std::vector<std::string>{FromOsPath(b)});
  ASSERT_EQ(dialogs_.calls.size(), 2u);
  EXPECT_NE(dialogs_.calls[0].text.find(Cp("写真.png")), std::string::npos);
}

// The window starts with the focus in To, or in the body when To is filled; after a
// macro run the focus is back there.
TEST_F(FormWindowTest, FocusStartsInToOrTheBody) {
  Open();
  EXPECT_EQ(QApplication::focusWidget(), W().To());
  const std::string macro = Write("fill.txt", MacroBytes({"to:", "a@example.jp"}));
  dialogs_.fileAnswers = {{true, macro}};
  Click(W().Button(TFormButton::RunMacro));
  EXPECT_EQ(QApplication::focusWidget(), W().Body());
}

TEST_F(FormWindowTest, MacroThatClosesTheFormGivesTheRunsExitStatus) {
  struct Case {
    const char* name;
    std::string macro;
    int status;
  };
  const Case cases[] = {
      {"end", MacroBytes({"action:", "end"}), esOk},
      {"send without required fields", MacroBytes({"to:", "a@example.jp", "action:", "send"}), esMissingField},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Application().Reset();
    RecordingForm form;
    TFormWindow view(form);
    SetParams({Write("close.txt", c.macro)});
    form.FormCreate();
    view.Window().show();
    ASSERT_TRUE(PumpUntil([&] { return form.IsClosed(); }));
    EXPECT_FALSE(view.Window().isVisible());
    EXPECT_FALSE(view.ClosedByUser());
    EXPECT_EQ(view.ExitStatus(), c.status);
  }
}

}  // namespace
