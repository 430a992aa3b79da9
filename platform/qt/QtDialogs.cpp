#include "platform/qt/QtDialogs.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QSpacerItem>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/FileUtil.h"
#include "platform/MessagePump.h"
#include "platform/qt/Cp932Fields.h"
#include "platform/qt/QtPump.h"

namespace {
// A box as narrow as a short text ("Connection Failed") leaves the window system
// too little room for its title, which it then cuts; the box is made wide enough
// for the title beside the title bar's buttons.
void KeepTitleWhole(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!grid) return;
  const int width =
      std::max(TQtDialogs::kMinimumBoxWidth, box.fontMetrics().horizontalAdvance(box.windowTitle()) + 160);
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                grid->columnCount());
}
}  // namespace

QStringList QtNameFilters(const std::string& cp932Filter) {
  QStringList parts = Cp932ToQt(cp932Filter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& description = parts[i];
    QStringList patterns;
    for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      QString pattern = p.trimmed();
      patterns << (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
    }
    if (patterns.isEmpty()) patterns << QStringLiteral("*");
    QString joined = patterns.join(QLatin1Char(' '));
    // Qt reads the patterns from the last parentheses of the filter text.
    if (description.endsWith(QLatin1Char('(') + joined + QLatin1Char(')')))
      filters << description;
    else
      filters << description + QStringLiteral(" (") + joined + QLatin1Char(')');
  }
  return filters;
}

int TQtDialogs::RunModal(QDialog& dialog) {
  if (!QtPumpInstalled()) {
    if (shownHook_) {
      QDialog* d = &dialog;
      auto hook = shownHook_;
      QMetaObject::invokeMethod(d, [d, hook] { hook(d); }, Qt::QueuedConnection);
    }
    return dialog.exec();
  }
  bool finished = false;
  QObject::connect(&dialog, &QDialog::finished, &dialog, [&finished] { finished = true; });
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.show();
  if (shownHook_) shownHook_(&dialog);
  TMessagePump& pump = TMessagePump::Instance();
  while (!finished) {
    pump.WaitMessage(-1);
    pump.ProcessMessages();
  }
  return dialog.result();
}

QString TQtDialogs::BoxTitle() const { return parent_ ? parent_->window()->windowTitle() : QString(); }

void TQtDialogs::MessageBox(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, BoxTitle(), Cp932ToQt(text), QMessageBox::Ok, parent_);
  box.setTextFormat(Qt::PlainText);  // server replies may hold "<" and "&"
  KeepTitleWhole(box);
  RunModal(box);
}

bool TQtDialogs::Confirm(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, BoxTitle(), Cp932ToQt(text),
                  QMessageBox::Ok | QMessageBox::Cancel, parent_);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Cancel);
  KeepTitleWhole(box);
  RunModal(box);
  return box.clickedButton() == box.button(QMessageBox::Ok);
}

bool TQtDialogs::InputBox(const std::string& title, const std::string& prompt, std::string& value) {
  QDialog dialog(parent_);
  dialog.setObjectName(QStringLiteral("InputBox"));
  dialog.setWindowTitle(Cp932ToQt(title));
  auto* layout = new QVBoxLayout(&dialog);
  auto* label = new QLabel(Cp932ToQt(prompt), &dialog);
  label->setTextFormat(Qt::PlainText);
  auto* edit = new TCp932LineEdit(&dialog);
  edit->setObjectName(QStringLiteral("InputValue"));
  edit->SetCp932Text(value);
  label->setBuddy(edit);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  QObject::connect(edit, &TCp932LineEdit::refused, edit, [edit](const QString& ch) { ShowRefusedHint(edit, ch); });
  layout->addWidget(label);
  layout->addWidget(edit);
  layout->addWidget(buttons);
  edit->setFocus();
  if (RunModal(dialog) != QDialog::Accepted) return false;
  value = edit->Cp932Text();
  return true;
}

namespace {
// The chooser the model describes, over the window, in the folder it names.
void SetUpChooser(QFileDialog& dialog, const TFileChooser& chooser) {
  dialog.setOption(QFileDialog::DontUseNativeDialog);  // one look, and modal through the pump
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  QStringList filters = QtNameFilters(chooser.Filter);
  if (!filters.isEmpty()) dialog.setNameFilters(filters);
  // A wildcard default extension ("*") adds nothing to a typed name.
  if (!chooser.DefaultExt.empty() && chooser.DefaultExt.find_first_of("*?") == std::string::npos)
    dialog.setDefaultSuffix(Cp932ToQt(chooser.DefaultExt));
  if (!chooser.InitialDir.empty()) dialog.setDirectory(QString::fromStdString(ToOsPath(chooser.InitialDir)));
  if (!chooser.FileName.empty()) dialog.selectFile(QString::fromStdString(ToOsPath(chooser.FileName)));
}

std::string ModelPath(const QString& path) { return FromOsPath(QFile::encodeName(path).toStdString()); }
}  // namespace

bool TQtDialogs::ChooseFile(const TFileChooser& chooser, std::string& path) {
  QFileDialog dialog(parent_, Cp932ToQt(chooser.Title));
  dialog.setFileMode(QFileDialog::ExistingFile);
  SetUpChooser(dialog, chooser);
  if (RunModal(dialog) != QDialog::Accepted) return false;
  QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  path = ModelPath(chosen.first());
  return true;
}

bool TQtDialogs::ChooseFiles(const TFileChooser& chooser, std::vector<std::string>& paths) {
  QFileDialog dialog(parent_, Cp932ToQt(chooser.Title));
  dialog.setFileMode(QFileDialog::ExistingFiles);
  SetUpChooser(dialog, chooser);
  if (RunModal(dialog) != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  paths.clear();
  for (const QString& file : chosen) paths.push_back(ModelPath(file));
  return true;
}

void TQtDialogs::ShellOpen(const std::string& address) {
  QDesktopServices::openUrl(QUrl(Cp932ToQt(address)));
}
