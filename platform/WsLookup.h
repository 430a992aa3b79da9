// Host lookups of the socket library layer: a name resolved on a worker thread and
// its addresses posted back to a window, and this machine's own name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessagePump.h"
#include "platform/WinSock.h"

// Starts a lookup of name: every address it has, IPv6 and IPv4, in the resolver's
// order of preference, each once. On completion *result holds them (it is written on
// this thread, just before the notice) and msg is posted to window with wParam = the
// task handle and the error number in the high word of lParam. Returns the task
// handle, or 0 (error set) when none could start.
uintptr_t WsAsyncGetAddresses(HWND window, uint32_t msg, const char* name, std::vector<WsAddress>* result);
// Cancels a lookup: its result is not written and its notice never arrives (also
// when already queued). Returns 0, or SOCKET_ERROR for an unknown task.
int WSACancelAsyncRequest(uintptr_t task);

// This machine's fully qualified host name: the system's host name, or, when that
// has no dot, the resolver's canonical name for it; when neither has a dot, the
// address literal ("[192.0.2.1]", "[IPv6:2001:db8::1]") of the local end of the
// connected socket s.
std::string WsLocalHostName(SOCKET s);
