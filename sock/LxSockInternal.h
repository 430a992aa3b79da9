// What the source files of TLxSocket share and nobody else uses: the notices every
// socket asks for, the range error, the guard that ends a wait's time-out and the
// pump wait itself.
#pragma once

#include "platform/MessagePump.h"
#include "platform/SysUtils.h"
#include "platform/WinSock.h"
#include "sock/LxSock.h"

constexpr long kSelectEvents = FD_READ | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3D

inline ERangeError RangeError() { return ERangeError("Range check error"); }

// ": " and the text of a socket error number as error messages give it
// ("10061:Connection refused"); empty for 0. A failed connect or lookup ends its
// message with it, so that a user learns why.
std::string SocketErrorReason(int errorNo);

// Turns the socket's time-out timer off when the scope of a wait ends, also by an
// exception. A failure to stop the timer is not reported: the wait's own outcome is.
class TTimerOffGuard {
 public:
  explicit TTimerOffGuard(TLxSocket& socket) : socket_(socket) {}
  ~TTimerOffGuard() {
    try {
      socket_.TimerOff();
    } catch (...) {
    }
  }
  TTimerOffGuard(const TTimerOffGuard&) = delete;
  TTimerOffGuard& operator=(const TTimerOffGuard&) = delete;

 private:
  TLxSocket& socket_;
};

// A template: every source file that waits sees its body.
template <class Done>
void TLxSocket::WaitFor(Done done) {
  auto& pump = TMessagePump::Instance();
  for (;;) {
    pump.ProcessMessages();
    if (done()) return;
    pump.WaitMessage(-1);
  }
}
