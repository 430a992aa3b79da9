#include "platform/MessagePump.h"

#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

TMessagePump& TMessagePump::Instance() {
  static TMessagePump pump;
  return pump;
}

TMessagePump::TMessagePump() { wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

uint64_t TMessagePump::NowMs() {
  if (clock_) return clock_();
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

uint32_t TMessagePump::GetTickCount() { return static_cast<uint32_t>(NowMs()); }

void TMessagePump::SetClock(std::function<uint64_t()> nowMs) { clock_ = std::move(nowMs); }

void TMessagePump::Sleep(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

HWND TMessagePump::CreateWindow(TMessageHandler* handler) {
  HWND w = nextWindow_++;
  windows_[w] = handler;
  std::lock_guard<std::mutex> lock(foreignMutex_);
  live_.insert(w);
  return w;
}

void TMessagePump::DestroyWindow(HWND window) {
  windows_.erase(window);
  for (auto it = timers_.begin(); it != timers_.end();)
    it = it->first.first == window ? timers_.erase(it) : std::next(it);
  for (auto& item : queue_)
    if (item.window == window) item.window = 0;  // dropped at dispatch
  std::lock_guard<std::mutex> lock(foreignMutex_);
  live_.erase(window);
  for (auto& item : foreign_)
    if (item.window == window) item.window = 0;
}

bool TMessagePump::PostMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  if (window == 0) return false;
  Item item{Item::kMessage, window, msg, wParam, lParam, -1, 0};
  {
    std::lock_guard<std::mutex> lock(foreignMutex_);
    if (live_.count(window) == 0) return false;
    foreign_.push_back(item);
  }
  posted_.store(true, std::memory_order_release);
  uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
  return true;
}

void TMessagePump::RemoveMessages(HWND window, uint32_t msg, uintptr_t wParam) {
  auto matches = [&](const Item& item) {
    return item.kind == Item::kMessage && item.window == window && item.msg == msg && item.wParam == wParam;
  };
  for (auto& item : queue_)
    if (matches(item)) item.window = 0;
  std::lock_guard<std::mutex> lock(foreignMutex_);
  for (auto& item : foreign_)
    if (matches(item)) item.window = 0;
}

bool TMessagePump::SetTimer(HWND window, uintptr_t id, uint32_t intervalMs) {
  if (windows_.find(window) == windows_.end()) return false;
  // A tick of the old period that is still queued would arrive too early.
  for (auto& item : queue_)
    if (item.kind == Item::kTimer && item.window == window && item.wParam == id) item.window = 0;
  timers_[{window, id}] = Timer{intervalMs, NowMs() + intervalMs, false};
  return true;
}

bool TMessagePump::KillTimer(HWND window, uintptr_t id) {
  bool found = timers_.erase({window, id}) > 0;
  for (auto& item : queue_)
    if (item.kind == Item::kTimer && item.window == window && item.wParam == id) item.window = 0;
  return found;
}

void TMessagePump::WatchFd(int fd, short events, std::function<void(short)> onReady) {
  for (auto& item : queue_)
    if (item.kind == Item::kFd && item.fd == fd) item.fd = -1;
  watches_[fd] = Watch{events, false, std::move(onReady)};
}

void TMessagePump::SetFdEvents(int fd, short events) {
  auto it = watches_.find(fd);
  if (it != watches_.end()) it->second.events = events;
}

void TMessagePump::UnwatchFd(int fd) {
  watches_.erase(fd);
  for (auto& item : queue_)
    if (item.kind == Item::kFd && item.fd == fd) item.fd = -1;
}

void TMessagePump::DrainForeign() {
  // Cleared before the queue is taken: a post that comes in between sets it again.
  posted_.store(false, std::memory_order_release);
  uint64_t count;
  if (wakeFd_ >= 0) (void)!::read(wakeFd_, &count, sizeof count);
  std::lock_guard<std::mutex> lock(foreignMutex_);
  while (!foreign_.empty()) {
    queue_.push_back(foreign_.front());
    foreign_.pop_front();
  }
}

void TMessagePump::CollectTimers() {
  uint64_t now = NowMs();
  for (auto& [key, t] : timers_) {
    if (t.pending || t.interval == 0 || now < t.due) continue;
    t.pending = true;
    queue_.push_back(Item{Item::kTimer, key.first, WM_TIMER, key.second, 0, -1, 0});
  }
}

int TMessagePump::NextTimerDelay() {
  uint64_t now = NowMs();
  int64_t best = -1;
  for (auto& [key, t] : timers_) {
    if (t.pending || t.interval == 0) continue;
    int64_t d = t.due > now ? static_cast<int64_t>(t.due - now) : 0;
    if (best < 0 || d < best) best = d;
  }
  return best > INT_MAX ? INT_MAX : static_cast<int>(best);
}

// Polls the watched descriptors and the wake descriptor for up to timeoutMs and
// queues what became ready.
void TMessagePump::Gather(int timeoutMs) {
  std::vector<pollfd> fds;
  fds.reserve(watches_.size() + 1);
  if (wakeFd_ >= 0) fds.push_back(pollfd{wakeFd_, POLLIN, 0});
  for (auto& [fd, w] : watches_)
    if (!w.pending && w.events) fds.push_back(pollfd{fd, w.events, 0});
  if (backend_ && timeoutMs != 0) {
    backend_->Wait(fds, timeoutMs);
  } else {
    while (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno == EINTR) {
    }
  }
  for (auto& p : fds) {
    if (p.fd == wakeFd_ || p.revents == 0) continue;
    auto it = watches_.find(p.fd);
    if (it == watches_.end()) continue;
    it->second.pending = true;
    queue_.push_back(Item{Item::kFd, 0, 0, 0, 0, p.fd, p.revents});
  }
  DrainForeign();
}

bool TMessagePump::HasPending() {
  std::lock_guard<std::mutex> lock(foreignMutex_);
  return !queue_.empty() || !foreign_.empty();
}

bool TMessagePump::NeedsPoll() const {
  if (backend_) return true;
  for (const auto& [fd, w] : watches_)
    if (!w.pending && w.events) return true;
  return false;
}

void TMessagePump::ProcessMessages() {
  if (NeedsPoll())
    Gather(0);
  else if (posted_.load(std::memory_order_acquire))
    DrainForeign();
  CollectTimers();
  if (backend_) backend_->ProcessEvents();
  size_t count = queue_.size();
  while (count-- > 0 && !queue_.empty()) {
    Item item = queue_.front();
    queue_.pop_front();
    switch (item.kind) {
      case Item::kFd: {
        if (item.fd < 0) break;
        auto it = watches_.find(item.fd);
        if (it == watches_.end()) break;
        it->second.pending = false;
        auto onReady = it->second.onReady;  // the callback may unwatch
        onReady(item.revents);
        break;
      }
      case Item::kTimer: {
        if (item.window == 0) break;
        auto t = timers_.find({item.window, item.wParam});
        if (t == timers_.end()) break;
        t->second.pending = false;
        t->second.due = NowMs() + t->second.interval;
        [[fallthrough]];
      }
      case Item::kMessage: {
        auto w = windows_.find(item.window);
        if (item.window == 0 || w == windows_.end()) break;
        w->second->HandleMessage(item.msg, item.wParam, item.lParam);
        break;
      }
    }
  }
}

void TMessagePump::WaitMessage(int timeoutMs) {
  CollectTimers();
  if (HasPending()) return;
  int timer = NextTimerDelay();
  int wait = timeoutMs;
  if (timer >= 0 && (wait < 0 || timer < wait)) wait = timer;
  Gather(wait);
}
