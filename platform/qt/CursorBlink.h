// The text cursor blinks while the user works with the window and rests, shown
// and still, once nothing has been typed or clicked for a while: an open window
// that nobody uses then wakes nobody (a blinking cursor repaints twice a second).
#pragma once

#include <QObject>
#include <QTimer>

class TCursorBlinkRest : public QObject {
 public:
  // Watches the application's input (needs a QApplication) from now on; restores
  // the blinking when destroyed.
  explicit TCursorBlinkRest(int idleMs = 10000);
  ~TCursorBlinkRest() override;
  TCursorBlinkRest(const TCursorBlinkRest&) = delete;
  TCursorBlinkRest& operator=(const TCursorBlinkRest&) = delete;

  // Stops the blinking now (what the idle timer does when it runs out).
  void Rest();
  bool Resting() const { return resting_; }
  // The timer that runs from the last input to Rest().
  const QTimer& IdleTimer() const { return idle_; }

 protected:
  // Input (keys, the input method, mouse buttons and wheel, focus) starts the
  // blinking again and the idle time anew.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QTimer idle_;
  int flashTime_;  // the blinking period the application had
  bool resting_ = false;
};
