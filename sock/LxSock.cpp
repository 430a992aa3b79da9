#include "sock/LxSock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/AsciiCase.h"

namespace {

int g_libraryUsers = 0;  // components that started the socket library
std::function<void(const std::exception&)> g_timerExceptionHandler;

constexpr long kSelectEvents = FD_READ | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3D
constexpr int kMaxLine = 65536;

uint16_t LowWord(intptr_t v) { return static_cast<uint16_t>(static_cast<uintptr_t>(v) & 0xFFFF); }
uint16_t HighWord(intptr_t v) { return static_cast<uint16_t>((static_cast<uintptr_t>(v) >> 16) & 0xFFFF); }

ERangeError RangeError() { return ERangeError("Range check error"); }

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

}  // namespace

std::string MaskCredentials(const std::string& command, bool secret) {
  if (secret) return "****";
  if (!AsciiStartsWithNoCase(command, "AUTH ")) return command;
  const size_t mechanismEnd = command.find(' ', 5);
  if (mechanismEnd == std::string::npos) return command;
  return command.substr(0, mechanismEnd) + " ****";
}

int16_t ReplyNumberOf(const std::string& line) {
  size_t digits = 0;
  while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9') ++digits;
  if (digits == 0) return 0;
  // A value beyond 32 bits reads as 0, as the integer conversion gives it.
  const int32_t value = StrToIntDef(std::string_view(line).substr(0, digits), 0);
  if (value < -32768 || value > 32767) throw RangeError();
  return static_cast<int16_t>(value);
}

// ---- TThreadTimer ----------------------------------------------------------------

TThreadTimer::TThreadTimer(TComponent* owner) : TComponent(owner) {
  // The global handler is looked up at each tick: it may be set after the timer.
  SetOnTickError([](const std::exception& e) {
    if (g_timerExceptionHandler)
      g_timerExceptionHandler(e);
    else
      std::fprintf(stderr, "tarvex: %s\n", e.what());
  });
}

TThreadTimer::~TThreadTimer() { MarkDestroying(); }

void TThreadTimer::SetExceptionHandler(std::function<void(const std::exception&)> handler) {
  g_timerExceptionHandler = std::move(handler);
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
  if (!handler) {
    SetOnTick(nullptr);
    return;
  }
  SetOnTick([this, handler = std::move(handler)] { handler(this); });
}

// ---- creation and destruction ----------------------------------------------------

TLxSocket::TLxSocket(TComponent* owner) : TComponent(owner) {
  // ReportLevel is still 0 here, so "Create" is never shown.
  ReportStatus(8, "Create");
  SocketWindow = TMessagePump::Instance().CreateWindow(this);
  AlternateHost.clear();
  TimeOutTimer = new TThreadTimer(this);
  TimeOutTimer->SetEnabled(false);
  TimeOutTimer->SetOnTimer([this](TComponent* sender) { TimerTriggered(sender); });
  TimeOut = 0;
  CancelRequested = ShuttingDown = IsConnected = false;
  try {
    InitializeWinsock();
  } catch (...) {
    TMessagePump::Instance().DestroyWindow(SocketWindow);
    throw;
  }
}

TLxSocket::~TLxSocket() {
  MarkDestroying();
  ReportStatus(8, "Destroy");
  try {
    Abort();
    Cancel();
  } catch (...) {
  }
  CancelLookup();
  CloseAttempts();
  WSAInfo.Clear();
  delete TimeOutTimer;
  TimeOutTimer = nullptr;
  TMessagePump::Instance().DestroyWindow(SocketWindow);
  SocketWindow = 0;
  ShuttingDown = true;
  if (!Designing()) {
    try {
      RequestCloseSocket();
    } catch (...) {
    }
    if (--g_libraryUsers == 0) WSACleanup();
  }
}

int TLxSocket::LibraryUsers() { return g_libraryUsers; }

void TLxSocket::InitializeWinsock() {
  ReportStatus(8, "Initializing Winsock");
  if (Designing()) return;
  try {
    if (++g_libraryUsers == 1) {
      WSAStartup(0x0101, &WSAData);
      auto version = [](uint16_t v) { return IntToStr(v >> 8) + "." + IntToStr(v & 0xFF); };
      WSAInfo.Add("Version= " + version(WSAData.wVersion));
      WSAInfo.Add("High Version= " + version(WSAData.wHighVersion));
      WSAInfo.Add(std::string("Description= ") + WSAData.szDescription);
      WSAInfo.Add(std::string("System= ") + WSAData.szSystemStatus);
      WSAInfo.Add("Max Sockets= " + IntToStr(WSAData.iMaxSockets));
      WSAInfo.Add("Max Udp pack size= " + IntToStr(WSAData.iMaxUdpDg));
    }
    try {
      OpenSocket(WS_IPPROTO_TCP);
    } catch (...) {
      if (--g_libraryUsers == 0) WSACleanup();
      throw;
    }
  } catch (...) {
    // "Initializaton" as spelled: callers compare the message byte for byte.
    throw ESockError("Initializaton of windows sockets failed");
  }
}

void TLxSocket::OpenSocket(int protocol) {
  SOCKET s = WsSocket(WS_AF_INET, WS_SOCK_STREAM, protocol);
  if (s > 0xFFFF) {
    WsCloseSocket(s);
    throw RangeError();
  }
  SocketHandle = s == INVALID_SOCKET ? 0xFFFF : static_cast<uint16_t>(s);
  socketUsed_ = false;
  socketFamily_ = WS_AF_INET;
  if (SocketHandle == 0xFFFF) CheckSocketError(WSAEWOULDBLOCK);
  // The first socket resets its connection on close instead of lingering.
  if (protocol == WS_IPPROTO_TCP && WsSetLinger(SocketHandle, true, 0) != 0) CheckSocketError(WSAEWOULDBLOCK);
  if (WSAAsyncSelect(SocketHandle, SocketWindow, WM_SOCKET_NOTICE, kSelectEvents) != 0)
    CheckSocketError(WSAEWOULDBLOCK);
}

// ---- notices ---------------------------------------------------------------------

void TLxSocket::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  if (msg >= WM_SOCKET_NOTICE) HandleSocketNotice(msg, wParam, lParam);
}

void TLxSocket::HandleSocketNotice(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  Succeeded = HighWord(lParam) == 0;
  try {
    // While attempts run side by side, only the connect outcomes of their sockets count.
    if (msg == WM_SOCKET_NOTICE && connecting_ && LowWord(lParam) != FD_CONNECT && wParam != SocketHandle) return;
    if (msg == WM_SOCKET_NOTICE) {
      switch (LowWord(lParam)) {
        case FD_READ:
          readNotice_ = true;
          if (OnReadReady) OnReadReady(this);
          break;
        case FD_ACCEPT:
          IsConnected = true;
          if (OnAcceptReady) OnAcceptReady(this);
          break;
        case FD_CONNECT:
          if (connecting_) {
            AttemptDone(wParam, Succeeded);
          } else if (Succeeded) {
            IsConnected = true;
            if (OnConnect) OnConnect(this);
          }
          break;
        case FD_CLOSE:
          readNotice_ = true;
          if (!DataAvailable()) RequestCloseSocket();
          break;
        default:
          break;
      }
    } else if (msg == WM_LOOKUP_DONE) {
      lookupTask_ = 0;
      LookupDone = true;
    }
  } catch (...) {
    // A notice never fails: whatever a callback raised ends here.
  }
}

template <class Done>
void TLxSocket::WaitFor(Done done) {
  auto& pump = TMessagePump::Instance();
  for (;;) {
    pump.ProcessMessages();
    if (done()) return;
    pump.WaitMessage(-1);
  }
}

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
  if (!Succeeded) throw ESockError("Host Lookup Failed");
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
    try {
      ResolveHost();
    } catch (const ESockError& e) {
      if (e.Message() == "Host Lookup Timed Out" || e.Message() == "Host Lookup Canceled") throw;
      RemoteAddresses.clear();
    }
    // 0.0.0.0 and :: name no host to connect to.
    std::erase_if(RemoteAddresses, [](const WsAddress& a) { return a.Unspecified(); });
    if (!RemoteAddresses.empty()) break;
    if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
    bool handled = false;
    OnInvalidHost(handled);
    if (!handled) throw ESockError("Null Remote Address");
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
  throw ESockError("Connection Failed");
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
    if (asked || !OnConnectionRequired) throw Exception("Not Connected");
    bool handled = false;
    OnConnectionRequired(handled);
    asked = true;
    if (!handled) throw Exception("Not Connected");
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

// ---- time-out --------------------------------------------------------------------

void TLxSocket::TimerOn() {
  ReportStatus(8, "Timer On");
  ArmTimer(TimeOut);
}

void TLxSocket::ArmTimer(int32_t ms) {
  TimedOut = false;
  if (ms < 0) throw RangeError();
  // Off first: a timer that runs already starts its interval again.
  TimeOutTimer->SetEnabled(false);
  TimeOutTimer->SetInterval(static_cast<uint32_t>(ms));
  TimeOutTimer->SetEnabled(true);
}

void TLxSocket::BeginWait(bool sending) {
  if (waitDepth_ > 0) {
    ++waitDepth_;
    return;
  }
  ReportStatus(8, "Timer On");
  if (SendStallLimit < 0) throw RangeError();
  ArmTimer(sending && TimeOut == 0 ? SendStallLimit : TimeOut);
  waitSending_ = sending;
  waitDepth_ = 1;
}

void TLxSocket::EndWait() {
  if (waitDepth_ == 0 || --waitDepth_ > 0) return;
  try {
    TimerOff();
  } catch (...) {
  }
}

void TLxSocket::SendProgress() {
  if (waitDepth_ > 0 && waitSending_ && !TimedOut) ArmTimer(TimeOut == 0 ? SendStallLimit : TimeOut);
}

void TLxSocket::WaitWritable() {
  auto& pump = TMessagePump::Instance();
  WsArmWriteNotice(SocketHandle);
  pump.ProcessMessages();
  while (!CancelRequested && !WsWritable(SocketHandle)) {
    pump.WaitMessage(-1);
    pump.ProcessMessages();
  }
}

void TLxSocket::TimerOff() {
  ReportStatus(8, "Timer Off");
  if (TimeOutTimer) TimeOutTimer->SetEnabled(false);
}

void TLxSocket::TimerTriggered(TComponent*) {
  ReportStatus(8, "Timer Triggered");
  TimerOff();
  TimedOut = true;
  LookupDone = true;
  Abort();
}

// ---- line and stream I/O ---------------------------------------------------------

void TLxSocket::SendBuffer(const char* bytes, uint16_t length) {
  ReportStatus(4, "Sending Buffer");
  TWaitScope wait(*this, true);
  if (!CancelRequested) {
    size_t len = length;
    if (len == 0) {
      len = strnlen(bytes, 0x10000);
      if (len > 0xFFFF) throw RangeError();
    }
    size_t remaining = len;
    do {
      int n = SockSend(bytes + (len - remaining), static_cast<int>(remaining));
      if (n == 0) break;
      if (n > 0) {
        remaining -= static_cast<size_t>(n);
        SendProgress();
      } else {
        CheckSocketError(WSAEWOULDBLOCK);
        // The wait runs in the pump, so that the time-out and a cancel end it: a peer
        // that stops reading must not hold the send for ever.
        if (TlsActive()) WaitReady(tls_->Want());
        else WaitWritable();
      }
    } while (remaining > 0 && !CancelRequested);
  }
  if (CancelRequested) {
    CancelRequested = false;
    throw EAbortError("Socket send aborted");
  }
}

void TLxSocket::Write(const std::string& text) {
  ReportStatus(8, "Write");
  size_t n = std::min<size_t>(text.size(), kMaxLine);
  std::memcpy(IoBuffer, text.data(), n);
  IoBuffer[n] = '\0';
  SendBuffer(IoBuffer, 0);
}

void TLxSocket::Writeln(const std::string& text) {
  ReportStatus(8, "Writeln");
  Write(text + "\r\n");
}

std::string TLxSocket::ReadLn() {
  ReportStatus(8, "ReadLn");
  std::string line;
  int consumed = 0;
  TWaitScope wait(*this, false);
  auto& pump = TMessagePump::Instance();
  int k = -1;  // offset of the line feed in IoBuffer
  for (;;) {
    if (consumed > kMaxLine) throw ELineTooLong("Range check error");
    int ask = std::min<int>(kMaxLine, static_cast<int>(sizeof IoBuffer) - consumed - 1);
    int n = SockRecv(IoBuffer + consumed, ask, WS_MSG_PEEK);
    bool wait = false;
    if (n == 0) return std::string();  // the peer closed
    if (n > 0) {
      // The bytes of the line taken before sit in line; only the new ones can hold the LF.
      const void* lf = std::memchr(IoBuffer + consumed, '\n', static_cast<size_t>(n));
      if (lf) {
        k = static_cast<int>(static_cast<const char*>(lf) - IoBuffer);
        break;
      }
      int got = SockRecv(IoBuffer + consumed, n, 0);
      if (got < 0) {
        CheckSocketError(WSAEWOULDBLOCK);
      } else {
        line.append(IoBuffer + consumed, static_cast<size_t>(got));
        consumed += got;
      }
    } else {
      LastErrorNo = WSAGetLastError();
      if (LastErrorNo == WSAENOTCONN) return std::string();  // as for a closed peer
      CheckSocketError(WSAEWOULDBLOCK);
      wait = true;
    }
    pump.ProcessMessages();
    if (CancelRequested) break;
    if (wait) {
      // A TLS session that must write first (a renegotiation) waits for room, which
      // the layer reports only when asked; a read wait is armed by the last recv.
      if (TlsActive() && tls_->Want() == TTlsWant::Write) WsArmWriteNotice(SocketHandle);
      pump.WaitMessage(-1);
    }
  }
  if (CancelRequested) {
    CancelRequested = false;
    throw EAbortError("Socket readln aborted");
  }
  int rest = k + 1 - consumed;
  while (rest > 0) {
    int got = SockRecv(IoBuffer + consumed, rest, 0);
    if (got <= 0) {
      if (got < 0) CheckSocketError(WSAEWOULDBLOCK);
      if (got == 0) break;
      continue;
    }
    line.append(IoBuffer + consumed, static_cast<size_t>(got));
    consumed += got;
    rest -= got;
  }
  if (OnTrace && !Destroying()) {
    try {
      OnTrace(this, TTraceKind::Received, 0, line);
    } catch (...) {
    }
  }
  return line;
}

std::string TLxSocket::Transaction(const std::string& command) {
  ReportStatus(8, "Transaction");
  ReplyNumber = 0;
  if (OnTrace && !Destroying()) {
    const std::string shown = MaskCredentials(command, SecretCommand);
    try {
      OnTrace(this, TTraceKind::Sent, 0, shown);
    } catch (...) {
      // Tracing never fails the operation that traced.
    }
  }
  SecretCommand = false;
  Writeln(command);
  std::string line = ReadLn();
  TransactionReply = line;
  if (!line.empty()) {
    ReportStatus(1, line);
    ReplyNumber = ReplyNumberOf(line);
  }
  return TransactionReply;
}

void TLxSocket::SendStream(TStream& stream) {
  ReportStatus(8, "SendStream");
  stream.SetPosition(0);
  auto& pump = TMessagePump::Instance();
  TWaitScope wait(*this, true);
  if (!CancelRequested) {
    BytesSent = 0;
    int64_t size = stream.Size();
    BytesTotal = static_cast<int32_t>(size);
    do {
      int64_t want = std::min<int64_t>(size - stream.Position(), kMaxLine);
      int c = static_cast<int>(std::max<int64_t>(stream.Read(IoBuffer, std::max<int64_t>(want, 0)), 0));
      int remaining = c;
      do {
        int n = SockSend(IoBuffer + (c - remaining), remaining);
        if (n == 0) return;  // the rest is not sent
        bool blocked = false;
        if (n > 0) {
          remaining -= n;
          BytesSent += n;
          SendProgress();
          if (OnPacketSent) OnPacketSent(this);
        } else {
          CheckSocketError(WSAEWOULDBLOCK);
          if (TlsActive() && tls_->Want() == TTlsWant::Read) {
            // The session must read before it can write on (a renegotiation).
            WaitReady(TTlsWant::Read);
          } else {
            blocked = true;
            WsArmWriteNotice(SocketHandle);
          }
        }
        pump.ProcessMessages();
        // A full socket: block in the pump until it takes bytes again (or a cancel).
        while (blocked && !CancelRequested && !WsWritable(SocketHandle)) {
          pump.WaitMessage(-1);
          pump.ProcessMessages();
        }
      } while (remaining > 0 && !CancelRequested);
    } while (stream.Position() != size && !CancelRequested);
  }
  if (CancelRequested) {
    CancelRequested = false;
    throw EAbortError("Socket send aborted");
  }
}

bool TLxSocket::DataAvailable() {
  ReportStatus(8, "Data Available");
  // Peeks into a byte of its own: a notice can ask this while ReadLn holds IoBuffer.
  char byte;
  return SockRecv(&byte, 1, WS_MSG_PEEK) >= 1;
}

void TLxSocket::ClearInput() {
  ReportStatus(8, "Clearing Input");
  SockRecv(IoBuffer, kMaxLine, 0);
}

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

// ---- status and errors -----------------------------------------------------------

void TLxSocket::ReportStatus(int level, const std::string& text) {
  if (OnTrace && !Destroying()) {
    try {
      OnTrace(this, TTraceKind::Status, level, text);
    } catch (...) {
    }
  }
  if (level > ReportLevel) return;
  LastStatus = text;
  if (Destroying() || !OnStatus) return;
  try {
    OnStatus(this, LastStatus);
  } catch (...) {
    // Status reporting never fails the operation that reported.
  }
}

std::string TLxSocket::CheckSocketError(uint16_t tolerated) {
  LastErrorNo = WSAGetLastError();
  if (LastErrorNo != tolerated && LastErrorNo > 10000) {
    std::string message = LookupErrorMessage(static_cast<uint16_t>(LastErrorNo));
    if (OnSocketError) OnSocketError(this, static_cast<uint16_t>(LastErrorNo), message);
    throw ESockError(message);
  }
  return std::string();
}

std::string TLxSocket::LookupErrorMessage(uint16_t errorNo) {
  ReportStatus(8, "Looking Up Error Message");
  if (errorNo == 0) return std::string();
  if (const char* text = WsErrorText(errorNo)) return IntToStr(errorNo) + ":" + text;
  return "Unknown Error No. " + IntToStr(errorNo);
}
