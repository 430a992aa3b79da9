// The text cursor's rest: it stops blinking when the idle time runs out, and the
// user's input (not any event) makes it blink again and starts the idle time anew.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWheelEvent>
#include <functional>
#include <memory>

#include "platform/qt/CursorBlink.h"

namespace {

TEST(CursorBlinkRest, InputBlinksAgainOtherEventsLeaveItResting) {
  const int flashTime = QApplication::cursorFlashTime();
  ASSERT_GT(flashTime, 0);
  QLineEdit edit;
  const QPointF at(2, 2);
  const struct {
    const char* name;
    std::function<std::unique_ptr<QEvent>()> make;
    bool wakes;
  } cases[] = {
      {"key", [] { return std::make_unique<QKeyEvent>(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"); }, true},
      {"input method", [] { return std::make_unique<QInputMethodEvent>(); }, true},
      {"click",
       [at] {
         return std::make_unique<QMouseEvent>(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton,
                                              Qt::NoModifier);
       },
       true},
      {"wheel",
       [at] {
         return std::make_unique<QWheelEvent>(at, at, QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                                              Qt::NoScrollPhase, false);
       },
       true},
      {"focus", [] { return std::make_unique<QFocusEvent>(QEvent::FocusIn); }, true},
      {"pointer moving over the window",
       [at] {
         return std::make_unique<QMouseEvent>(QEvent::MouseMove, at, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
       },
       false},
      {"paint request", [] { return std::make_unique<QEvent>(QEvent::UpdateRequest); }, false},
  };
  {
    TCursorBlinkRest rest(60000);
    EXPECT_TRUE(rest.IdleTimer().isActive());
    EXPECT_FALSE(rest.Resting());
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      rest.Rest();
      ASSERT_EQ(QApplication::cursorFlashTime(), 0);
      auto event = c.make();
      QApplication::sendEvent(&edit, event.get());
      EXPECT_EQ(rest.Resting(), !c.wakes);
      EXPECT_EQ(QApplication::cursorFlashTime(), c.wakes ? flashTime : 0);
      if (c.wakes) {
        EXPECT_GT(rest.IdleTimer().remainingTime(), 59000);
      }
    }
    rest.Rest();
  }
  // Gone, it leaves the cursor blinking as before.
  EXPECT_EQ(QApplication::cursorFlashTime(), flashTime);
}

}  // namespace
