// TLxSocket: TLS on the connection; receive and send go through the session once
// the handshake is done.
#include "sock/LxSock.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "sock/LxSockInternal.h"

// ---- TLS -------------------------------------------------------------------------

int TLxSocket::SockRecv(char* buffer, int length, int flags) {
  if (!tls_ || !tlsReady_) return WsRecv(SocketHandle, buffer, length, flags);
  if (length <= 0) return 0;
  // Drain the session into tlsIn_ until it holds what was asked for or the socket has
  // nothing more now: bytes decrypted inside the session are never left behind for a
  // wait on the socket, whose notice would not come for them.
  while (tlsIn_.size() < static_cast<size_t>(length)) {
    const size_t old = tlsIn_.size();
    const int room = std::max(length - static_cast<int>(old), 16384);
    tlsIn_.resize(old + static_cast<size_t>(room));
    int n;
    try {
      n = tls_->Read(tlsIn_.data() + old, room);
    } catch (...) {
      tlsIn_.resize(old);
      throw;
    }
    tlsIn_.resize(old + static_cast<size_t>(std::max(n, 0)));
    if (n > 0) continue;
    if (n < 0 && tlsIn_.empty()) return SOCKET_ERROR;  // would-block or a socket error, set by Read
    break;  // closed, or a wait: what is here goes out first
  }
  if (tlsIn_.empty()) return 0;  // the server ended the session
  const int n = std::min(length, static_cast<int>(tlsIn_.size()));
  std::memcpy(buffer, tlsIn_.data(), static_cast<size_t>(n));
  if (!(flags & WS_MSG_PEEK)) tlsIn_.erase(0, static_cast<size_t>(n));
  return n;
}

int TLxSocket::SockSend(const char* buffer, int length) {
  if (!tls_ || !tlsReady_) return WsSend(SocketHandle, buffer, length, 0);
  return tls_->Write(buffer, length);
}

void TLxSocket::WaitReady(TTlsWant want) {
  const uint16_t socket = SocketHandle;
  auto over = [this, socket] { return CancelRequested || SocketHandle != socket || !IsConnected; };
  if (want == TTlsWant::Read) {
    readNotice_ = false;
    WaitFor([&] { return readNotice_ || over(); });
  } else {
    WsArmWriteNotice(socket);
    WaitFor([&] { return WsWritable(socket) || over(); });
  }
}

void TLxSocket::DropTls(bool notify) {
  if (tls_ && notify) tls_->Shutdown();
  tls_.reset();
  tlsReady_ = false;
  tlsIn_.clear();
}

void TLxSocket::StartTls() {
  ReportStatus(8, "Start TLS");
  if (!IsConnected || SocketHandle == 0xFFFF) throw ESockError("Not Connected");
  DropTls(false);
  TLxTls::TOptions options;
  options.HostName = AlternateHost.empty() ? Host : AlternateHost;
  options.VerifyCert = VerifyCert;
  options.CAFile = CAFile;
  tls_ = std::make_unique<TLxTls>(SocketHandle, options);
  const uint16_t socket = SocketHandle;
  TimerOn();
  {
    const TTimerOffGuard timerOff(*this);
    try {
      while (!CancelRequested) {
        const TTlsWant want = tls_->Handshake();
        if (want == TTlsWant::None) {
          tlsReady_ = true;
          break;
        }
        WaitReady(want);
        // The close notice replaced the socket (and ended the session) meanwhile.
        if (!tls_ || SocketHandle != socket)
          throw ETlsError(TTlsFailure::Lost, "TLS handshake failed: the server closed the connection");
      }
    } catch (...) {
      DropTls(false);
      throw;
    }
  }
  if (CancelRequested) {
    CancelRequested = false;
    DropTls(false);
    throw EAbortError("TLS handshake aborted");
  }
}
