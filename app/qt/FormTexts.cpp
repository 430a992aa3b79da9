#include "app/qt/FormTexts.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <iterator>
#include <vector>

#include "platform/SysUtils.h"
#include "platform/qt/Cp932Fields.h"

namespace {

const char kContext[] = "TForm1";

// Fixed texts of the model and its components that can reach the window.
const char* const kFixedTexts[] = {
    QT_TRANSLATE_NOOP("TForm1", "Not sent"),
    QT_TRANSLATE_NOOP("TForm1", "Connected"),
    QT_TRANSLATE_NOOP("TForm1", "Disconnected"),
    QT_TRANSLATE_NOOP("TForm1", "Host Resolved"),
    QT_TRANSLATE_NOOP("TForm1", "Success"),
    QT_TRANSLATE_NOOP("TForm1", "Failure"),
    QT_TRANSLATE_NOOP("TForm1", "Connection Failed"),
    QT_TRANSLATE_NOOP("TForm1", "Already connected"),
    QT_TRANSLATE_NOOP("TForm1", "Connection Required. Connect?"),
    QT_TRANSLATE_NOOP("TForm1", "Header Incomplete."),
    QT_TRANSLATE_NOOP("TForm1", "Invalid Host!"),
    QT_TRANSLATE_NOOP("TForm1", "Specify a new host:"),
    QT_TRANSLATE_NOOP("TForm1", "Not Connected"),
    QT_TRANSLATE_NOOP("TForm1", "Connection Timed out"),
    QT_TRANSLATE_NOOP("TForm1", "Connection Canceled"),
    QT_TRANSLATE_NOOP("TForm1", "Host Lookup Failed"),
    QT_TRANSLATE_NOOP("TForm1", "Host Lookup Timed Out"),
    QT_TRANSLATE_NOOP("TForm1", "Host Lookup Canceled"),
    QT_TRANSLATE_NOOP("TForm1", "Null Remote Address"),
    QT_TRANSLATE_NOOP("TForm1", "Socket send aborted"),
    QT_TRANSLATE_NOOP("TForm1", "Socket readln aborted"),
    QT_TRANSLATE_NOOP("TForm1", "Authentication failed"),
    QT_TRANSLATE_NOOP("TForm1", "Incomplete Header"),
    QT_TRANSLATE_NOOP("TForm1", "STARTTLS not offered by the server"),
    QT_TRANSLATE_NOOP("TForm1", "AUTH PLAIN or LOGIN not offered by the server"),
    QT_TRANSLATE_NOOP("TForm1", "SMTP AUTH needs Security starttls or tls: the password is never sent unencrypted"),
    QT_TRANSLATE_NOOP("TForm1", "TLS set-up failed"),
};

// Fixed texts the model keeps in Japanese, since callers and the settings file see
// their bytes: the window shows the English text under any other locale. The
// Japanese translation of each is the model's own text.
const struct {
  const char* model;  // UTF-8
  const char* text;
} kJapaneseTexts[] = {
    {"必須項目を記入してください", QT_TRANSLATE_NOOP("TForm1", "Fill in the required fields")},
    {"添付ファイルの指定", QT_TRANSLATE_NOOP("TForm1", "Choose a file to attach")},
    {"すべてのファイル(*.*)", QT_TRANSLATE_NOOP("TForm1", "All files (*.*)")},
    {"ﾃｷｽﾄﾌｧｲﾙ(*.txt)", QT_TRANSLATE_NOOP("TForm1", "Text files (*.txt)")},
};

// The socket errors ("10061:Connection refused") that a failed connection or send
// shows: the network's and the name lookup's. Others show as they are.
const char* const kSocketTexts[] = {
    QT_TRANSLATE_NOOP("TForm1", "Network is down"),
    QT_TRANSLATE_NOOP("TForm1", "Network is unreachable"),
    QT_TRANSLATE_NOOP("TForm1", "Network dropped connection or reset"),
    QT_TRANSLATE_NOOP("TForm1", "Software caused connection abort"),
    QT_TRANSLATE_NOOP("TForm1", "Connection reset by peer"),
    QT_TRANSLATE_NOOP("TForm1", "Connection timed out"),
    QT_TRANSLATE_NOOP("TForm1", "Connection refused"),
    QT_TRANSLATE_NOOP("TForm1", "Host is down"),
    QT_TRANSLATE_NOOP("TForm1", "No route to Host"),
    QT_TRANSLATE_NOOP("TForm1", "Host not found"),
    QT_TRANSLATE_NOOP("TForm1", "Non-Authoritative Host not found"),
    QT_TRANSLATE_NOOP("TForm1", "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"),
    QT_TRANSLATE_NOOP("TForm1", "Valid name, no data record of requested type"),
};

// Fixed texts with one or two values in them: the pattern that finds them and the
// translatable text with %1 (and %2) for the values. A nested value is itself a
// text of the model ("TLS handshake failed: 10054:Connection reset by peer") and
// shows translated too; the others (addresses, file names, replies) as they are.
struct Pattern {
  const char* regex;
  const char* text;
  bool nested = false;
};
const Pattern kPatterns[] = {
    {R"re(^(\d+) bytes of (\d+) sent$)re", QT_TRANSLATE_NOOP("TForm1", "%1 bytes of %2 sent")},
    {R"re(^Recipient "(.*)" not found$)re", QT_TRANSLATE_NOOP("TForm1", "Recipient \"%1\" not found")},
    {R"re(^(.*) not verified$)re", QT_TRANSLATE_NOOP("TForm1", "%1 not verified")},
    {R"re(^(.*) verified$)re", QT_TRANSLATE_NOOP("TForm1", "%1 verified")},
    {R"re(^Encoding (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "Encoding %1")},
    {R"re(^(.*) not Exist$)re", QT_TRANSLATE_NOOP("TForm1", "%1 not Exist")},
    {R"re(^(.*) \x{306B}\x{66F8}\x{304D}\x{8FBC}\x{3081}\x{307E}\x{305B}\x{3093}(.*)$)re",  // " に書き込めません"
     QT_TRANSLATE_NOOP("TForm1", "Cannot write %1%2")},
    {R"re(^All recipients refused: (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "All recipients refused: %1")},
    {R"re(^TLS handshake failed: (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "TLS handshake failed: %1"), true},
    {R"re(^Connection Failed: (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "Connection Failed: %1"), true},
    {R"re(^Null Remote Address: (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "Null Remote Address: %1"), true},
    {R"re(^TLS session failed: (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "TLS session failed: %1"), true},
    {R"re(^TLS is not available: (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "TLS is not available: %1")},
    {R"re(^Server certificate not trusted: (.*)$)re",
     QT_TRANSLATE_NOOP("TForm1", "Server certificate not trusted: %1")},
    {R"re(^Server certificate is for another host, not (.*)$)re",
     QT_TRANSLATE_NOOP("TForm1", "Server certificate is for another host, not %1")},
    {R"re(^The (\S+) address is too long for a mail header line (.*)$)re",
     QT_TRANSLATE_NOOP("TForm1", "The %1 address is too long for a mail header line %2")},
};

// A socket error's text translated, its number after it; empty for any other text.
QString SocketErrorText(const QString& text) {
  static const QRegularExpression re(QStringLiteral("^(\\d{5}):(.+)$"));
  const QRegularExpressionMatch m = re.match(text);
  if (!m.hasMatch()) return {};
  for (const char* known : kSocketTexts)
    if (m.captured(2) == QLatin1String(known))
      return QCoreApplication::translate(kContext, known) + QStringLiteral(" (") + m.captured(1) + QLatin1Char(')');
  return {};
}

// The window's form of a text of the model (see FormDisplayText).
QString DisplayText(const QString& text) {
  for (const char* fixed : kFixedTexts)
    if (text == QLatin1String(fixed)) return QCoreApplication::translate(kContext, fixed);
  for (const auto& japanese : kJapaneseTexts)
    if (text == QString::fromUtf8(japanese.model)) return QCoreApplication::translate(kContext, japanese.text);
  if (QString socket = SocketErrorText(text); !socket.isEmpty()) return socket;
  static const std::vector<QRegularExpression> patterns = [] {
    std::vector<QRegularExpression> compiled;
    for (const Pattern& p : kPatterns) compiled.emplace_back(QString::fromLatin1(p.regex));
    return compiled;
  }();
  for (size_t i = 0; i < std::size(kPatterns); ++i) {
    const Pattern& p = kPatterns[i];
    const QRegularExpressionMatch m = patterns[i].match(text);
    if (!m.hasMatch()) continue;
    QString value = m.captured(1);
    if (p.nested) value = DisplayText(value);
    QString shown = QCoreApplication::translate(kContext, p.text).arg(value);
    return m.lastCapturedIndex() >= 2 ? shown.arg(m.captured(2)) : shown;
  }
  return text;
}

}  // namespace

QString FormDisplayText(const std::string& cp932) { return DisplayText(Cp932ToQt(cp932)); }

std::string FormDisplayTextCp932(const std::string& cp932) {
  std::string out;
  // A translation always has a CP932 form; a text that came in as CP932 too.
  if (!QtToCp932(FormDisplayText(cp932), out)) return cp932;
  return out;
}
