// The socket error numbers of the socket library layer: their texts, the mapping
// from errno and resolver results, and the last error of each thread.
#pragma once

// Error numbers this layer produces beyond the errno mapping.
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The error number of the last failed call of this thread (0 when none).
int WSAGetLastError();
void WSASetLastError(int error);

// The text of a socket error number, or nullptr when the table has none.
const char* WsErrorText(int error);
// errno -> socket error number; an errno without a counterpart gives 10100 + errno.
int WsErrorFromErrno(int err);
// getaddrinfo result -> socket error number (11001 to 11004, or a mapped errno).
int WsErrorFromResolver(int eaiCode, int err);
