// TLxSocket: the host lookup, the connect attempts tried side by side, closing and
// reopening the socket, and accepting a connection.
#include "sock/LxSock.h"

#include <algorithm>
#include <cstring>

#include "platform/WsLookup.h"
#include "sock/LxSockInternal.h"

// ---- host and connection ---------------------------------------------------------

void TLxSocket::CancelLookup() {
  if (lookupTask_ != 0) WSACancelAsyncRequest(lookupTask_);
  lookupTask_ = 0;
}

void TLxSocket::ResolveHost() {
  ReportStatus(8, "Resolve Host");
  const std::string& name = AlternateHost.empty() ? Host : AlternateHost;
  size_t n = std::min(name.size(), sizeof IoBuffer - 1);
  std::memcpy(IoBuffer, name.data(), n);
  IoBuffer[n] = '\0';
  RemoteAddresses.clear();
  WsAddress literal;
  if (WsParseAddress(IoBuffer, &literal)) {
    RemoteAddresses.push_back(literal);
    return;
  }
  TimerOn();
  LookupDone = false;
  CancelLookup();
  lookupResult_.clear();
  lookupTask_ = WsAsyncGetAddresses(SocketWindow, WM_LOOKUP_DONE, IoBuffer, &lookupResult_);
  if (lookupTask_ == 0) {
    // No lookup could start: it failed, and no notice will come to end the wait.
    Succeeded = false;
    LookupDone = true;
  }
  {
    const TTimerOffGuard timerOff(*this);
    WaitFor([this] { return LookupDone || TimedOut || CancelRequested; });
  }
  if (TimedOut) {
    CancelLookup();
    throw ESockError("Host Lookup Timed Out");
  }
  if (CancelRequested) {
    CancelLookup();
    throw ESockError("Host Lookup Canceled");
  }
  if (!Succeeded) throw ESockError("Host Lookup Failed" + SocketErrorReason(lookupError_));
  RemoteAddresses = std::move(lookupResult_);
  lookupResult_.clear();
  if (OnHostResolved) OnHostResolved(this);
}

void TLxSocket::Connect() {
  ReportStatus(8, "Connecting");
  CancelRequested = false;
  if (IsConnected) throw ESockError("Already connected");
  int attempts = 0;
  for (;;) {
    lookupError_ = 0;
    try {
      ResolveHost();
    } catch (const ESockError& e) {
      if (e.Message() == "Host Lookup Timed Out" || e.Message() == "Host Lookup Canceled") throw;
      RemoteAddresses.clear();
    }
    // 0.0.0.0 and :: name no host to connect to.
    std::erase_if(RemoteAddresses, [](const WsAddress& a) { return a.Unspecified(); });
    if (!RemoteAddresses.empty()) break;
    // Why the lookup gave no address, when it said.
    const std::string reason = SocketErrorReason(lookupError_);
    if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address" + reason);
    bool handled = false;
    OnInvalidHost(handled);
    if (!handled) throw ESockError("Null Remote Address" + reason);
    ++attempts;
  }

  uint16_t port = AlternateHost.empty() ? static_cast<uint16_t>(Port & 0xFFFF) : AlternatePort;
  RemotePort = WsHtons(port);
  LookupDone = false;
  Succeeded = true;
  ConnectAttempts();
}

void TLxSocket::ConnectAttempts() {
  auto& pump = TMessagePump::Instance();
  RemoteAddress = WsAddress{};
  attempts_.clear();
  connectError_ = 0;
  size_t next = 0;               // the next address to try
  uint64_t nextStart = 0;        // when it starts although the latest attempt is still pending
  bool latestPending = false;    // the latest attempt waits for its outcome
  int immediateError = 0;        // the error of the last attempt that failed at once
  auto pending = [this] {
    return std::any_of(attempts_.begin(), attempts_.end(), [](const TAttempt& a) { return !a.failed; });
  };
  auto over = [&] {
    return IsConnected || TimedOut || CancelRequested || (next >= RemoteAddresses.size() && !pending());
  };
  auto start = [&] {
    const int error = StartAttempt(RemoteAddresses[next++]);
    if (error != 0) immediateError = error;
    latestPending = error == 0;
    nextStart = pump.NowMs() + static_cast<uint64_t>(std::max(AttemptDelay, 0));
  };

  // However the wait ends, the sockets of the attempts other than the winner go.
  struct TAttemptsGuard {
    TLxSocket& socket;
    ~TAttemptsGuard() {
      socket.connecting_ = false;
      socket.CloseAttempts();
    }
  };
  connecting_ = true;
  const TAttemptsGuard attemptsGuard{*this};
  // The only address failing at once raises its error before any wait, as a plain
  // connect does.
  start();
  if (RemoteAddresses.size() == 1 && immediateError != 0) {
    WSASetLastError(immediateError);
    CheckSocketError(WSAEWOULDBLOCK);
  }
  TimerOn();
  {
    const TTimerOffGuard timerOff(*this);
    for (;;) {
      pump.ProcessMessages();
      // The next address starts when the latest attempt failed, or stayed silent for
      // the attempt delay; the earlier ones go on meanwhile.
      while (!over() && next < RemoteAddresses.size() &&
             (!latestPending || attempts_.back().failed || pump.NowMs() >= nextStart))
        start();
      if (over()) break;
      int wait = -1;
      if (next < RemoteAddresses.size()) wait = static_cast<int>(nextStart - std::min(nextStart, pump.NowMs()));
      pump.WaitMessage(wait);
    }
  }
  if (!TimedOut && !CancelRequested && IsConnected) {
    Succeeded = true;
    return;
  }
  // The attempt is over even when the completion came in the same pumping.
  IsConnected = false;
  Succeeded = false;
  if (!TimedOut && !CancelRequested && attempts_.empty()) {
    // Every address failed at once: the error of the last one says why.
    WSASetLastError(immediateError);
    CheckSocketError(WSAEWOULDBLOCK);
  }
  if (OnConnectionFailed) OnConnectionFailed(this);
  if (TimedOut) throw ESockError("Connection Timed out");
  if (CancelRequested) throw ESockError("Connection Canceled");
  throw ESockError("Connection Failed" + SocketErrorReason(connectError_));
}

int TLxSocket::StartAttempt(const WsAddress& address) {
  ReportStatus(8, "Connecting to " + WsAddressText(address));
  SOCKET s = SocketHandle;
  if (socketUsed_ || SocketHandle == 0xFFFF || socketFamily_ != address.family) {
    s = WsSocket(address.family, WS_SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    if (s > 0xFFFF) {
      WsCloseSocket(s);
      throw RangeError();
    }
    if (WSAAsyncSelect(s, SocketWindow, WM_SOCKET_NOTICE, kSelectEvents) != 0) {
      const int error = WSAGetLastError();
      WsCloseSocket(s);
      return error;
    }
  } else {
    socketUsed_ = true;
  }
  if (WsConnect(s, address, RemotePort) == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
    const int error = WSAGetLastError();
    if (s != SocketHandle) WsCloseSocket(s);
    return error;
  }
  attempts_.push_back(TAttempt{static_cast<uint16_t>(s), address, false});
  return 0;
}

void TLxSocket::AttemptDone(uintptr_t s, bool connected) {
  auto it = std::find_if(attempts_.begin(), attempts_.end(),
                         [s](const TAttempt& a) { return !a.failed && a.socket == s; });
  if (it == attempts_.end()) return;
  if (!connected || IsConnected) {
    // A failed attempt, or one that connected after another won: its socket goes now,
    // so that nothing more of it arrives. The component's own socket stays.
    it->failed = true;
    if (it->socket != SocketHandle) {
      WsCloseSocket(it->socket);
      it->socket = 0xFFFF;
    }
    return;
  }
  if (it->socket != SocketHandle) {
    // The winner becomes the component's socket; the one it replaces never connected.
    DropTls(false);
    if (SocketHandle != 0xFFFF) WsCloseSocket(SocketHandle);
    for (TAttempt& a : attempts_)
      if (a.socket == SocketHandle) {
        a.socket = 0xFFFF;
        a.failed = true;
      }
    SocketHandle = it->socket;
    socketFamily_ = it->address.family;
  }
  socketUsed_ = true;
  RemoteAddress = it->address;
  IsConnected = true;
  if (OnConnect) OnConnect(this);
}

void TLxSocket::CloseAttempts() {
  for (const TAttempt& a : attempts_)
    if (a.socket != 0xFFFF && a.socket != SocketHandle) WsCloseSocket(a.socket);
  attempts_.clear();
}

void TLxSocket::RequestCloseSocket() {
  ReportStatus(4, "Request Close Socket");
  IsConnected = false;
  if (SocketHandle == 0xFFFF) return;
  DropTls(true);
  if (WsCloseSocket(SocketHandle) != 0) {
    CheckSocketError(WSAEWOULDBLOCK);
    return;
  }
  SocketHandle = 0xFFFF;
  if (!Destroying() && OnDisconnect) OnDisconnect(this);
  if (!ShuttingDown) OpenSocket(0);
}

void TLxSocket::Disconnect() {
  ReportStatus(8, "Disconnecting");
  RequestCloseSocket();
}

void TLxSocket::CheckConnection() {
  ReportStatus(8, "Checking Connection");
  bool asked = false;
  while (!IsConnected) {
    if (asked || !OnConnectionRequired) throw ENotConnected("Not Connected");
    bool handled = false;
    OnConnectionRequired(handled);
    asked = true;
    if (!handled) throw ENotConnected("Not Connected");
  }
}

void TLxSocket::Cancel() {
  ReportStatus(8, "Canceling");
  CancelRequested = true;
}

void TLxSocket::Abort() {
  ReportStatus(8, "Abort");
  Cancel();
}

uint16_t TLxSocket::Accept() {
  ReportStatus(4, "Accepting");
  WaitFor([this] { return LookupDone || CancelRequested; });
  if (CancelRequested) throw ESockError("Accepting Canceled");
  if (!Succeeded) throw ESockError("Error creating Data Connection");
  uint32_t address = 0;
  uint16_t port = 0;
  SOCKET s = WsAccept(SocketHandle, &address, &port);
  if (s == INVALID_SOCKET) CheckSocketError(WSAEWOULDBLOCK);
  if (s > 0xFFFF || s < 0) {
    if (s > 0xFFFF) WsCloseSocket(s);
    throw RangeError();
  }
  WSAAsyncSelect(s, SocketWindow, WM_SOCKET_NOTICE, kSelectEvents);
  RemoteAddress = WsAddress::FromIpv4(address);
  RemotePort = port;
  if (CancelRequested) {
    CancelRequested = false;
    throw EAbortError("Socket send aborted");
  }
  return static_cast<uint16_t>(s);
}
