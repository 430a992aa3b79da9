// What the source files of the socket library layer share and nobody else uses:
// failing with an error number, the system's socket addresses, and the relay of
// host lookups that start-up opens.
#pragma once

#include <sys/socket.h>

#include <cerrno>

#include "platform/WinSock.h"

// Sets the thread's last error; returns SOCKET_ERROR.
inline int Fail(int code) {
  WSASetLastError(code);
  return SOCKET_ERROR;
}

inline int FailErrno() { return Fail(WsErrorFromErrno(errno)); }

// The address of a system socket address (IPv4 or IPv6); family 0 for any other.
WsAddress FromSockaddr(const sockaddr* sa);

// True between the first WSAStartup and the last WSACleanup.
bool LibraryStarted();
// Opens the window that receives the lookup workers' results (the first start-up).
void StartLookupRelay();
// Forgets every pending lookup and closes the relay's window (the last clean-up).
void EndLookupRelay();
