// Tests of the socket library layer: error numbers, and the notices that readiness
// turns into (once per event, never repeated for unread data).
#include "platform/WinSock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <vector>

#include "support/ScriptServer.h"

namespace {

TEST(WinSockErrors, ErrnoMapping) {
  struct Case {
    int err;
    int code;
  };
  const Case cases[] = {
      {ECONNREFUSED, 10061}, {EWOULDBLOCK, 10035}, {EAGAIN, 10035},       {EINPROGRESS, 10035},
      {ENOTCONN, 10057},     {ETIMEDOUT, 10060},   {ECONNRESET, 10054},   {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065}, {EPIPE, 10054},       {EADDRINUSE, 10048},   {EMFILE, 10024},
      {EINTR, 10004},        {ENOTSOCK, 10038},    {ECONNABORTED, 10053}, {EIO, 10100 + EIO},
  };
  for (const auto& tc : cases) EXPECT_EQ(WsErrorFromErrno(tc.err), tc.code) << tc.err;
}

TEST(WinSockErrors, ResolverMapping) {
  EXPECT_EQ(WsErrorFromResolver(0, 0), 0);
  EXPECT_EQ(WsErrorFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WsErrorFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(WsErrorFromResolver(EAI_FAIL, 0), 11003);
  EXPECT_EQ(WsErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(WinSockErrors, EveryMappedNumberHasAText) {
  for (int err = 1; err < 134; ++err) {
    int code = WsErrorFromErrno(err);
    if (code < 10100) {
      EXPECT_NE(WsErrorText(code), nullptr) << err;
    }
  }
  EXPECT_EQ(WsErrorText(0), nullptr);
  EXPECT_STREQ(WsErrorText(10065), "No route to Host");
  EXPECT_EQ(WsInetAddr("0.0.0.0"), 0u);
  EXPECT_EQ(WsInetAddr("no.such.host"), WS_INADDR_NONE);
}

struct NoticeLog : TMessageHandler {
  std::vector<std::pair<int, int>> notices;  // event, error
  void HandleMessage(uint32_t, uintptr_t, intptr_t lParam) override {
    notices.push_back({static_cast<int>(lParam & 0xFFFF), static_cast<int>((lParam >> 16) & 0xFFFF)});
  }
  int Count(int event) const {
    int n = 0;
    for (auto& [e, err] : notices) n += e == event;
    return n;
  }
};

// Pumps for ms, blocking in the pump; returns the number of passes it made.
int PumpFor(int ms) {
  auto& pump = TMessagePump::Instance();
  uint64_t end = pump.NowMs() + static_cast<uint64_t>(ms);
  int passes = 0;
  while (pump.NowMs() < end) {
    pump.ProcessMessages();
    pump.WaitMessage(static_cast<int>(end - pump.NowMs()));
    ++passes;
  }
  return passes;
}

TEST(WinSockNotices, ConnectReadAndCloseArriveOnceEach) {
  WSAStartup(0x0101, nullptr);
  ScriptServer server;
  server.Send("hello\r\n").Pause(200).Send("more\r\n").Pause(200).Close();
  NoticeLog log;
  auto& pump = TMessagePump::Instance();
  HWND w = pump.CreateWindow(&log);
  SOCKET s = WsSocket(WS_AF_INET, WS_SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(WSAAsyncSelect(s, w, 1125, FD_READ | FD_CONNECT | FD_CLOSE), 0);
  ASSERT_EQ(WsConnect(s, WsInetAddr("127.0.0.1"), WsHtons(server.Port())), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  // Unread data is announced once, however long the pump runs.
  int passes = PumpFor(150);
  EXPECT_EQ(log.Count(FD_CONNECT), 1);
  EXPECT_EQ(log.notices.front(), (std::pair<int, int>{FD_CONNECT, 0}));
  EXPECT_EQ(log.Count(FD_READ), 1);
  EXPECT_LT(passes, 20);  // the wait blocked instead of spinning
  char buf[64];
  EXPECT_EQ(WsRecv(s, buf, sizeof buf, 0), 7);
  PumpFor(600);
  EXPECT_EQ(log.Count(FD_READ), 2);  // "more" arrived after the read re-enabled notices
  EXPECT_EQ(log.Count(FD_CLOSE), 0);  // its data is still unread
  EXPECT_EQ(WsRecv(s, buf, sizeof buf, 0), 6);
  PumpFor(100);
  EXPECT_EQ(log.Count(FD_CLOSE), 1);
  EXPECT_EQ(WsRecv(s, buf, sizeof buf, 0), 0);
  PumpFor(50);
  EXPECT_EQ(log.Count(FD_CLOSE), 1);
  EXPECT_EQ(WsCloseSocket(s), 0);
  pump.DestroyWindow(w);
  WSACleanup();
}

TEST(WinSockNotices, RefusedConnectArrivesAsConnectNoticeWithError) {
  WSAStartup(0x0101, nullptr);
  NoticeLog log;
  auto& pump = TMessagePump::Instance();
  HWND w = pump.CreateWindow(&log);
  SOCKET s = WsSocket(WS_AF_INET, WS_SOCK_STREAM, 0);
  WSAAsyncSelect(s, w, 1125, FD_CONNECT | FD_CLOSE | FD_READ);
  EXPECT_EQ(WsConnect(s, WsInetAddr("127.0.0.1"), WsHtons(ScriptServer::ClosedPort())), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  PumpFor(100);
  ASSERT_EQ(log.notices.size(), 1u);
  EXPECT_EQ(log.notices[0], (std::pair<int, int>{FD_CONNECT, 10061}));
  WsCloseSocket(s);
  pump.DestroyWindow(w);
  WSACleanup();
}

TEST(WinSockNotices, LookupPostsItsResultAndCancelSilencesIt) {
  WSAStartup(0x0101, nullptr);
  NoticeLog log;
  auto& pump = TMessagePump::Instance();
  HWND w = pump.CreateWindow(&log);
  char buffer[1024];
  uintptr_t task = WSAAsyncGetHostByName(w, 1126, "localhost", buffer, sizeof buffer);
  ASSERT_NE(task, 0u);
  for (int i = 0; i < 500 && log.notices.empty(); ++i) PumpFor(10);
  ASSERT_EQ(log.notices.size(), 1u);
  EXPECT_EQ(log.notices[0].second, 0);
  auto* he = reinterpret_cast<HOSTENT*>(buffer);
  uint32_t a;
  std::memcpy(&a, he->h_addr_list[0], 4);
  EXPECT_EQ(a, WsInetAddr("127.0.0.1"));

  ASSERT_NE(WSAAsyncGetHostByName(w, 1126, "no-such-host.invalid", buffer, sizeof buffer), 0u);
  for (int i = 0; i < 500 && log.notices.size() < 2; ++i) PumpFor(10);
  ASSERT_EQ(log.notices.size(), 2u);
  EXPECT_GE(log.notices[1].second, 11001);
  EXPECT_LE(log.notices[1].second, 11004);

  uintptr_t cancelled = WSAAsyncGetHostByName(w, 1126, "localhost", buffer, sizeof buffer);
  EXPECT_EQ(WSACancelAsyncRequest(cancelled), 0);
  PumpFor(300);
  EXPECT_EQ(log.notices.size(), 2u);
  pump.DestroyWindow(w);
  WSACleanup();
}

}  // namespace
