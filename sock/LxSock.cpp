#include "sock/LxSock.h"

#include <cstdio>

#include "platform/AsciiCase.h"
#include "sock/LxSockInternal.h"

namespace {

int g_libraryUsers = 0;  // components that started the socket library
std::function<void(const std::exception&)> g_timerExceptionHandler;

uint16_t LowWord(intptr_t v) { return static_cast<uint16_t>(static_cast<uintptr_t>(v) & 0xFFFF); }
uint16_t HighWord(intptr_t v) { return static_cast<uint16_t>((static_cast<uintptr_t>(v) >> 16) & 0xFFFF); }

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
            if (!Succeeded) connectError_ = HighWord(lParam);
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
      lookupError_ = HighWord(lParam);
      lookupTask_ = 0;
      LookupDone = true;
    }
  } catch (...) {
    // A notice never fails: whatever a callback raised ends here.
  }
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

namespace {
std::string ErrorNumberText(int errorNo) {
  if (const char* text = WsErrorText(errorNo)) return IntToStr(errorNo) + ":" + text;
  return "Unknown Error No. " + IntToStr(errorNo);
}
}  // namespace

std::string SocketErrorReason(int errorNo) { return errorNo == 0 ? std::string() : ": " + ErrorNumberText(errorNo); }

std::string TLxSocket::LookupErrorMessage(uint16_t errorNo) {
  ReportStatus(8, "Looking Up Error Message");
  if (errorNo == 0) return std::string();
  return ErrorNumberText(errorNo);
}
