// Shows the bare desktop window (no form model) on the current display, for layout
// checks, screenshots and for trying the Xvfb tools:
// qt_preview [--page N] [--screenshot FILE] [--quit-after MS] [--smallest] [--busy]
//            [--port N] [--about SETTINGS_FILE]   (N: 0 mail, 1 connection).
// --smallest shows the window at its smallest size; --busy shows a send's progress
// (tens of megabytes) and its status text; --port puts N in the port field; --about
// opens the about dialog naming SETTINGS_FILE. The window closes on the close button,
// or after MS milliseconds when given.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "app/qt/FormTexts.h"
#include "app/qt/MainWindow.h"
#include "app/qt/Translations.h"
#include "platform/qt/QtPump.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QString screenshot;
  int quitAfter = -1;
  int page = 0;
  bool smallest = false, busy = false;
  QString port, about;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--screenshot") && i + 1 < argc)
      screenshot = QString::fromLocal8Bit(argv[++i]);
    else if (!std::strcmp(argv[i], "--quit-after") && i + 1 < argc)
      quitAfter = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--page") && i + 1 < argc)
      page = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--smallest"))
      smallest = true;
    else if (!std::strcmp(argv[i], "--busy"))
      busy = true;
    else if (!std::strcmp(argv[i], "--port") && i + 1 < argc)
      port = QString::fromLocal8Bit(argv[++i]);
    else if (!std::strcmp(argv[i], "--about") && i + 1 < argc)
      about = QString::fromLocal8Bit(argv[++i]);
  }
  InstallTranslations();  // Japanese under a Japanese locale
  TQtPumpGuard pump;
  TMainWindow window;
  bool done = false, failed = false;
  QObject::connect(&window, &TMainWindow::closeRequested, &window, [&] {
    window.CloseWindow();
    done = true;
  });
  QObject::connect(&window, &TMainWindow::screenshotSaved, &window, [&](const QString& file, bool ok) {
    std::fprintf(stderr, "qt_preview: screenshot %s %s\n", file.toLocal8Bit().constData(), ok ? "saved" : "failed");
    failed = !ok;
  });
  window.Pages()->setCurrentIndex(page);
  if (!port.isEmpty()) window.Port()->setText(port);
  if (busy) {
    window.SetBusy(true);
    window.SetProgress(31457280, 52428800);
    window.SetStatusDisplayText(FormDisplayText("31457280 bytes of 52428800 sent"));
  }
  if (smallest) window.resize(window.minimumSizeHint());
  window.show();
  if (!about.isEmpty()) {
    window.SetAboutSettingsFile(about);
    QTimer::singleShot(300, &window, [&] { window.ShowAbout(); });
  }
  if (!screenshot.isEmpty()) window.ScreenshotWhenShown(screenshot);
  if (quitAfter >= 0) QTimer::singleShot(quitAfter, &window, [&] { done = true; });
  RunQtMainLoop([&] { return done; });
  return failed ? 1 : 0;
}
