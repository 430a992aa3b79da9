#include "app/qt/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <memory>

#include "platform/Language.h"

namespace {
std::unique_ptr<QTranslator>& Own() {
  static std::unique_ptr<QTranslator> own;
  return own;
}
std::unique_ptr<QTranslator>& Toolkit() {
  static std::unique_ptr<QTranslator> toolkit;
  return toolkit;
}
}  // namespace

QLocale UserLocale() {
  return UserLanguage() == TLanguage::japanese ? QLocale(QLocale::Japanese, QLocale::Japan)
                                               : QLocale(QLocale::English, QLocale::UnitedStates);
}

bool InstallTranslations(const QLocale& locale) {
  RemoveTranslations();
  auto own = std::make_unique<QTranslator>();
  // Built into the program from translations/tarvex_<lang>.ts.
  if (!own->load(locale, QStringLiteral("tarvex"), QStringLiteral("_"), QStringLiteral(":/i18n"))) return false;
  QCoreApplication::installTranslator(own.get());
  Own() = std::move(own);
  auto toolkit = std::make_unique<QTranslator>();
  if (toolkit->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(toolkit.get());
    Toolkit() = std::move(toolkit);
  }
  return true;
}

void RemoveTranslations() {
  for (auto* t : {&Own(), &Toolkit()}) {
    if (*t) QCoreApplication::removeTranslator(t->get());
    t->reset();
  }
}
