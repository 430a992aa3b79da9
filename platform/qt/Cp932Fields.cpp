#include "platform/qt/Cp932Fields.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextCursor>
#include <QUrl>
#include <algorithm>
#include <QToolTip>

#include "platform/SysUtils.h"

QString Cp932ToQt(const std::string& cp932) { return QString::fromStdString(Cp932ToUtf8(cp932)); }

namespace {
// The code point of text that starts at index i, as a QString (one or two units).
QString CharAt(const QString& text, qsizetype i) {
  if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
    return text.mid(i, 2);
  return text.mid(i, 1);
}

// A lone surrogate (half of a character typed in two key events) has no form either.
bool HasCp932Form(const QString& ch) {
  if (ch.size() == 1 && ch.at(0).isSurrogate()) return false;
  std::string out;
  return TryUtf8ToCp932(ch.toStdString(), out);
}
}  // namespace

QString NonCp932Chars(const QString& text) {
  // CP932 has nothing outside the basic plane, and a lone surrogate would convert
  // to UTF-8 as a substitute character: either way the text needs the slow look.
  bool surrogates = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); });
  std::string out;
  if (!surrogates && TryUtf8ToCp932(text.toStdString(), out)) return {};
  QString bad;
  for (qsizetype i = 0; i < text.size();) {
    QString ch = CharAt(text, i);
    if (!HasCp932Form(ch)) bad += ch;
    i += ch.size();
  }
  return bad;
}

bool QtToCp932(const QString& text, std::string& out, QString* badChar) {
  QString bad = NonCp932Chars(text);
  std::string converted;
  if (bad.isEmpty() && TryUtf8ToCp932(text.toStdString(), converted)) {
    out = std::move(converted);
    return true;
  }
  if (badChar) *badChar = bad.isEmpty() ? QString() : CharAt(bad, 0);
  return false;
}

QString RefusedHintText(const QString& character) {
  return QStringLiteral("「%1」はShift-JISで表せないため入力できません").arg(character);
}

void ShowRefusedHint(QWidget* field, const QString& character) {
  QPoint at = field->mapToGlobal(QPoint(0, field->height()));
  QToolTip::showText(at, RefusedHintText(character), field, QRect(), 5000);
}

// ---- TCp932Validator ----

TCp932Validator::TCp932Validator(QLineEdit* edit) : QValidator(edit), edit_(edit), accepted_(edit->text()) {
  connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { accepted_ = text; });
}

QValidator::State TCp932Validator::validate(QString& input, int&) const {
  if (programmatic_) return Acceptable;
  QString added = NonCp932Chars(input);
  if (added.isEmpty()) return Acceptable;
  QString before = NonCp932Chars(accepted_);
  if (added.size() <= before.size()) return Acceptable;  // nothing new among them
  // The first character that the edit added: remove the old ones one by one.
  for (qsizetype i = 0; i < before.size();) {
    QString ch = CharAt(before, i);
    qsizetype at = added.indexOf(ch);
    if (at >= 0) added.remove(at, ch.size());
    i += ch.size();
  }
  emit refused(added.isEmpty() ? QString() : CharAt(added, 0));
  return Invalid;
}

// ---- TCp932LineEdit ----

TCp932LineEdit::TCp932LineEdit(QWidget* parent) : QLineEdit(parent) {
  auto* validator = new TCp932Validator(this);
  setValidator(validator);
  connect(validator, &TCp932Validator::refused, this, &TCp932LineEdit::refused);
}

std::string TCp932LineEdit::Cp932Text() const { return Utf8ToCp932(text().toStdString()); }

void TCp932LineEdit::SetCp932Text(const std::string& cp932) {
  auto* validator = static_cast<TCp932Validator*>(const_cast<QValidator*>(this->validator()));
  validator->SetProgrammatic(true);
  setText(Cp932ToQt(cp932));
  validator->SetProgrammatic(false);
  // A text filled in for the user (settings, a macro) shows from its start: a long
  // subject shows its first words, not its last.
  setCursorPosition(0);
}

namespace {
// True when a key event carries text to insert (not Return, Tab, Backspace ...).
bool CarriesText(const QKeyEvent* e) {
  return !e->text().isEmpty() && e->text().at(0).category() != QChar::Other_Control &&
         !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
}

// The character a key event completes: a lone high surrogate is kept in pendingHigh
// (answer empty) until its low half arrives in the next event.
QString JoinHalves(QString& pendingHigh, const QString& text) {
  if (text.size() == 1 && text.at(0).isHighSurrogate()) {
    pendingHigh = text;
    return {};
  }
  QString whole = text;
  if (text.size() == 1 && text.at(0).isLowSurrogate() && !pendingHigh.isEmpty()) whole = pendingHigh + text;
  pendingHigh.clear();
  return whole;
}
}  // namespace

void TCp932LineEdit::keyPressEvent(QKeyEvent* e) {
  if (CarriesText(e)) {
    QString whole = JoinHalves(pendingHigh_, e->text());
    QString bad = whole.isEmpty() ? QString() : NonCp932Chars(whole);
    if (whole.isEmpty() || !bad.isEmpty()) {
      if (!bad.isEmpty()) emit refused(CharAt(bad, 0));
      e->accept();
      return;
    }
  } else {
    pendingHigh_.clear();
  }
  QLineEdit::keyPressEvent(e);
}

// ---- TCp932PlainTextEdit ----

TCp932PlainTextEdit::TCp932PlainTextEdit(QWidget* parent) : QPlainTextEdit(parent) {}

std::string TCp932PlainTextEdit::Cp932Text() const { return Utf8ToCp932(toPlainText().toStdString()); }

void TCp932PlainTextEdit::SetCp932Text(const std::string& cp932) { setPlainText(Cp932ToQt(cp932)); }

bool TCp932PlainTextEdit::Refuse(const QString& text) {
  QString bad = NonCp932Chars(text);
  if (bad.isEmpty()) return false;
  emit refused(CharAt(bad, 0));
  return true;
}

void TCp932PlainTextEdit::keyPressEvent(QKeyEvent* e) {
  if (CarriesText(e)) {
    QString whole = JoinHalves(pendingHigh_, e->text());
    if (whole.isEmpty() || Refuse(whole)) {
      e->accept();
      return;
    }
  } else {
    pendingHigh_.clear();
  }
  QPlainTextEdit::keyPressEvent(e);
}

void TCp932PlainTextEdit::inputMethodEvent(QInputMethodEvent* e) {
  if (!e->commitString().isEmpty() && Refuse(e->commitString())) {
    // Keep the composition state in step, but commit nothing.
    QInputMethodEvent cleared(QString(), e->attributes());
    QPlainTextEdit::inputMethodEvent(&cleared);
    e->accept();
    return;
  }
  QPlainTextEdit::inputMethodEvent(e);
}

namespace {
// Files offered by a file manager (local paths only): the window attaches them, so
// the text fields leave such drops to it.
bool OnlyLocalFiles(const QMimeData* source) {
  if (!source->hasUrls() || source->urls().isEmpty()) return false;
  const QList<QUrl> urls = source->urls();
  return std::all_of(urls.begin(), urls.end(), [](const QUrl& u) { return u.isLocalFile(); });
}
}  // namespace

bool TCp932PlainTextEdit::canInsertFromMimeData(const QMimeData* source) const {
  return source && source->hasText() && !OnlyLocalFiles(source);
}

void TCp932PlainTextEdit::insertFromMimeData(const QMimeData* source) {
  // Only plain text goes in, and it is inserted here: the toolkit's own insertion
  // crashes on the empty data an X clipboard without an owner hands out, and rich
  // text or images have no place in a CP932 body.
  if (!canInsertFromMimeData(source)) return;
  const QString text = source->text();
  if (text.isEmpty() || Refuse(text)) return;
  QTextCursor cursor = textCursor();
  cursor.insertText(text);
  setTextCursor(cursor);
  ensureCursorVisible();
}
