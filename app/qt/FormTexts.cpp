#include "app/qt/FormTexts.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include "platform/SysUtils.h"
#include "platform/qt/Cp932Fields.h"

namespace {

const char kContext[] = "TForm1";

// Fixed texts of the model and its components that can reach the window.
const char* const kFixedTexts[] = {
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
};

// Fixed texts with one or two values in them: the pattern that finds them and the
// translatable text with %1 (and %2) for the values.
struct Pattern {
  const char* regex;
  const char* text;
};
const Pattern kPatterns[] = {
    {R"re(^(\d+) bytes of (\d+) sent$)re", QT_TRANSLATE_NOOP("TForm1", "%1 bytes of %2 sent")},
    {R"re(^Recipient "(.*)" not found$)re", QT_TRANSLATE_NOOP("TForm1", "Recipient \"%1\" not found")},
    {R"re(^(.*) not verified$)re", QT_TRANSLATE_NOOP("TForm1", "%1 not verified")},
    {R"re(^(.*) verified$)re", QT_TRANSLATE_NOOP("TForm1", "%1 verified")},
    {R"re(^Encoding (.*)$)re", QT_TRANSLATE_NOOP("TForm1", "Encoding %1")},
    {R"re(^(.*) not Exist$)re", QT_TRANSLATE_NOOP("TForm1", "%1 not Exist")},
};

}  // namespace

QString FormDisplayText(const std::string& cp932) {
  const QString text = Cp932ToQt(cp932);
  for (const char* fixed : kFixedTexts)
    if (text == QLatin1String(fixed)) return QCoreApplication::translate(kContext, fixed);
  for (const Pattern& p : kPatterns) {
    static thread_local QRegularExpression re;
    re.setPattern(QString::fromLatin1(p.regex));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch()) continue;
    QString shown = QCoreApplication::translate(kContext, p.text).arg(m.captured(1));
    return m.lastCapturedIndex() >= 2 ? shown.arg(m.captured(2)) : shown;
  }
  return text;
}

std::string FormDisplayTextCp932(const std::string& cp932) {
  std::string out;
  // A translation always has a CP932 form; a text that came in as CP932 too.
  if (!QtToCp932(FormDisplayText(cp932), out)) return cp932;
  return out;
}
