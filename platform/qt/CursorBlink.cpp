#include "platform/qt/CursorBlink.h"

#include <QApplication>
#include <QEvent>

TCursorBlinkRest::TCursorBlinkRest(int idleMs) : flashTime_(QApplication::cursorFlashTime()) {
  idle_.setSingleShot(true);
  idle_.setInterval(idleMs);
  connect(&idle_, &QTimer::timeout, this, &TCursorBlinkRest::Rest);
  qApp->installEventFilter(this);
  idle_.start();
}

TCursorBlinkRest::~TCursorBlinkRest() {
  qApp->removeEventFilter(this);
  if (resting_) QApplication::setCursorFlashTime(flashTime_);
}

void TCursorBlinkRest::Rest() {
  if (resting_) return;
  resting_ = true;
  // A flash time of 0 shows the cursor without blinking; the fields follow the
  // change at once.
  QApplication::setCursorFlashTime(0);
}

bool TCursorBlinkRest::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
    case QEvent::FocusIn:
      if (resting_) {
        resting_ = false;
        QApplication::setCursorFlashTime(flashTime_);
      }
      idle_.start();
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}
