// The one message pump of the user-interface thread: hidden notification windows
// (handler objects) with posted messages, timers, file-descriptor readiness and,
// in the desktop front end, the toolkit's own events. Everything is dispatched only
// inside ProcessMessages, in arrival order. Waiting blocks in poll (or in the
// toolkit's event loop) until something arrives: no busy waits.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

using HWND = uint32_t;  // 0 means no window
constexpr uint32_t WM_TIMER = 0x113;
constexpr uint32_t WM_USER = 0x400;

// Receives the messages posted to its window.
class TMessageHandler {
 public:
  virtual ~TMessageHandler() = default;
  virtual void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;
};

// The front end's share of the pump (the desktop toolkit). Without one, the pump
// waits in poll alone.
class TPumpBackend {
 public:
  virtual ~TPumpBackend() = default;
  // Dispatches the front end's pending events without blocking.
  virtual void ProcessEvents() = 0;
  // Blocks until one of fds is ready (revents filled), timeoutMs passes (-1: no
  // limit) or the front end has events of its own.
  virtual void Wait(std::vector<pollfd>& fds, int timeoutMs) = 0;
};

class TMessagePump {
 public:
  static TMessagePump& Instance();

  // A hidden notification window that delivers its messages to handler.
  HWND CreateWindow(TMessageHandler* handler);
  // Destroys the window: its timers stop and its pending messages are dropped.
  void DestroyWindow(HWND window);
  // Queues a message; safe from any thread. Returns false for an unknown window.
  bool PostMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
  // Drops the queued (not yet dispatched) messages msg with this wParam for window,
  // so that notices about a closed handle never reach its successor.
  void RemoveMessages(HWND window, uint32_t msg, uintptr_t wParam);

  // Starts (or restarts) timer id of the window: a WM_TIMER message with wParam = id
  // is queued each time the interval passes (one at most pending per timer). A restart
  // drops a tick that is queued but not yet dispatched and counts from now.
  bool SetTimer(HWND window, uintptr_t id, uint32_t intervalMs);
  bool KillTimer(HWND window, uintptr_t id);

  // Watches fd for the poll events given; onReady(revents) runs inside
  // ProcessMessages, in arrival order, and the fd is not reported again until that
  // call has run. events 0 pauses the watch. Watching an fd again replaces the old
  // watch and drops its queued readiness.
  void WatchFd(int fd, short events, std::function<void(short revents)> onReady);
  void SetFdEvents(int fd, short events);
  void UnwatchFd(int fd);

  // Dispatches every message already queued when the call starts (plus readiness
  // and timer expiries found now, and the front end's events); never blocks.
  // Without a front end and without a watched descriptor it makes no system call
  // unless something was posted: a caller may check before every small step.
  void ProcessMessages();
  // Blocks until something can be dispatched or timeoutMs passes (-1: no limit).
  void WaitMessage(int timeoutMs);
  // True when messages are queued.
  bool HasPending();

  // Milliseconds since an arbitrary start, from the pump's clock.
  uint32_t GetTickCount();
  uint64_t NowMs();
  // Replaces the clock (tests move time by hand); nullptr restores the real one.
  void SetClock(std::function<uint64_t()> nowMs);
  // Blocks the thread (no message processing).
  static void Sleep(uint32_t ms);

  void SetBackend(TPumpBackend* backend) { backend_ = backend; }
  TPumpBackend* Backend() const { return backend_; }

 private:
  TMessagePump();
  struct Item {
    enum Kind { kMessage, kTimer, kFd } kind;
    HWND window;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
    int fd;
    short revents;
  };
  struct Timer {
    uint32_t interval;
    uint64_t due;
    bool pending;
  };
  struct Watch {
    short events;
    bool pending;
    std::function<void(short)> onReady;
  };
  void Gather(int timeoutMs);
  void CollectTimers();
  void DrainForeign();
  int NextTimerDelay();
  // True when only poll can tell what is pending: a front end or a watched descriptor.
  bool NeedsPoll() const;

  std::map<HWND, TMessageHandler*> windows_;
  std::set<HWND> live_;  // windows that accept posts, guarded by foreignMutex_
  HWND nextWindow_ = 1;
  std::deque<Item> queue_;
  std::map<std::pair<HWND, uintptr_t>, Timer> timers_;
  std::map<int, Watch> watches_;
  std::mutex foreignMutex_;
  std::deque<Item> foreign_;  // posted from other threads
  std::atomic<bool> posted_{false};  // foreign_ may hold items: set after each post
  int wakeFd_ = -1;
  std::function<uint64_t()> clock_;
  TPumpBackend* backend_ = nullptr;
};

// Shorthands for the pump of this process.
inline void ProcessMessages() { TMessagePump::Instance().ProcessMessages(); }
inline uint32_t GetTickCount() { return TMessagePump::Instance().GetTickCount(); }
