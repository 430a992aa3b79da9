// Tests of the socket library layer: error numbers, and the notices that readiness
// turns into (once per event, never repeated for unread data).
#include "platform/WinSock.h"
#include "platform/WsLookup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
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
  ASSERT_EQ(WsConnect(s, WsAddress::FromIpv4(WsInetAddr("127.0.0.1")), WsHtons(server.Port())), SOCKET_ERROR);
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
  EXPECT_EQ(WsConnect(s, WsAddress::FromIpv4(WsInetAddr("127.0.0.1")), WsHtons(ScriptServer::ClosedPort())), SOCKET_ERROR);
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
  std::vector<WsAddress> found;
  uintptr_t task = WsAsyncGetAddresses(w, 1126, "localhost", &found);
  ASSERT_NE(task, 0u);
  for (int i = 0; i < 500 && log.notices.empty(); ++i) PumpFor(10);
  ASSERT_EQ(log.notices.size(), 1u);
  EXPECT_EQ(log.notices[0].second, 0);
  std::vector<std::string> texts;
  for (const WsAddress& a : found) texts.push_back(WsAddressText(a));
  // Each address once (the resolver gives one per socket type), 127.0.0.1 among them.
  EXPECT_NE(std::find(texts.begin(), texts.end(), "127.0.0.1"), texts.end());
  EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), texts.size());

  std::vector<WsAddress> none{WsAddress::FromIpv4(1)};
  ASSERT_NE(WsAsyncGetAddresses(w, 1126, "no-such-host.invalid", &none), 0u);
  for (int i = 0; i < 500 && log.notices.size() < 2; ++i) PumpFor(10);
  ASSERT_EQ(log.notices.size(), 2u);
  EXPECT_GE(log.notices[1].second, 11001);
  EXPECT_LE(log.notices[1].second, 11004);
  EXPECT_EQ(none.size(), 1u);  // a failed lookup writes nothing

  std::vector<WsAddress> cancelledResult;
  uintptr_t cancelled = WsAsyncGetAddresses(w, 1126, "localhost", &cancelledResult);
  EXPECT_EQ(WSACancelAsyncRequest(cancelled), 0);
  PumpFor(300);
  EXPECT_EQ(log.notices.size(), 2u);
  EXPECT_TRUE(cancelledResult.empty());
  pump.DestroyWindow(w);
  WSACleanup();
}

// Address literals: what they parse to, shown as text and as a mail domain literal.
TEST(WinSockAddresses, LiteralsParseAndPrint) {
  struct Case {
    const char* text;
    int family;  // 0: not a literal (a host name)
    const char* shown;
    const char* literal;
    bool unspecified;
  };
  const Case cases[] = {
      {"127.0.0.1", WS_AF_INET, "127.0.0.1", "[127.0.0.1]", false},
      {"[127.0.0.1]", WS_AF_INET, "127.0.0.1", "[127.0.0.1]", false},
      {"127.1", WS_AF_INET, "127.0.0.1", "[127.0.0.1]", false},
      {"0.0.0.0", WS_AF_INET, "0.0.0.0", "[0.0.0.0]", true},
      {"::1", WS_AF_INET6, "::1", "[IPv6:::1]", false},
      {"[::1]", WS_AF_INET6, "::1", "[IPv6:::1]", false},
      {"2001:DB8:0:0:0:0:0:1", WS_AF_INET6, "2001:db8::1", "[IPv6:2001:db8::1]", false},
      {"::ffff:192.0.2.1", WS_AF_INET6, "::ffff:192.0.2.1", "[IPv6:::ffff:192.0.2.1]", false},
      {"fe80::1%1", WS_AF_INET6, "fe80::1%1", "[IPv6:fe80::1]", false},
      {"::", WS_AF_INET6, "::", "[IPv6:::]", true},
      {"localhost", 0, "", "", false},
      {"mail.example.com", 0, "", "", false},
      {"[::1", 0, "", "", false},
      {"::1]", 0, "", "", false},
      {"[mail.example.com]", 0, "", "", false},
      {"1:2:3", 0, "", "", false},
      {"", 0, "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WsAddress a = WsAddress::FromIpv4(0x04030201);
    const WsAddress before = a;
    ASSERT_EQ(WsParseAddress(c.text, &a), c.family != 0);
    if (c.family == 0) {
      EXPECT_EQ(a, before);  // untouched
      continue;
    }
    EXPECT_EQ(a.family, c.family);
    EXPECT_EQ(WsAddressText(a), c.shown);
    EXPECT_EQ(WsAddressLiteral(a), c.literal);
    EXPECT_EQ(a.Unspecified(), c.unspecified);
  }
  EXPECT_TRUE(WsAddress{}.Unspecified());
  EXPECT_EQ(WsAddress::FromIpv4(WsInetAddr("192.0.2.7")).Ipv4(), WsInetAddr("192.0.2.7"));
}

TEST(WinSockNotices, Ipv6ConnectReachesAPeerOnTheIpv6Loopback) {
  ScriptServer server("::1");
  if (server.Port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
  server.Send("hi\r\n");
  WSAStartup(0x0101, nullptr);
  NoticeLog log;
  auto& pump = TMessagePump::Instance();
  HWND w = pump.CreateWindow(&log);
  WsAddress a;
  ASSERT_TRUE(WsParseAddress("::1", &a));
  SOCKET s = WsSocket(WS_AF_INET6, WS_SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  WSAAsyncSelect(s, w, 1125, FD_CONNECT | FD_READ | FD_CLOSE);
  EXPECT_EQ(WsConnect(s, a, WsHtons(server.Port())), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  for (int i = 0; i < 100 && log.Count(FD_READ) == 0; ++i) PumpFor(10);
  ASSERT_GE(log.notices.size(), 2u);
  EXPECT_EQ(log.notices[0], (std::pair<int, int>{FD_CONNECT, 0}));
  EXPECT_EQ(log.Count(FD_READ), 1);
  // Without a fully qualified host name, the local end's literal stands for this machine.
  const std::string name = WsLocalHostName(s);
  if (name.find('.') == std::string::npos) {
    EXPECT_EQ(name, "[IPv6:::1]");
  }
  WsCloseSocket(s);
  pump.DestroyWindow(w);
  WSACleanup();
}

}  // namespace
