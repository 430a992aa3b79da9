// Tests of the socket component against a scripted loopback peer: connection, host
// resolution, time-outs and cancel, line and stream I/O, status texts and error messages.
#include "sock/LxSock.h"
#include "support/SockTestSupport.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/ScriptServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A name that does not resolve ends the connect with the resolver's reason: not found,
// or, on a machine without a name server, a temporary failure.
void ExpectNameNotFound(TLxSocket& sock) {
  try {
    sock.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const ESockError& e) {
    EXPECT_THAT(e.Message(), testing::MatchesRegex("Null Remote Address: 1100[12]:.*Host not found"));
  }
}

int OpenFdCount() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++count;
    closedir(d);
  }
  return count;
}

// Pumps messages until cond holds or limitMs passes; returns cond().
template <class Cond>
bool PumpUntil(Cond cond, int limitMs = 5000) {
  auto end = Clock::now() + std::chrono::milliseconds(limitMs);
  auto& pump = TMessagePump::Instance();
  while (!cond() && Clock::now() < end) {
    pump.ProcessMessages();
    if (!cond()) pump.WaitMessage(20);
  }
  return cond();
}

// Expects fn to throw exactly type E with message text.
// A component aimed at a scripted server.
struct Client {
  TLxSocket sock;
  explicit Client(uint16_t port, const std::string& host = "127.0.0.1") {
    sock.Host = host;
    sock.Port = port;
  }
};

// ---- connection ------------------------------------------------------------------

TEST(LxSockConnect, DottedAddressConnectsWithoutLookup) {
  ScriptServer server;
  server.Send("220 hi\r\n");
  Client c(server.Port());
  int resolved = 0, connected = 0;
  c.sock.OnHostResolved = [&](TComponent*) { ++resolved; };
  c.sock.OnConnect = [&](TComponent*) { ++connected; };
  c.sock.Connect();
  EXPECT_TRUE(c.sock.IsConnected);
  EXPECT_EQ(resolved, 0);
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(WsAddressText(c.sock.RemoteAddress), "127.0.0.1");
  EXPECT_EQ(c.sock.ReadLn(), "220 hi\r\n");
}

TEST(LxSockConnect, NameIsLookedUpAndReported) {
  ScriptServer server;
  Client c(server.Port(), "localhost");
  int resolved = 0;
  c.sock.OnHostResolved = [&](TComponent*) { ++resolved; };
  c.sock.Connect();
  EXPECT_TRUE(c.sock.IsConnected);
  EXPECT_EQ(resolved, 1);
  // Whatever else the name has (::1 on many machines), the peer listens on 127.0.0.1.
  EXPECT_EQ(WsAddressText(c.sock.RemoteAddress), "127.0.0.1");
}

TEST(LxSockConnect, AllZeroAddressIsAnInvalidHost) {
  for (const char* host : {"0.0.0.0", "::", "[::]"}) {
    SCOPED_TRACE(host);
    Client c(25, host);
    ExpectThrowMessage<ESockError>([&] { c.sock.Connect(); }, "Null Remote Address");
    EXPECT_TRUE(c.sock.RemoteAddresses.empty());

    int asked = 0;
    c.sock.OnInvalidHost = [&](bool&) { ++asked; };  // declines
    ExpectThrowMessage<ESockError>([&] { c.sock.Connect(); }, "Null Remote Address");
    EXPECT_EQ(asked, 1);
  }
}

// An IPv6 literal, bare or in brackets, connects without a lookup.
TEST(LxSockConnect, Ipv6LiteralConnectsWithoutLookup) {
  ScriptServer server("::1");
  if (server.Port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
  server.Send("220 six\r\n").Accept().Send("220 six again\r\n");
  Client c(server.Port(), "::1");
  int resolved = 0;
  c.sock.OnHostResolved = [&](TComponent*) { ++resolved; };
  c.sock.Connect();
  EXPECT_EQ(c.sock.ReadLn(), "220 six\r\n");
  EXPECT_EQ(WsAddressText(c.sock.RemoteAddress), "::1");
  c.sock.Disconnect();
  c.sock.Host = "[::1]";
  c.sock.Connect();
  EXPECT_EQ(c.sock.ReadLn(), "220 six again\r\n");
  EXPECT_EQ(resolved, 0);
}

// The invalid-host handler gets one chance per Connect: a good second name connects,
// a second bad name fails without asking again.
TEST(LxSockConnect, InvalidHostHandlerGetsOneSecondTry) {
  struct Case {
    const char* first;
    const char* second;
    bool connects;
  };
  ScriptServer server;
  const Case cases[] = {
      {"no-such-host.invalid", "127.0.0.1", true},
      {"no-such-host.invalid", "localhost", true},
      {"0.0.0.0", "127.0.0.1", true},
      {"no-such-host.invalid", "also-missing.invalid", false},
      {"no-such-host.invalid", "0.0.0.0", false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(std::string(tc.first) + " then " + tc.second);
    Client c(server.Port(), tc.first);
    int asked = 0;
    c.sock.OnInvalidHost = [&](bool& handled) {
      ++asked;
      c.sock.Host = tc.second;
      handled = true;
    };
    if (tc.connects) {
      c.sock.Connect();
      EXPECT_TRUE(c.sock.IsConnected);
    } else if (tc.second[0] == '0') {
      ExpectThrowMessage<ESockError>([&] { c.sock.Connect(); }, "Null Remote Address");  // no lookup, no reason
      EXPECT_FALSE(c.sock.IsConnected);
    } else {
      ExpectNameNotFound(c.sock);
      EXPECT_FALSE(c.sock.IsConnected);
    }
    EXPECT_EQ(asked, 1);
  }
}

TEST(LxSockConnect, UnresolvableNameWithoutHandler) {
  Client c(25, "no-such-host.invalid");
  ExpectNameNotFound(c.sock);
}

TEST(LxSockConnect, RefusedConnectionFailsThenNextConnectWorks) {
  Client c(ScriptServer::ClosedPort());
  int failed = 0;
  c.sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
  ExpectThrowMessage<ESockError>([&] { c.sock.Connect(); }, "Connection Failed: 10061:Connection refused");
  EXPECT_EQ(failed, 1);
  EXPECT_FALSE(c.sock.IsConnected);
  EXPECT_FALSE(c.sock.Succeeded);

  // No Disconnect in between: the next Connect starts on a fresh socket by itself.
  ScriptServer server;
  server.Send("220 second\r\n");
  c.sock.Port = server.Port();
  c.sock.Connect();
  EXPECT_TRUE(c.sock.IsConnected);
  EXPECT_EQ(c.sock.ReadLn(), "220 second\r\n");
  EXPECT_EQ(failed, 1);
}

TEST(LxSockConnect, UnansweredConnectTimesOutThenNextConnectWorks) {
  StuckListener stuck;
  if (!stuck.Stuck()) GTEST_SKIP() << "the loopback accept queue could not be filled";
  Client c(stuck.Port());
  c.sock.TimeOut = 300;
  int failed = 0;
  c.sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
  auto start = Clock::now();
  ExpectThrowMessage<ESockError>([&] { c.sock.Connect(); }, "Connection Timed out");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 10000);
  EXPECT_EQ(failed, 1);
  EXPECT_TRUE(c.sock.TimedOut);
  EXPECT_TRUE(c.sock.CancelRequested);  // sticky after a time-out

  ScriptServer server;
  c.sock.Port = server.Port();
  c.sock.Connect();
  EXPECT_TRUE(c.sock.IsConnected);
  EXPECT_FALSE(c.sock.CancelRequested);
}

TEST(LxSockConnect, AbortFromTheWindowCancelsAnUnansweredConnect) {
  StuckListener stuck;
  if (!stuck.Stuck()) GTEST_SKIP() << "the loopback accept queue could not be filled";
  Client c(stuck.Port());  // TimeOut 0: only the abort ends the wait
  Later abort(100, [&] { c.sock.Abort(); });
  ExpectThrowMessage<ESockError>([&] { c.sock.Connect(); }, "Connection Canceled");
  EXPECT_FALSE(c.sock.TimedOut);
  EXPECT_TRUE(c.sock.CancelRequested);
}

TEST(LxSockConnect, ConnectWhileConnectedIsRefused) {
  ScriptServer server;
  server.Send("220 hi\r\n");
  Client c(server.Port());
  c.sock.Connect();
  ExpectThrowMessage<ESockError>([&] { c.sock.Connect(); }, "Already connected");
  EXPECT_TRUE(c.sock.IsConnected);
  EXPECT_EQ(c.sock.ReadLn(), "220 hi\r\n");  // the first connection still stands
  server.Pause(100);
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Connections(), 1);
}

TEST(LxSockConnect, DisconnectAndReconnect) {
  ScriptServer server;
  server.Reply("250 one\r\n").Accept().Reply("250 two\r\n");
  Client c(server.Port());
  int disconnects = 0;
  c.sock.OnDisconnect = [&](TComponent*) { ++disconnects; };
  c.sock.Connect();
  EXPECT_EQ(c.sock.Transaction("A"), "250 one\r\n");
  c.sock.Disconnect();
  EXPECT_FALSE(c.sock.IsConnected);
  EXPECT_EQ(disconnects, 1);
  EXPECT_NE(c.sock.SocketHandle, 0xFFFF);
  c.sock.Connect();
  EXPECT_EQ(c.sock.Transaction("B"), "250 two\r\n");
  EXPECT_EQ(c.sock.ReplyNumber, 250);
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Connections(), 2);
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"A", "B"}));
}

TEST(LxSockConnect, CheckConnectionAsksOnceThenRaises) {
  ScriptServer server;
  Client c(server.Port());
  ExpectThrowMessage<Exception>([&] { c.sock.CheckConnection(); }, "Not Connected");
  int asked = 0;
  c.sock.OnConnectionRequired = [&](bool&) { ++asked; };
  ExpectThrowMessage<Exception>([&] { c.sock.CheckConnection(); }, "Not Connected");
  EXPECT_EQ(asked, 1);
  c.sock.OnConnectionRequired = [&](bool& handled) {
    ++asked;
    c.sock.Connect();
    handled = true;
  };
  c.sock.CheckConnection();
  EXPECT_TRUE(c.sock.IsConnected);
  EXPECT_EQ(asked, 2);
}

TEST(LxSockConnect, LibraryStartsOnceAndWSAInfoGoesToTheFirstInstance) {
  ASSERT_EQ(TLxSocket::LibraryUsers(), 0);
  {
    TLxSocket a, b;
    EXPECT_EQ(TLxSocket::LibraryUsers(), 2);
    ASSERT_EQ(a.WSAInfo.Count(), 6);
    EXPECT_EQ(a.WSAInfo[0], "Version= 1.1");
    EXPECT_EQ(a.WSAInfo[1], "High Version= 1.1");
    EXPECT_EQ(a.WSAInfo[2].rfind("Description= ", 0), 0u);
    EXPECT_EQ(a.WSAInfo[5], "Max Udp pack size= 65507");
    EXPECT_EQ(b.WSAInfo.Count(), 0);
  }
  EXPECT_EQ(TLxSocket::LibraryUsers(), 0);
}

TEST(LxSockConnect, NoSocketLeaksOverEveryPath) {
  TMessagePump::Instance();  // its wake descriptor is made once
  StuckListener stuck;
  ScriptServer server;
  server.Reply("250 ok\r\n").Accept().Close().Accept().Close();
  // A silent address on the server's port: the attempt beside it wins, and it goes.
  StuckListener silent("127.0.0.2", server.Port());
  uint16_t closed = ScriptServer::ClosedPort();
  int before = OpenFdCount();
  {
    Client c(server.Port());
    c.sock.Connect();
    c.sock.Transaction("X");
    c.sock.Disconnect();
    c.sock.Port = closed;
    EXPECT_THROW(c.sock.Connect(), ESockError);
    if (stuck.Stuck()) {
      c.sock.Port = stuck.Port();
      c.sock.TimeOut = 100;
      EXPECT_THROW(c.sock.Connect(), ESockError);
    }
    c.sock.TimeOut = 0;
    c.sock.Port = server.Port();
    c.sock.Connect();
    EXPECT_EQ(c.sock.ReadLn(), "");  // the server closes
    c.sock.Disconnect();
    if (silent.Stuck()) {
      c.sock.Host = "localhost";
      WsAddress first, second;
      WsParseAddress("127.0.0.2", &first);
      WsParseAddress("127.0.0.1", &second);
      c.sock.OnHostResolved = [&](TComponent*) { c.sock.RemoteAddresses = {first, second}; };
      c.sock.Connect();
      EXPECT_EQ(WsAddressText(c.sock.RemoteAddress), "127.0.0.1");
    } else {
      c.sock.Connect();
    }
    EXPECT_EQ(c.sock.ReadLn(), "");
    TLxSocket other;
  }
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(OpenFdCount(), before);
}

// ---- several addresses -----------------------------------------------------------

std::vector<WsAddress> Addresses(std::initializer_list<const char*> texts) {
  std::vector<WsAddress> out;
  for (const char* t : texts) {
    WsAddress a;
    EXPECT_TRUE(WsParseAddress(t, &a)) << t;
    out.push_back(a);
  }
  return out;
}

// A host whose lookup gives these addresses (the lookup of "localhost" is replaced
// in OnHostResolved); records the addresses it tries.
struct MultiClient : Client {
  std::vector<std::string> tried;
  int failed = 0;
  MultiClient(uint16_t port, std::initializer_list<const char*> addresses) : Client(port, "localhost") {
    std::vector<WsAddress> list = Addresses(addresses);
    sock.OnHostResolved = [this, list](TComponent*) { sock.RemoteAddresses = list; };
    sock.OnConnectionFailed = [this](TComponent*) { ++failed; };
    sock.OnTrace = [this](TComponent*, TTraceKind kind, int, const std::string& text) {
      if (kind == TTraceKind::Status && text.rfind("Connecting to ", 0) == 0) tried.push_back(text.substr(14));
    };
  }
};

// The addresses of a name are tried in order; one that is refused or stays silent
// gives way to the next, and the first to connect wins. 127.0.0.2 and 127.0.0.3 hold a
// silent listener and nothing on the server's port.
TEST(LxSockConnectAddresses, NextAddressAfterARefusalOrSilence) {
  ScriptServer server;
  StuckListener silent("127.0.0.2", server.Port());
  StuckListener silentToo("127.0.0.4", server.Port());
  if (!silent.Stuck() || !silentToo.Stuck()) GTEST_SKIP() << "the loopback accept queue could not be filled";
  struct Case {
    const char* name;
    std::initializer_list<const char*> addresses;
    std::vector<std::string> tried;
  };
  const Case cases[] = {
      {"refused first", {"127.0.0.3", "127.0.0.1"}, {"127.0.0.3", "127.0.0.1"}},
      {"silent first", {"127.0.0.2", "127.0.0.1"}, {"127.0.0.2", "127.0.0.1"}},
      {"silent, refused, good", {"127.0.0.2", "127.0.0.3", "127.0.0.1", "127.0.0.4"},
       {"127.0.0.2", "127.0.0.3", "127.0.0.1"}},
      {"good first", {"127.0.0.1", "127.0.0.2"}, {"127.0.0.1"}},
      // A link-local address without its interface fails at once (invalid argument).
      {"failing at once first", {"fe80::1", "127.0.0.1"}, {"fe80::1", "127.0.0.1"}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    server.Send("220 here\r\n").Accept();
    MultiClient c(server.Port(), tc.addresses);
    // No time-out: only the attempt delay moves on from the silent address.
    c.sock.Connect();
    EXPECT_EQ(c.tried, tc.tried);
    EXPECT_EQ(WsAddressText(c.sock.RemoteAddress), "127.0.0.1");
    EXPECT_TRUE(c.sock.Succeeded);
    EXPECT_EQ(c.failed, 0);
    EXPECT_EQ(c.sock.ReadLn(), "220 here\r\n");
    c.sock.Disconnect();
  }
}

// Every address refused: "Connection Failed"; every one silent: the time-out.
TEST(LxSockConnectAddresses, AllAddressesFail) {
  const uint16_t port = ScriptServer::ClosedPort();
  MultiClient refused(port, {"127.0.0.3", "127.0.0.1"});
  ExpectThrowMessage<ESockError>([&] { refused.sock.Connect(); }, "Connection Failed: 10061:Connection refused");
  EXPECT_EQ(refused.tried, (std::vector<std::string>{"127.0.0.3", "127.0.0.1"}));
  EXPECT_EQ(refused.failed, 1);
  EXPECT_FALSE(refused.sock.Succeeded);

  // Every address failing at once: the last one's error, as for a single address, and
  // no connection failure reported.
  for (auto addresses : {std::initializer_list<const char*>{"fe80::1"}, {"fe80::2", "fe80::1"}}) {
    MultiClient invalid(port, addresses);
    ExpectThrowMessage<ESockError>([&] { invalid.sock.Connect(); }, "10022:Invalid argument");
    EXPECT_EQ(invalid.tried.size(), addresses.size());
    EXPECT_EQ(invalid.failed, 0);
  }

  StuckListener silent("127.0.0.2");
  if (!silent.Stuck()) GTEST_SKIP() << "the loopback accept queue could not be filled";
  StuckListener silentToo("127.0.0.4", silent.Port());
  MultiClient stuck(silent.Port(), {"127.0.0.2", "127.0.0.4"});
  stuck.sock.TimeOut = 600;
  ExpectThrowMessage<ESockError>([&] { stuck.sock.Connect(); }, "Connection Timed out");
  EXPECT_EQ(stuck.tried, (std::vector<std::string>{"127.0.0.2", "127.0.0.4"}));
  EXPECT_EQ(stuck.failed, 1);

  // The component works on afterwards.
  ScriptServer server;
  stuck.sock.Host = "127.0.0.1";
  stuck.sock.Port = server.Port();
  stuck.sock.Connect();
  EXPECT_TRUE(stuck.sock.IsConnected);
}

// ---- line input ------------------------------------------------------------------

// What the peer sends (in pieces, 30 ms apart) and the lines ReadLn must return.
TEST(LxSockReadLn, LinesAsTheyArrive) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"greeting", {"220 ready\r\n"}, {"220 ready\r\n"}},
      {"two lines in one packet", {"250-first\r\n250 last\r\n"}, {"250-first\r\n", "250 last\r\n"}},
      {"three pieces", {"25", "0 O", "K\r\n"}, {"250 OK\r\n"}},
      {"CR and LF apart", {"250 OK\r", "\n"}, {"250 OK\r\n"}},
      {"bare line feed", {"250 OK\n"}, {"250 OK\n"}},
      {"NUL bytes", {std::string("a\0b\0\r\n", 6)}, {std::string("a\0b\0\r\n", 6)}},
      {"empty line", {"\r\n", "x\n"}, {"\r\n", "x\n"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptServer server;
    server.SendPieces(tc.pieces, 30);
    Client c(server.Port());
    c.sock.Connect();
    for (const auto& want : tc.lines) EXPECT_EQ(c.sock.ReadLn(), want);
    EXPECT_FALSE(c.sock.DataAvailable());
  }
}

TEST(LxSockReadLn, LongLines) {
  ScriptServer server;
  std::string longest(65534, 'a');  // with CR LF: 65,536 bytes
  longest += "\r\n";
  std::string tooLong(70000, 'b');
  server.Send(longest).Send(tooLong + "\r\n");
  Client c(server.Port());
  c.sock.Connect();
  EXPECT_EQ(c.sock.ReadLn(), longest);
  EXPECT_THROW(c.sock.ReadLn(), ELineTooLong);
}

TEST(LxSockReadLn, PeerClosingMidLineGivesAnEmptyLine) {
  ScriptServer server;
  server.Send("250 partial").Pause(50).Close();
  Client c(server.Port());
  int disconnects = 0;
  c.sock.OnDisconnect = [&](TComponent*) { ++disconnects; };
  c.sock.Connect();
  EXPECT_EQ(c.sock.ReadLn(), "");
  // The close notice replaces the socket; reading the fresh one is still an empty line.
  EXPECT_TRUE(PumpUntil([&] { return !c.sock.IsConnected; }));
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(c.sock.ReadLn(), "");
  // A send on the fresh, unconnected socket reports the platform's not-connected error.
  uint16_t reported = 0;
  c.sock.OnSocketError = [&](TComponent*, uint16_t no, const std::string&) { reported = no; };
  ExpectThrowMessage<ESockError>([&] { c.sock.Writeln("QUIT"); }, "10057:Socket is not connected");
  EXPECT_EQ(reported, 10057);
}

TEST(LxSockReadLn, ResetWhileWaitingRaisesTheSocketError) {
  ScriptServer server;
  server.Pause(100).Reset();
  Client c(server.Port());
  c.sock.Connect();
  ExpectThrowMessage<ESockError>([&] { c.sock.ReadLn(); }, "10054:Connection reset by peer");
  EXPECT_EQ(c.sock.LastErrorNo, 10054);
}

TEST(LxSockReadLn, AbortFromATimerEndsTheWaitAndTheNextReadLnWorks) {
  ScriptServer server;
  Client c(server.Port());
  c.sock.Connect();
  {
    Later abort(100, [&] { c.sock.Abort(); });
    ExpectThrowMessage<EAbortError>([&] { c.sock.ReadLn(); }, "Socket readln aborted");
  }
  EXPECT_FALSE(c.sock.CancelRequested);
  EXPECT_FALSE(c.sock.TimedOut);
  server.Send("250 after\r\n");
  EXPECT_EQ(c.sock.ReadLn(), "250 after\r\n");
}

TEST(LxSockReadLn, TimeOutEndsTheWait) {
  ScriptServer server;
  Client c(server.Port());
  c.sock.Connect();
  c.sock.TimeOut = 200;
  auto start = Clock::now();
  ExpectThrowMessage<EAbortError>([&] { c.sock.ReadLn(); }, "Socket readln aborted");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(c.sock.TimedOut);
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 10000);
  EXPECT_FALSE(c.sock.TimeOutTimer->Enabled());
}

TEST(LxSockReadLn, PendingCancelFailsEvenAWaitingLine) {
  ScriptServer server;
  server.Send("250 waiting\r\n");
  Client c(server.Port());
  c.sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.sock.DataAvailable(); }));
  c.sock.Cancel();
  ExpectThrowMessage<EAbortError>([&] { c.sock.ReadLn(); }, "Socket readln aborted");
  EXPECT_EQ(c.sock.ReadLn(), "250 waiting\r\n");
}

TEST(LxSockReadLn, NegativeTimeOutIsARangeError) {
  ScriptServer server;
  server.Send("x\r\n");
  Client c(server.Port());
  c.sock.Connect();
  c.sock.TimeOut = -1;
  EXPECT_THROW(c.sock.ReadLn(), ERangeError);
}

// ---- output ----------------------------------------------------------------------

TEST(LxSockWrite, TextStopsAtZeroByteAndIsLimited) {
  ScriptServer server;
  server.ReadBytes(6);
  Client c(server.Port());
  c.sock.Connect();
  c.sock.Write(std::string("abc\0def", 7));
  c.sock.Writeln("xy");  // "abc" and "xy\r\n": 7 bytes, of which the server awaits 6 here
  EXPECT_THROW(c.sock.Write(std::string(65536, 'z')), ERangeError);
  EXPECT_THROW(c.sock.Writeln(std::string(65534, 'z')), ERangeError);
  c.sock.Write(std::string(65535, 'w'));
  server.ReadBytes(1 + 65535);
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Error(), "");
  EXPECT_EQ(server.Received(), "abcxy\r\n" + std::string(65535, 'w'));
}

TEST(LxSockWrite, CancelledSendRaisesAndClearsTheRequest) {
  ScriptServer server;
  Client c(server.Port());
  c.sock.Connect();
  c.sock.Cancel();
  ExpectThrowMessage<EAbortError>([&] { c.sock.Writeln("NOOP"); }, "Socket send aborted");
  EXPECT_FALSE(c.sock.CancelRequested);
  server.Pause(50);
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Received(), "");
}

// Reply line of the peer -> ReplyNumber, or a range error.
TEST(LxSockTransaction, ReplyNumbers) {
  struct Case {
    std::string reply;
    int16_t number;
    bool rangeError;
  };
  const Case cases[] = {
      {"250 OK\r\n", 250, false},
      {"220\r\n", 220, false},
      {"abc 250\r\n", 0, false},
      {"-250 minus\r\n", 0, false},
      {"32767 max\r\n", 32767, false},
      {"32768 over\r\n", 0, true},
      {"4294967296 beyond 32 bits\r\n", 0, false},
      {"2147483647 fits 32 bits\r\n", 0, true},
      {"123456789012 eleven digits, ten taken\r\n", 0, true},
      {"0000000250 zeros\r\n", 250, false},
      {"\n", 0, false},
  };
  ScriptServer server;
  for (const auto& tc : cases) server.Reply(tc.reply);
  Client c(server.Port());
  c.sock.ReportLevel = 1;
  std::vector<std::string> status;
  c.sock.OnStatus = [&](TComponent*, const std::string& s) { status.push_back(s); };
  c.sock.Connect();
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.reply);
    status.clear();
    c.sock.ReplyNumber = 99;
    if (tc.rangeError) {
      EXPECT_THROW(c.sock.Transaction("NOOP"), ERangeError);
      EXPECT_EQ(c.sock.ReplyNumber, 0);
    } else {
      EXPECT_EQ(c.sock.Transaction("NOOP"), tc.reply);
      EXPECT_EQ(c.sock.ReplyNumber, tc.number);
    }
    EXPECT_EQ(c.sock.TransactionReply, tc.reply);
    EXPECT_EQ(status, std::vector<std::string>{tc.reply});
  }
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Commands(), std::vector<std::string>(std::size(cases), "NOOP"));
}

TEST(LxSockTransaction, MultiLineReplyLeavesContinuationWaiting) {
  ScriptServer server;
  server.Reply("250-first\r\n250 last\r\n").Close();
  Client c(server.Port());
  c.sock.Connect();
  EXPECT_EQ(c.sock.Transaction("EHLO x"), "250-first\r\n");
  EXPECT_EQ(c.sock.ReplyNumber, 250);
  EXPECT_EQ(c.sock.ReadLn(), "250 last\r\n");
  EXPECT_EQ(c.sock.TransactionReply, "250-first\r\n");
  // The server has closed: an empty reply with number 0, no exception.
  EXPECT_EQ(c.sock.Transaction("NOOP"), "");
  EXPECT_EQ(c.sock.ReplyNumber, 0);
}

TEST(LxSockSendStream, HundredThousandBytesInChunks) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 23);
  ScriptServer server;
  server.ReadBytes(data.size());
  Client c(server.Port());
  c.sock.Connect();
  std::vector<int64_t> progress;
  c.sock.OnPacketSent = [&](TComponent*) { progress.push_back(c.sock.BytesSent); };
  TStringStream stream(data);
  stream.Seek(500, soFromBeginning);  // SendStream starts from 0 whatever the position
  c.sock.SendStream(stream);
  EXPECT_EQ(c.sock.BytesTotal, 100000);
  EXPECT_EQ(c.sock.BytesSent, 100000);
  ASSERT_GE(progress.size(), 2u);  // at least one send per chunk of 65,536
  int32_t last = 0;
  for (int32_t p : progress) {
    EXPECT_GT(p, last);
    EXPECT_LE(p - last, 65536);
    last = p;
  }
  EXPECT_EQ(last, 100000);
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Received(), data);
}

TEST(LxSockSendStream, EmptyStreamSendsNothing) {
  ScriptServer server;
  Client c(server.Port());
  c.sock.Connect();
  c.sock.BytesSent = c.sock.BytesTotal = 7;
  int packets = 0;
  c.sock.OnPacketSent = [&](TComponent*) { ++packets; };
  TStringStream empty;
  c.sock.SendStream(empty);
  EXPECT_EQ(packets, 0);
  EXPECT_EQ(c.sock.BytesSent, 0);
  EXPECT_EQ(c.sock.BytesTotal, 0);
}

TEST(LxSockSendStream, AbortWhileThePeerDoesNotRead) {
  ScriptServer server;
  server.Pause(3000).Hold();  // reads nothing for a while: the socket fills up
  Client c(server.Port());
  c.sock.Connect();
  ExpectSendStreamAbortable(c.sock);
}

// A peer that stops reading: the send ends after the limit without progress, with
// the time-out set and, without one, after the send stall limit. Both the stream and
// the plain buffer send (written again and again until the socket is full).
TEST(LxSockSendStall, APeerThatStopsReadingEndsTheSend) {
  struct Case {
    const char* name;
    int32_t timeOut, stallLimit;
    bool stream;
  } cases[] = {
      {"stream, time-out", 300, 600000, true},
      {"stream, no time-out, stall limit", 0, 300, true},
      {"buffer, time-out", 300, 600000, false},
      {"buffer, no time-out, stall limit", 0, 300, false},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptServer server;
    server.SetReceiveBuffer(4096);
    server.Pause(20000);  // reads nothing; the end of the test stops it
    Client c(server.Port());
    c.sock.Connect();
    c.sock.TimeOut = tc.timeOut;
    c.sock.SendStallLimit = tc.stallLimit;
    ExpectThrowMessage<EAbortError>(
        [&] {
          if (tc.stream) {
            std::string big(64 << 20, 'x');
            TStringStream stream(big);
            c.sock.SendStream(stream);
          } else {
            // Bounded: 64 MiB would outlast every socket buffer.
            for (int i = 0; i < 1024; ++i) c.sock.Write(std::string(65535, 'x'));
          }
        },
        "Socket send aborted");
    EXPECT_TRUE(c.sock.TimedOut);
    EXPECT_FALSE(c.sock.CancelRequested);
    c.sock.Disconnect();
  }
}

// A slow peer that keeps taking bytes is no stall: every chunk it takes starts the
// limit again, so a transfer longer than the limit completes.
TEST(LxSockSendStall, ProgressStartsTheLimitAgain) {
  ScriptServer server;
  server.SetReceiveBuffer(4096);
  const size_t size = 4 << 20;
  // Reads 64 KiB every 40 ms (after a first pause): about 2.5 s for the stream.
  server.Pause(300);
  for (size_t got = 0; got < size; got += 65536) server.ReadBytes(std::min<size_t>(65536, size - got)).Pause(40);
  Client c(server.Port());
  c.sock.Connect();
  c.sock.TimeOut = 1000;
  std::string data(size, 'y');
  TStringStream stream(data);
  c.sock.SendStream(stream);
  EXPECT_EQ(c.sock.BytesSent, static_cast<int32_t>(size));
  ASSERT_TRUE(server.WaitDone(20000));
  EXPECT_EQ(server.Error(), "");
}

// ---- status and errors -----------------------------------------------------------

// One dialogue at each report level: which texts reach OnStatus.
TEST(LxSockStatus, LevelsFilterTheTexts) {
  struct Case {
    int level;
    std::vector<std::string> must;
    std::vector<std::string> mustNot;
  };
  const Case cases[] = {
      {8, {"Connecting", "Resolve Host", "Timer On", "Timer Off", "Transaction", "Writeln", "Write", "ReadLn",
           "Sending Buffer", "250 OK\r\n", "Disconnecting", "Request Close Socket", "Checking Connection"}, {}},
      {4, {"Sending Buffer", "Request Close Socket", "250 OK\r\n"}, {"Connecting", "ReadLn", "Timer On"}},
      {1, {"250 OK\r\n"}, {"Sending Buffer", "Request Close Socket", "Connecting"}},
      {0, {}, {"250 OK\r\n", "Sending Buffer", "Connecting"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.level);
    ScriptServer server;
    server.Reply("250 OK\r\n");
    Client c(server.Port());
    c.sock.ReportLevel = tc.level;
    std::vector<std::string> seen;
    c.sock.OnStatus = [&](TComponent* sender, const std::string& s) {
      EXPECT_EQ(sender, &c.sock);
      seen.push_back(s);
    };
    c.sock.Connect();
    c.sock.CheckConnection();
    c.sock.Transaction("NOOP");
    c.sock.Disconnect();
    for (const auto& s : tc.must) EXPECT_NE(std::find(seen.begin(), seen.end(), s), seen.end()) << s;
    for (const auto& s : tc.mustNot) EXPECT_EQ(std::find(seen.begin(), seen.end(), s), seen.end()) << s;
    if (tc.level == 0) {
      EXPECT_TRUE(seen.empty());
    } else {
      EXPECT_EQ(c.sock.LastStatus, seen.back());
    }
  }
}

TEST(LxSockStatus, ThrowingStatusHandlerIsSwallowed) {
  ScriptServer server;
  Client c(server.Port());
  c.sock.ReportLevel = 8;
  c.sock.OnStatus = [](TComponent*, const std::string&) { throw Exception("handler"); };
  c.sock.Connect();
  EXPECT_TRUE(c.sock.IsConnected);
}

TEST(LxSockErrors, MessagesFromTheTable) {
  struct Case {
    uint16_t number;
    const char* message;
  };
  const Case cases[] = {
      {10061, "10061:Connection refused"},
      {10004, "10004:Interrupted system call"},
      {10047, "10047:Address family not supported by protocol family"},
      {10093, "10093:Successful WSAStartup not yet performed"},
      {11001, "11001:Host not found"},
      {11003, "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
      {11004, "11004:Valid name, no data record of requested type"},
      {10100, "Unknown Error No. 10100"},
      {10001, "Unknown Error No. 10001"},
      {0, ""},
  };
  TLxSocket s;
  for (const auto& tc : cases) EXPECT_EQ(s.LookupErrorMessage(tc.number), tc.message) << tc.number;
}

TEST(LxSockErrors, CheckSocketErrorRaisesOnlyAbove10000AndNotTheTolerated) {
  struct Case {
    int error;
    bool raises;
  };
  const Case cases[] = {{0, false}, {10035, false}, {10000, false}, {9999, false},
                        {10061, true}, {10001, true}, {11001, true}};
  TLxSocket s;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.error);
    int told = -1;
    s.OnSocketError = [&](TComponent*, uint16_t no, const std::string& msg) {
      told = no;
      EXPECT_EQ(msg, s.LookupErrorMessage(no));
    };
    WSASetLastError(tc.error);
    if (tc.raises) {
      ExpectThrowMessage<ESockError>([&] { s.CheckSocketError(10035); }, s.LookupErrorMessage(tc.error));
      EXPECT_EQ(told, tc.error);
    } else {
      EXPECT_EQ(s.CheckSocketError(10035), "");
      EXPECT_EQ(told, -1);
    }
    EXPECT_EQ(s.LastErrorNo, tc.error);
  }
}

// ---- timer -----------------------------------------------------------------------

TEST(ThreadTimer, TicksOnlyWhileEnabledWithIntervalAndHandler) {
  TThreadTimer t;
  EXPECT_TRUE(t.Enabled());
  EXPECT_EQ(t.Interval(), 1000u);
  int ticks = 0;
  t.SetInterval(20);
  t.SetOnTimer([&](TComponent* sender) {
    EXPECT_EQ(sender, &t);
    ++ticks;
  });
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }));
  t.SetInterval(0);  // stops without touching Enabled
  EXPECT_TRUE(t.Enabled());
  int frozen = ticks;
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(ticks, frozen);
}

TEST(ThreadTimer, ExceptionInTickGoesToTheHandler) {
  std::string seen;
  TThreadTimer::SetExceptionHandler([&](const std::exception& e) { seen = e.what(); });
  {
    TThreadTimer t;
    t.SetInterval(10);
    t.SetOnTimer([&](TComponent*) {
      t.SetEnabled(false);
      throw Exception("tick failed");
    });
    EXPECT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  }
  TThreadTimer::SetExceptionHandler(nullptr);
  EXPECT_EQ(seen, "tick failed");
}

}  // namespace

TEST(MaskCredentials, HidesWhatFollowsTheMechanismAndSecretLines) {
  struct Case {
    std::string command;
    bool secret;
    std::string shown;
  } cases[] = {
      {"HELO host", false, "HELO host"},
      {"MAIL FROM:<a@b>", false, "MAIL FROM:<a@b>"},
      {"AUTH PLAIN AHVzZXIAcGFzcw==", false, "AUTH PLAIN ****"},
      {"auth login dXNlcg==", false, "auth login ****"},
      {"AUTH XOAUTH2 dXNlcj11AWF1dGg9QmVhcmVyIHQBAQ==", false, "AUTH XOAUTH2 ****"},
      {"AUTH LOGIN", false, "AUTH LOGIN"},  // the mechanism alone holds no credential
      {"AUTHOR x y", false, "AUTHOR x y"},
      {"cGFzc3dvcmQ=", true, "****"},        // a credential on a line of its own
      {"", true, "****"},
  };
  for (const Case& c : cases) EXPECT_EQ(MaskCredentials(c.command, c.secret), c.shown) << c.command;
}
