#include "platform/StopRequest.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {
std::atomic<bool> requested{false};

// Made on first use and kept for the life of the process: the waits that poll it
// may run on any thread, at any time.
int EventFd() {
  static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}
}  // namespace

void SignalStop() {
  requested = true;
  const uint64_t one = 1;
  if (EventFd() >= 0) (void)!::write(EventFd(), &one, sizeof one);
}

bool StopSignalled() { return requested; }

int StopSignalFd() { return EventFd(); }

bool WaitUnlessStopped(int ms) {
  if (requested) return true;
  pollfd fd{EventFd(), POLLIN, 0};
  while (::poll(&fd, fd.fd >= 0 ? 1 : 0, ms) < 0 && errno == EINTR) {
  }
  return requested;
}
