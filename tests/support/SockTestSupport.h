// Helpers of the socket tests: an action run later inside message processing,
// and a check of an exception's type and exact message.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "sock/LxSock.h"

// Runs fn after ms inside message processing (a user action during a wait).
class Later {
 public:
  Later(int ms, std::function<void()> fn) : timer_(new TThreadTimer) {
    timer_->SetEnabled(false);
    timer_->SetInterval(static_cast<uint32_t>(ms));
    timer_->SetOnTimer([this, fn](TComponent*) {
      timer_->SetEnabled(false);
      fn();
    });
    timer_->SetEnabled(true);
  }

 private:
  std::unique_ptr<TThreadTimer> timer_;
};

// Expects fn to throw an E whose message is text.
template <class E, class F>
void ExpectThrowMessage(F fn, const std::string& text) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << text;
  } catch (const E& e) {
    EXPECT_EQ(e.Message(), text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "other exception: " << e.what() << ", expected: " << text;
  }
}

// Sends 64 MiB to a peer that reads nothing and aborts 200 ms into the send: the send
// ends with "Socket send aborted", part of the stream unsent and the cancel cleared;
// then the socket is closed.
inline void ExpectSendStreamAbortable(TLxSocket& sock) {
  std::string big(64 << 20, 'x');
  TStringStream stream(big);
  Later abort(200, [&] { sock.Abort(); });
  ExpectThrowMessage<EAbortError>([&] { sock.SendStream(stream); }, "Socket send aborted");
  EXPECT_LT(sock.BytesSent, sock.BytesTotal);
  EXPECT_FALSE(sock.CancelRequested);
  sock.Disconnect();
}
