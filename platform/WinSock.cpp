#include "platform/WinSock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/WinSockInternal.h"

namespace {

// ---- async select ----------------------------------------------------------------

struct SockState {
  enum Phase { kIdle, kConnecting, kConnected, kClosed, kListening };
  Phase phase = kIdle;
  HWND window = 0;
  uint32_t msg = 0;
  long events = 0;
  bool paused = false;     // FD_READ / FD_ACCEPT posted, waiting for the next recv / accept
  bool wantWrite = false;  // WsArmWriteNotice is waiting for writability
  bool writable = false;
  bool watched = false;
};

std::map<int, SockState> g_socks;  // user-interface thread only

void Post(int s, SockState& st, long event, int error) {
  if (!(st.events & event)) return;
  TMessagePump::Instance().PostMessage(st.window, st.msg, static_cast<uintptr_t>(s),
                                       static_cast<intptr_t>((event & 0xFFFF) | ((error & 0xFFFF) << 16)));
}

void OnReady(int s, short revents);

// Sets the poll interest of s from its phase and the notices still wanted.
void Update(int s, SockState& st) {
  short ev = 0;
  bool selected = st.events != 0 && st.window != 0;
  if (selected && st.phase == SockState::kConnecting) ev |= POLLOUT;
  if (selected && st.phase == SockState::kConnected && !st.paused && (st.events & (FD_READ | FD_CLOSE)))
    ev |= POLLIN | POLLRDHUP;
  if (selected && st.phase == SockState::kListening && !st.paused && (st.events & FD_ACCEPT)) ev |= POLLIN;
  if (st.wantWrite) ev |= POLLOUT;
  auto& pump = TMessagePump::Instance();
  if (ev == 0) {
    // An unconnected socket polls as hung up at once: never poll it without interest.
    if (st.watched) pump.SetFdEvents(s, 0);
  } else if (!st.watched) {
    st.watched = true;
    pump.WatchFd(s, ev, [s](short revents) { OnReady(s, revents); });
  } else {
    pump.SetFdEvents(s, ev);
  }
}

void SetNoDelay(int s) {
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Runs inside message processing when s became ready for what Update asked.
void OnReady(int s, short revents) {
  auto it = g_socks.find(s);
  if (it == g_socks.end()) return;
  SockState& st = it->second;
  const short done = POLLOUT | POLLERR | POLLHUP;
  if (st.wantWrite && st.phase != SockState::kConnecting && (revents & done)) {
    st.wantWrite = false;
    st.writable = true;
  }
  if (st.phase == SockState::kConnecting) {
    if (revents & done) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0) {
        st.phase = SockState::kConnected;
        SetNoDelay(s);
        Post(s, st, FD_CONNECT, 0);
      } else {
        st.phase = SockState::kIdle;
        Post(s, st, FD_CONNECT, WsErrorFromErrno(err));
      }
    }
    Update(s, st);
    return;
  }
  if (st.phase == SockState::kListening && !st.paused && (revents & (POLLIN | POLLERR))) {
    st.paused = true;
    Post(s, st, FD_ACCEPT, 0);
  }
  if (st.phase == SockState::kConnected && !st.paused && (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
    char byte;
    ssize_t n = ::recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      st.paused = true;  // until the reader calls WsRecv: unread data must not spin the pump
      Post(s, st, FD_READ, 0);
    } else if (n == 0) {
      st.phase = SockState::kClosed;
      Post(s, st, FD_CLOSE, 0);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      st.phase = SockState::kClosed;
      Post(s, st, FD_CLOSE, WsErrorFromErrno(errno));
    }
  }
  Update(s, st);
}

int g_startups = 0;  // WSAStartup calls not yet ended by WSACleanup

// The system socket address of address:port (port in network order); its length.
socklen_t ToSockaddr(const WsAddress& address, uint16_t port, sockaddr_storage* ss) {
  std::memset(ss, 0, sizeof *ss);
  if (address.family == WS_AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = port;
    std::memcpy(&in6->sin6_addr, address.bytes, 16);
    in6->sin6_scope_id = address.scope;
    return sizeof *in6;
  }
  auto* in = reinterpret_cast<sockaddr_in*>(ss);
  in->sin_family = AF_INET;
  in->sin_port = port;
  std::memcpy(&in->sin_addr, address.bytes, 4);
  return sizeof *in;
}

}  // namespace

// The address of a system socket address (IPv4 or IPv6); family 0 for any other.
WsAddress FromSockaddr(const sockaddr* sa) {
  WsAddress a;
  if (sa->sa_family == AF_INET) {
    a.family = WS_AF_INET;
    std::memcpy(a.bytes, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
  } else if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    a.family = WS_AF_INET6;
    std::memcpy(a.bytes, &in6->sin6_addr, 16);
    a.scope = in6->sin6_scope_id;
  }
  return a;
}

// ---- start-up --------------------------------------------------------------------

int WSAStartup(uint16_t, WSADATA* data) {
  if (g_startups++ == 0) StartLookupRelay();
  if (data) {
    std::memset(data, 0, sizeof *data);
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::snprintf(data->szDescription, sizeof data->szDescription,
                  "Tarvex sockets: non-blocking IPv4 and IPv6 TCP over the message pump");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    rlimit rl{};
    uint64_t maxSockets = 65535;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < maxSockets)
      maxSockets = rl.rlim_cur;
    data->iMaxSockets = static_cast<uint16_t>(maxSockets);
    data->iMaxUdpDg = 65507;  // largest IPv4 UDP payload
    data->lpVendorInfo = nullptr;
  }
  return 0;
}

int WSACleanup() {
  if (g_startups == 0) return Fail(10093);
  if (--g_startups == 0) EndLookupRelay();
  return 0;
}

bool LibraryStarted() { return g_startups > 0; }

// ---- sockets ---------------------------------------------------------------------

SOCKET WsSocket(int af, int type, int protocol) {
  if (af != WS_AF_INET && af != WS_AF_INET6) return Fail(10047);
  if (type != WS_SOCK_STREAM) return Fail(10044);
  int s = ::socket(af == WS_AF_INET6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (s < 0) return FailErrno();
  g_socks[s] = SockState{};
  return s;
}

int WsCloseSocket(SOCKET s) {
  auto it = g_socks.find(s);
  if (it != g_socks.end()) {
    auto& pump = TMessagePump::Instance();
    if (it->second.watched) pump.UnwatchFd(s);
    if (it->second.window) pump.RemoveMessages(it->second.window, it->second.msg, static_cast<uintptr_t>(s));
    g_socks.erase(it);
  }
  if (::close(s) != 0) return FailErrno();
  return 0;
}

int WsSetLinger(SOCKET s, bool on, uint16_t seconds) {
  linger l{on ? 1 : 0, seconds};
  if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return FailErrno();
  return 0;
}

int WSAAsyncSelect(SOCKET s, HWND window, uint32_t msg, long events) {
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
  SockState& st = g_socks[s];
  st.window = window;
  st.msg = msg;
  st.events = events;
  st.paused = false;
  if (st.phase == SockState::kIdle) {
    // A socket handed over already connected (accepted) or listening.
    int listening = 0;
    socklen_t len = sizeof listening;
    sockaddr_storage peer{};
    socklen_t plen = sizeof peer;
    if (::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
      st.phase = SockState::kListening;
    else if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &plen) == 0)
      st.phase = SockState::kConnected;
  }
  Update(s, st);
  return 0;
}

uint32_t WsInetAddr(const char* text) { return ::inet_addr(text); }

uint32_t WsAddress::Ipv4() const {
  uint32_t a = 0;
  if (family == WS_AF_INET) std::memcpy(&a, bytes, 4);
  return a;
}

WsAddress WsAddress::FromIpv4(uint32_t networkOrder) {
  WsAddress a;
  a.family = WS_AF_INET;
  std::memcpy(a.bytes, &networkOrder, 4);
  return a;
}

bool WsAddress::Unspecified() const {
  static const uint8_t kZero[16] = {};
  return family == 0 || std::memcmp(bytes, kZero, family == WS_AF_INET ? 4 : 16) == 0;
}

bool WsParseAddress(const std::string& text, WsAddress* address) {
  if (text.find('\0') != std::string::npos) return false;
  std::string body = text;
  if (body.size() >= 2 && body.front() == '[' && body.back() == ']') body = body.substr(1, body.size() - 2);
  const uint32_t v4 = WsInetAddr(body.c_str());
  if (v4 != WS_INADDR_NONE) {
    *address = WsAddress::FromIpv4(v4);
    return true;
  }
  if (body.find(':') == std::string::npos) return false;
  // The numeric form of the resolver takes the scope ("%eth0", "%2") as well.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (::getaddrinfo(body.c_str(), nullptr, &hints, &res) != 0) return false;
  const WsAddress a = res ? FromSockaddr(res->ai_addr) : WsAddress{};
  ::freeaddrinfo(res);
  if (a.family != WS_AF_INET6) return false;
  *address = a;
  return true;
}

std::string WsAddressText(const WsAddress& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.family == WS_AF_INET) {
    ::inet_ntop(AF_INET, address.bytes, text, sizeof text);
    return text;
  }
  if (address.family != WS_AF_INET6) return std::string();
  ::inet_ntop(AF_INET6, address.bytes, text, sizeof text);
  std::string out = text;
  if (address.scope != 0) out += "%" + std::to_string(address.scope);
  return out;
}

std::string WsAddressLiteral(const WsAddress& address) {
  if (address.family == WS_AF_INET6) {
    // A scope means nothing to the server: the literal carries the address alone.
    WsAddress bare = address;
    bare.scope = 0;
    return "[IPv6:" + WsAddressText(bare) + "]";
  }
  return "[" + WsAddressText(address) + "]";
}
uint16_t WsHtons(uint16_t value) { return htons(value); }
uint16_t WsNtohs(uint16_t value) { return ntohs(value); }

int WsConnect(SOCKET s, const WsAddress& address, uint16_t port) {
  if (address.family != WS_AF_INET && address.family != WS_AF_INET6) return Fail(10047);
  sockaddr_storage sa;
  const socklen_t saLength = ToSockaddr(address, port, &sa);
  int rc = ::connect(s, reinterpret_cast<sockaddr*>(&sa), saLength);
  int err = rc == 0 ? 0 : errno;
  auto it = g_socks.find(s);
  bool selected = it != g_socks.end() && it->second.events != 0;
  if (!selected) return rc == 0 ? 0 : Fail(WsErrorFromErrno(err));
  SockState& st = it->second;
  if (rc == 0 || err == EINPROGRESS) {
    // The outcome, also an immediate success, arrives as FD_CONNECT.
    st.phase = SockState::kConnecting;
    Update(s, st);
    return Fail(WSAEWOULDBLOCK);
  }
  if (err == ECONNREFUSED) {
    // A refusal found before connect returned is still an outcome of the handshake.
    st.phase = SockState::kIdle;
    Post(s, st, FD_CONNECT, WsErrorFromErrno(err));
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(WsErrorFromErrno(err));
}

int WsSend(SOCKET s, const char* buffer, int length, int flags) {
  ssize_t n = ::send(s, buffer, static_cast<size_t>(std::max(length, 0)), flags | MSG_NOSIGNAL);
  if (n < 0) {
    int err = errno;
    // This platform answers a send on a socket that never connected with a broken
    // pipe; the socket library's answer is "not connected".
    auto it = g_socks.find(s);
    if (err == EPIPE && it != g_socks.end() && it->second.phase == SockState::kIdle) return Fail(WSAENOTCONN);
    return Fail(WsErrorFromErrno(err));
  }
  return static_cast<int>(n);
}

int WsRecv(SOCKET s, char* buffer, int length, int flags) {
  int f = (flags & WS_MSG_PEEK) ? MSG_PEEK : 0;
  ssize_t n = ::recv(s, buffer, static_cast<size_t>(std::max(length, 0)), f);
  int err = errno;
  auto it = g_socks.find(s);
  if (it != g_socks.end() && it->second.paused && it->second.phase == SockState::kConnected) {
    it->second.paused = false;
    Update(s, it->second);
  }
  if (n < 0) return Fail(WsErrorFromErrno(err));
  return static_cast<int>(n);
}

SOCKET WsAccept(SOCKET s, uint32_t* address, uint16_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int c = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  int err = errno;
  auto it = g_socks.find(s);
  if (it != g_socks.end() && it->second.paused) {
    it->second.paused = false;
    Update(s, it->second);
  }
  if (c < 0) return Fail(WsErrorFromErrno(err));
  g_socks[c] = SockState{};
  SetNoDelay(c);
  if (address) *address = sa.sin_addr.s_addr;
  if (port) *port = sa.sin_port;
  return c;
}

int WsListen(SOCKET s, uint32_t address, uint16_t port, int backlog) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = port;
  sa.sin_addr.s_addr = address;
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, backlog) != 0) return FailErrno();
  auto it = g_socks.find(s);
  if (it != g_socks.end()) {
    it->second.phase = SockState::kListening;
    Update(s, it->second);
  }
  return 0;
}

void WsArmWriteNotice(SOCKET s) {
  auto it = g_socks.find(s);
  if (it == g_socks.end()) return;
  it->second.writable = false;
  it->second.wantWrite = true;
  Update(s, it->second);
}

bool WsWritable(SOCKET s) {
  auto it = g_socks.find(s);
  // A socket this layer does not know is reported writable, so that the caller's next
  // send finds out what is wrong instead of waiting for ever.
  if (it == g_socks.end()) return true;
  return it->second.writable;
}
