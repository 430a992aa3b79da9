// The Qt backend of the message pump: posted messages, timer ticks and descriptor
// readiness arrive through the pump while Qt's own events keep flowing, waits block
// in Qt's dispatcher (also when nested in a handler), paint requests are served by
// ProcessMessages, and the desktop main loop ends and cleans up as it should.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessagePump.h"
#include "platform/qt/QtPump.h"

namespace {

// Records every message in a shared log, with whether ProcessMessages was running.
struct Recorder : TMessageHandler {
  std::vector<std::string>& log;
  explicit Recorder(std::vector<std::string>& l) : log(l) {}
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    log.push_back(msg == WM_TIMER ? "timer" + std::to_string(wParam) : "msg" + std::to_string(wParam));
  }
};

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) r = fds[0], w = fds[1];
  }
  ~Pipe() {
    ::close(r);
    ::close(w);
  }
  void Put() { (void)!::write(w, "x", 1); }
  void Take() {
    char c;
    (void)!::read(r, &c, 1);
  }
};

// Collects Qt's warnings (two notifiers for one descriptor, for example).
std::vector<std::string> qtWarnings;
void CollectWarnings(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type != QtDebugMsg && type != QtInfoMsg) qtWarnings.push_back(text.toStdString());
}

class QtPumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtWarnings.clear();
    previousHandler_ = qInstallMessageHandler(CollectWarnings);
    window_ = pump().CreateWindow(&recorder_);
  }
  void TearDown() override {
    pump().DestroyWindow(window_);
    pump().SetClock(nullptr);
    qInstallMessageHandler(previousHandler_);
    EXPECT_TRUE(qtWarnings.empty()) << qtWarnings.front();
  }
  static TMessagePump& pump() { return TMessagePump::Instance(); }
  // Waits and processes until pred holds (every pass blocks until something happens).
  template <class Pred>
  void LoopUntil(Pred pred) {
    while (!pred()) {
      pump().WaitMessage(-1);
      pump().ProcessMessages();
    }
  }

  TQtPumpGuard guard_;
  std::vector<std::string> log_;
  Recorder recorder_{log_};
  HWND window_ = 0;
  QtMessageHandler previousHandler_ = nullptr;
};

TEST_F(QtPumpTest, BackendIsInstalledForTheGuardsLifetime) {
  EXPECT_TRUE(QtPumpInstalled());
  EXPECT_EQ(pump().Backend(), &guard_.Backend());
}

// Pump items and Qt events from one batch: each is delivered exactly once; the pump's
// messages keep their posting order, and Qt's posted events theirs.
TEST_F(QtPumpTest, DeliversPumpItemsAndQtEventsEachOnceInOrder) {
  uint64_t now = 1000;
  pump().SetClock([&now] { return now; });
  Pipe pipe;
  int fdCalls = 0;
  pump().WatchFd(pipe.r, POLLIN, [&](short revents) {
    ++fdCalls;
    EXPECT_TRUE(revents & POLLIN);
    log_.push_back("fd");
    pipe.Take();
  });
  QObject receiver;
  pump().PostMessage(window_, WM_USER + 1, 1, 0);
  QTimer::singleShot(0, &receiver, [&] { log_.push_back("qt1"); });
  pump().PostMessage(window_, WM_USER + 1, 2, 0);
  QTimer::singleShot(0, &receiver, [&] { log_.push_back("qt2"); });
  pipe.Put();
  pump().SetTimer(window_, 7, 10);
  now += 10;  // the pump timer is due

  auto count = [&](const std::string& s) { return std::count(log_.begin(), log_.end(), s); };
  LoopUntil([&] { return count("msg1") && count("msg2") && count("qt1") && count("qt2") && count("fd") && count("timer7"); });
  pump().KillTimer(window_, 7);
  pump().ProcessMessages();  // nothing may come twice
  pump().UnwatchFd(pipe.r);

  for (const char* item : {"msg1", "msg2", "qt1", "qt2", "fd", "timer7"}) EXPECT_EQ(count(item), 1) << item;
  auto at = [&](const std::string& s) { return std::find(log_.begin(), log_.end(), s) - log_.begin(); };
  EXPECT_LT(at("msg1"), at("msg2"));
  EXPECT_LT(at("qt1"), at("qt2"));
  EXPECT_EQ(fdCalls, 1);
}

// The pump's items are dispatched only inside ProcessMessages, never by the wait.
TEST_F(QtPumpTest, PumpItemsWaitForProcessMessages) {
  Pipe pipe;
  bool inProcess = false;
  std::vector<bool> seenInProcess;
  pump().WatchFd(pipe.r, POLLIN, [&](short) {
    seenInProcess.push_back(inProcess);
    pipe.Take();
  });
  std::thread writer([&] {
    TMessagePump::Sleep(30);
    pipe.Put();
  });
  while (seenInProcess.empty()) {
    pump().WaitMessage(-1);
    inProcess = true;
    pump().ProcessMessages();
    inProcess = false;
  }
  writer.join();
  pump().UnwatchFd(pipe.r);
  EXPECT_EQ(seenInProcess, std::vector<bool>{true});
}

// Wait itself: readiness of one descriptor is reported in its revents only; a message
// posted from another thread wakes the wait through the pump's wake descriptor; an
// expired deadline returns with nothing ready.
TEST_F(QtPumpTest, WaitReportsTheReadyDescriptorOnly) {
  Pipe ready, idle;
  std::vector<pollfd> fds{{idle.r, POLLIN, 0}, {ready.r, POLLIN, 0}};
  std::thread writer([&] {
    TMessagePump::Sleep(30);
    ready.Put();
  });
  while (fds[1].revents == 0) guard_.Backend().Wait(fds, -1);
  writer.join();
  EXPECT_EQ(fds[0].revents, 0);
  EXPECT_TRUE(fds[1].revents & POLLIN);

  std::vector<pollfd> none{{idle.r, POLLIN, 0}};
  guard_.Backend().Wait(none, 20);
  EXPECT_EQ(none[0].revents, 0);
}

TEST_F(QtPumpTest, MessagePostedFromAnotherThreadWakesTheWait) {
  std::thread poster([&] {
    TMessagePump::Sleep(30);
    pump().PostMessage(window_, WM_USER, 5, 0);
  });
  LoopUntil([&] { return !log_.empty(); });
  poster.join();
  EXPECT_EQ(log_, std::vector<std::string>{"msg5"});
}

// A Qt event of its own ends a wait that has no deadline and nothing ready.
TEST_F(QtPumpTest, QtEventEndsAnOpenWait) {
  Pipe idle;
  bool fired = false;
  QObject receiver;
  QTimer::singleShot(20, &receiver, [&] { fired = true; });
  std::vector<pollfd> fds{{idle.r, POLLIN, 0}};
  while (!fired) guard_.Backend().Wait(fds, -1);
  EXPECT_EQ(fds[0].revents, 0);
}

// A Qt handler that runs its own pump loop (as a button that starts a macro does)
// while the outer loop is waiting on another descriptor: both loops get their
// descriptor, and Qt never sees two notifiers for one descriptor.
TEST_F(QtPumpTest, NestedWaitFromAQtHandler) {
  Pipe outer, inner;
  bool outerSeen = false, innerSeen = false, nestedDone = false;
  pump().WatchFd(outer.r, POLLIN, [&](short) {
    outer.Take();
    outerSeen = true;
  });
  pump().WatchFd(inner.r, POLLIN, [&](short) {
    inner.Take();
    innerSeen = true;
  });
  std::thread writer;
  QObject receiver;
  QTimer::singleShot(10, &receiver, [&] {
    writer = std::thread([&] {
      TMessagePump::Sleep(20);
      inner.Put();
    });
    LoopUntil([&] { return innerSeen; });
    nestedDone = true;
    outer.Put();
  });
  LoopUntil([&] { return outerSeen; });
  writer.join();
  pump().UnwatchFd(outer.r);
  pump().UnwatchFd(inner.r);
  EXPECT_TRUE(nestedDone);
  EXPECT_TRUE(innerSeen);
}

// A widget that counts its paints.
class PaintCounter : public QWidget {
 public:
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent*) override {
    ++paints;
    QPainter(this).fillRect(rect(), Qt::white);
  }
};

// A long operation that pumps messages repaints what it changed.
TEST_F(QtPumpTest, ProcessMessagesServesPaintRequests) {
  PaintCounter widget;
  widget.resize(50, 20);
  widget.show();
  LoopUntil([&] { return widget.paints > 0; });  // first expose
  int before = widget.paints;
  widget.update();
  for (int i = 0; i < 5 && widget.paints == before; ++i) pump().ProcessMessages();
  EXPECT_GT(widget.paints, before);
}

TEST_F(QtPumpTest, MainLoopEndsWhenDoneAndDeletesLaterObjects) {
  bool done = false, destroyed = false;
  auto* doomed = new QObject;
  QObject::connect(doomed, &QObject::destroyed, [&] { destroyed = true; });
  QObject receiver;
  QTimer::singleShot(10, &receiver, [&] {
    doomed->deleteLater();
    done = true;
  });
  RunQtMainLoop([&] { return done; });
  EXPECT_TRUE(destroyed);
}

}  // namespace
