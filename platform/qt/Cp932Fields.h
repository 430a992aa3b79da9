// Text fields of the desktop window that guard the model's code page: the widget
// holds UTF-8 (QString), the model CP932. An edit that would add a character
// without a CP932 form is refused before it lands, never silently changed.
#pragma once

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QString>
#include <QValidator>
#include <string>

// CP932 -> widget text; bytes that are not valid CP932 show as U+FFFD.
QString Cp932ToQt(const std::string& cp932);

// Widget text -> CP932. Returns false (out untouched) when the text holds a
// character without a CP932 form; badChar (if given) receives the first such
// character (a surrogate pair stays whole).
bool QtToCp932(const QString& text, std::string& out, QString* badChar = nullptr);

// The characters of text that have no CP932 form, in order (repeats kept).
QString NonCp932Chars(const QString& text);

// The hint shown when a field refuses a character.
QString RefusedHintText(const QString& character);
// Shows that hint as a tool tip over the field (left in place for a few seconds).
void ShowRefusedHint(QWidget* field, const QString& character);

// Refuses an edit of a line edit that adds a character without a CP932 form.
// Characters of that kind that were already there (U+FFFD shown for model bytes
// that are not CP932) do not block other edits.
class TCp932Validator : public QValidator {
  Q_OBJECT
 public:
  explicit TCp932Validator(QLineEdit* edit);
  // Invalid when input holds more characters without a CP932 form than the
  // field's accepted text; then emits refused with the first new one (unless
  // a programmatic set is in progress).
  State validate(QString& input, int& pos) const override;
  // Suppresses the refused signal while the owner sets the text itself.
  void SetProgrammatic(bool on) { programmatic_ = on; }

 signals:
  void refused(const QString& character) const;

 private:
  QLineEdit* edit_;
  QString accepted_;  // the field's text after its last accepted change
  bool programmatic_ = false;
};

// A one-line field with the CP932 guard.
class TCp932LineEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TCp932LineEdit(QWidget* parent = nullptr);
  // The text as CP932; a character without a CP932 form (only possible for text
  // set through QLineEdit::setText) becomes "?".
  std::string Cp932Text() const;
  // Shows CP932 text (invalid bytes as U+FFFD) from its start.
  void SetCp932Text(const std::string& cp932);

 signals:
  // An edit was refused; the field keeps its previous text.
  void refused(const QString& character);

 protected:
  // Half a character (a key event per UTF-16 unit) would be dropped by QLineEdit
  // without a word; it is refused here so the user sees why nothing appeared.
  void keyPressEvent(QKeyEvent* e) override;

 private:
  QString pendingHigh_;  // first half of a character typed as two key events
};

// A multi-line field with the CP932 guard: typed keys, input-method commits,
// pastes and drops that carry a character without a CP932 form are refused whole.
// Pastes and drops insert plain text only; empty or other data (an empty X
// clipboard, images, files) inserts nothing, and dropped files are left to the
// window, which attaches them.
class TCp932PlainTextEdit : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit TCp932PlainTextEdit(QWidget* parent = nullptr);
  // The text as CP932 (see TCp932LineEdit::Cp932Text).
  std::string Cp932Text() const;
  void SetCp932Text(const std::string& cp932);

 signals:
  void refused(const QString& character);

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void inputMethodEvent(QInputMethodEvent* e) override;
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;

 private:
  // True (and emits refused) when text holds a character without a CP932 form.
  bool Refuse(const QString& text);
  QString pendingHigh_;
};
