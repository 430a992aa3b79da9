// Tests of the message pump: arrival order, timers on a moved clock, descriptor
// readiness, posts from other threads and destroyed windows.
#include "platform/MessagePump.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Recorder : TMessageHandler {
  std::vector<std::pair<uint32_t, uintptr_t>>* log;
  int id;
  std::function<void()> onMessage;
  Recorder(std::vector<std::pair<uint32_t, uintptr_t>>* l, int i) : log(l), id(i) {}
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    log->push_back({msg, wParam * 10 + static_cast<uintptr_t>(id)});
    if (onMessage) onMessage();
  }
};

// The pump is process-wide: each test starts it empty and restores the real clock.
class MessagePumpTest : public testing::Test {
 protected:
  TMessagePump& pump = TMessagePump::Instance();
  uint64_t now = 1000000;
  void SetUp() override { pump.ProcessMessages(); }
  void TearDown() override { pump.SetClock(nullptr); }
  void FakeClock() {
    pump.SetClock([this] { return now; });
  }
};

TEST_F(MessagePumpTest, DispatchesInArrivalOrderOnlyInsideProcessMessages) {
  std::vector<std::pair<uint32_t, uintptr_t>> log;
  Recorder a(&log, 1), b(&log, 2);
  HWND wa = pump.CreateWindow(&a), wb = pump.CreateWindow(&b);
  pump.PostMessage(wa, 1125, 1, 0);
  pump.PostMessage(wb, 1125, 2, 0);
  pump.PostMessage(wa, 1126, 3, 0);
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(pump.HasPending());
  // A message posted while dispatching waits for the next call.
  bool posted = false;
  a.onMessage = [&] {
    if (!posted) pump.PostMessage(wb, 7, 9, 0);
    posted = true;
  };
  pump.ProcessMessages();
  using P = std::pair<uint32_t, uintptr_t>;
  EXPECT_EQ(log, (std::vector<P>{{1125, 11}, {1125, 22}, {1126, 31}}));
  pump.ProcessMessages();
  EXPECT_EQ(log.back(), (P{7, 92}));
  pump.DestroyWindow(wa);
  pump.DestroyWindow(wb);
}

TEST_F(MessagePumpTest, DestroyedWindowLosesItsMessagesAndTimers) {
  std::vector<std::pair<uint32_t, uintptr_t>> log;
  Recorder a(&log, 1);
  HWND w = pump.CreateWindow(&a);
  FakeClock();
  pump.PostMessage(w, 1125, 1, 0);
  pump.SetTimer(w, 1, 10);
  now += 10;
  pump.WaitMessage(0);  // the tick is queued now
  pump.DestroyWindow(w);
  EXPECT_FALSE(pump.PostMessage(w, 1125, 2, 0));
  now += 100;
  pump.ProcessMessages();
  EXPECT_TRUE(log.empty());
}

TEST_F(MessagePumpTest, RemoveMessagesDropsOnlyTheMatchingOnes) {
  std::vector<std::pair<uint32_t, uintptr_t>> log;
  Recorder a(&log, 1);
  HWND w = pump.CreateWindow(&a);
  pump.PostMessage(w, 1125, 4, 0);
  pump.PostMessage(w, 1125, 5, 0);
  pump.PostMessage(w, 1126, 4, 0);
  pump.RemoveMessages(w, 1125, 4);
  pump.ProcessMessages();
  using P = std::pair<uint32_t, uintptr_t>;
  EXPECT_EQ(log, (std::vector<P>{{1125, 51}, {1126, 41}}));
  pump.DestroyWindow(w);
}

TEST_F(MessagePumpTest, TimersFollowTheMovedClock) {
  std::vector<std::pair<uint32_t, uintptr_t>> log;
  Recorder a(&log, 1);
  HWND w = pump.CreateWindow(&a);
  FakeClock();
  ASSERT_TRUE(pump.SetTimer(w, 1, 100));
  now += 99;
  pump.ProcessMessages();
  EXPECT_TRUE(log.empty());
  now += 1;
  pump.ProcessMessages();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].first, WM_TIMER);
  now += 1000;  // a long stall gives one tick, not ten
  pump.ProcessMessages();
  pump.ProcessMessages();
  EXPECT_EQ(log.size(), 2u);
  // Restarting drops the tick already queued and counts from now.
  now += 100;
  pump.WaitMessage(0);
  ASSERT_TRUE(pump.SetTimer(w, 1, 100));
  pump.ProcessMessages();
  EXPECT_EQ(log.size(), 2u);
  now += 100;
  pump.ProcessMessages();
  EXPECT_EQ(log.size(), 3u);
  EXPECT_TRUE(pump.KillTimer(w, 1));
  now += 1000;
  pump.ProcessMessages();
  EXPECT_EQ(log.size(), 3u);
  EXPECT_FALSE(pump.SetTimer(0, 1, 10));
  pump.DestroyWindow(w);
}

TEST_F(MessagePumpTest, WaitMessageBlocksUntilTheNextTimer) {
  std::vector<std::pair<uint32_t, uintptr_t>> log;
  Recorder a(&log, 1);
  HWND w = pump.CreateWindow(&a);
  pump.SetTimer(w, 1, 50);
  auto start = std::chrono::steady_clock::now();
  while (log.empty()) {
    pump.WaitMessage(5000);
    pump.ProcessMessages();
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 40);
  EXPECT_LT(ms, 4000);
  pump.DestroyWindow(w);
}

TEST_F(MessagePumpTest, DescriptorReadinessIsReportedOncePerDispatch) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int calls = 0;
  short seen = 0;
  pump.WatchFd(fds[0], POLLIN, [&](short revents) {
    ++calls;
    seen = revents;
  });
  pump.ProcessMessages();
  EXPECT_EQ(calls, 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  pump.WaitMessage(2000);
  pump.ProcessMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(seen & POLLIN);
  // Paused: unread data is not reported.
  pump.SetFdEvents(fds[0], 0);
  pump.ProcessMessages();
  EXPECT_EQ(calls, 1);
  pump.SetFdEvents(fds[0], POLLIN);
  pump.ProcessMessages();
  EXPECT_EQ(calls, 2);
  pump.UnwatchFd(fds[0]);
  pump.ProcessMessages();
  EXPECT_EQ(calls, 2);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(MessagePumpTest, PostFromAnotherThreadWakesTheWait) {
  std::vector<std::pair<uint32_t, uintptr_t>> log;
  Recorder a(&log, 1);
  HWND w = pump.CreateWindow(&a);
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pump.PostMessage(w, 1126, 5, 0);
  });
  auto start = std::chrono::steady_clock::now();
  pump.WaitMessage(10000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  t.join();
  pump.ProcessMessages();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].second, 51u);
  EXPECT_LT(ms, 9000);
  pump.DestroyWindow(w);
}

// Without a watched descriptor the pump does not poll: a post from another thread
// must still reach the next ProcessMessages, and the wake-up it left must not make
// the next wait return at once.
TEST_F(MessagePumpTest, PostFromAnotherThreadReachesProcessMessagesWithoutAWait) {
  std::vector<std::pair<uint32_t, uintptr_t>> log;
  Recorder a(&log, 1);
  HWND w = pump.CreateWindow(&a);
  std::thread([&] { pump.PostMessage(w, 1126, 6, 0); }).join();
  pump.ProcessMessages();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].second, 61u);
  auto start = std::chrono::steady_clock::now();
  pump.WaitMessage(200);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 150);
  pump.DestroyWindow(w);
}

}  // namespace
