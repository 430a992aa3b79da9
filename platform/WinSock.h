// The socket library layer: non-blocking IPv4 and IPv6 TCP sockets whose readiness the message
// pump turns into notices posted to a window (wParam = socket, lParam = event code |
// error number << 16), and their addresses. Host lookups on a worker thread, posted
// back the same way, are in WsLookup.h; the socket error numbers with their texts in
// WsErrors.h. Everything but the lookup worker runs on the user-interface thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessagePump.h"
#include "platform/WsErrors.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr uint32_t WS_INADDR_NONE = 0xFFFFFFFFu;

constexpr int WS_AF_INET = 2;
constexpr int WS_AF_INET6 = 23;
constexpr int WS_SOCK_STREAM = 1;
constexpr int WS_IPPROTO_TCP = 6;
constexpr int WS_MSG_PEEK = 2;

// Event codes of the async-select notices (low word of lParam).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// Filled by WSAStartup.
struct WSADATA {
  uint16_t wVersion;      // low byte major, high byte minor
  uint16_t wHighVersion;  // same form
  char szDescription[257];
  char szSystemStatus[129];
  uint16_t iMaxSockets;
  uint16_t iMaxUdpDg;
  const char* lpVendorInfo;
};

// An IPv4 or IPv6 address: 4 or 16 bytes in network order, and for an IPv6 address
// the scope (interface number) of a link-local one. Family 0 is no address.
struct WsAddress {
  int family = 0;  // WS_AF_INET, WS_AF_INET6 or 0
  uint8_t bytes[16] = {};
  uint32_t scope = 0;

  // The IPv4 address in network order (0 for any other family).
  uint32_t Ipv4() const;
  static WsAddress FromIpv4(uint32_t networkOrder);
  // No address, or the unspecified one (0.0.0.0, ::): nothing to connect to.
  bool Unspecified() const;
  bool operator==(const WsAddress&) const = default;
};

// Starts the library (counted); fills data. Returns 0.
int WSAStartup(uint16_t version, WSADATA* data);
// Ends one start; the last one cancels outstanding lookups. Returns 0.
int WSACleanup();

// A new socket of family WS_AF_INET or WS_AF_INET6 (close-on-exec, blocking until
// WSAAsyncSelect); INVALID_SOCKET on error.
SOCKET WsSocket(int af, int type, int protocol);
// Closes the socket and drops its watch and its queued notices. 0, or SOCKET_ERROR.
int WsCloseSocket(SOCKET s);
// Sets SO_LINGER (on, seconds). 0, or SOCKET_ERROR.
int WsSetLinger(SOCKET s, bool on, uint16_t seconds);

// Puts the socket into non-blocking mode and posts msg to window for the events asked
// for: FD_CONNECT (once per connect, with the connect result), FD_READ (then not again
// until the next WsRecv), FD_CLOSE (once, when the peer closed or reset the
// connection and no data is left), FD_ACCEPT (then not again until the next WsAccept).
// events 0 stops the notices. Returns 0, or SOCKET_ERROR.
int WSAAsyncSelect(SOCKET s, HWND window, uint32_t msg, long events);

// Dotted text (a, a.b, a.b.c, a.b.c.d; decimal, octal or hex parts) -> address in
// network order, or WS_INADDR_NONE.
uint32_t WsInetAddr(const char* text);
// An address literal: dotted IPv4 text as WsInetAddr takes it, or IPv6 text, bare or
// in square brackets, with an optional "%scope" (interface name or number). False,
// with *address untouched, for anything else (a host name).
bool WsParseAddress(const std::string& text, WsAddress* address);
// The address as text: "192.0.2.1", "2001:db8::1", "fe80::1%2".
std::string WsAddressText(const WsAddress& address);
// The address as a mail domain literal: "[192.0.2.1]", "[IPv6:2001:db8::1]".
std::string WsAddressLiteral(const WsAddress& address);
uint16_t WsHtons(uint16_t value);
uint16_t WsNtohs(uint16_t value);

// Starts a connection to address:port (port in network order) on a socket of the
// address's family. On a selected socket the answer is SOCKET_ERROR with
// WSAEWOULDBLOCK and the outcome arrives as FD_CONNECT.
int WsConnect(SOCKET s, const WsAddress& address, uint16_t port);
// Sends (never raises SIGPIPE). Bytes taken, or SOCKET_ERROR.
int WsSend(SOCKET s, const char* buffer, int length, int flags);
// Receives (flags WS_MSG_PEEK to peek). Bytes, 0 when the peer closed, or SOCKET_ERROR.
// Re-enables FD_READ notices.
int WsRecv(SOCKET s, char* buffer, int length, int flags);
// Accepts a connection on a listening socket; address and port (network order) of the
// peer. The new socket, or INVALID_SOCKET. Re-enables FD_ACCEPT notices.
SOCKET WsAccept(SOCKET s, uint32_t* address, uint16_t* port);
// Binds to address:port and listens (for accepting sockets). 0, or SOCKET_ERROR.
int WsListen(SOCKET s, uint32_t address, uint16_t port, int backlog);

// Asks the pump to watch s for writability; WsWritable turns true (and the pump wakes)
// when it can take more bytes.
void WsArmWriteNotice(SOCKET s);
bool WsWritable(SOCKET s);
