// Tests of TLS under the socket component against a scripted TLS peer on loopback:
// lines held decrypted inside the session, lines split over records, abort and
// time-out of a TLS read and of the handshake, certificate checks, the stream
// counted in plain bytes, and the session's end.
#include "sock/LxTls.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <csignal>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sock/LxSock.h"
#include "support/SockTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// A self-signed certificate with its key, made in memory.
struct Cert {
  EVP_PKEY* key = nullptr;
  X509* x509 = nullptr;
  std::string pemFile;  // the certificate as a PEM file (a trust anchor for CAFile)

  explicit Cert(const char* names) {
    key = EVP_EC_gen("P-256");
    x509 = X509_new();
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), -60);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
    X509_set_pubkey(x509, key);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("tarvex test"), -1,
                               -1, 0);
    X509_set_issuer_name(x509, name);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, names);
    X509_add_ext(x509, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(x509, key, EVP_sha256());
    char path[] = "/tmp/tarvex-tls-test-XXXXXX";
    int fd = ::mkstemp(path);
    FILE* f = ::fdopen(fd, "w");
    PEM_write_X509(f, x509);
    std::fclose(f);
    pemFile = path;
  }
  ~Cert() {
    ::unlink(pemFile.c_str());
    X509_free(x509);
    EVP_PKEY_free(key);
  }
};

// A TLS server for one connection: accepts, runs the handshake (unless told not to)
// and then the script on its own thread with blocking I/O.
class TlsPeer {
 public:
  using Script = std::function<void(TlsPeer&)>;
  TlsPeer(const Cert& cert, Script script, bool handshake = true) : script_(std::move(script)) {
    // The peer writes through the library's own socket calls, which raise SIGPIPE
    // when the client has already gone; the test process must live on.
    std::signal(SIGPIPE, SIG_IGN);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx_, cert.x509);
    SSL_CTX_use_PrivateKey(ctx_, cert.key);
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listen_, 1);
    socklen_t len = sizeof sa;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this, handshake] {
      conn_ = ::accept(listen_, nullptr, nullptr);
      if (conn_ < 0) return;
      if (handshake) {
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, conn_);
        handshook_ = SSL_accept(ssl_) == 1;
        if (!handshook_) return;
      }
      script_(*this);
    });
  }
  ~TlsPeer() {
    if (conn_ >= 0) ::shutdown(conn_, SHUT_RDWR);  // ends a blocking read of the script
    ::shutdown(listen_, SHUT_RDWR);
    Join();
    if (ssl_) SSL_free(ssl_);
    if (conn_ >= 0) ::close(conn_);
    ::close(listen_);
    SSL_CTX_free(ctx_);
  }
  uint16_t Port() const { return port_; }
  // Waits until the script has run to its end.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool Handshook() const { return handshook_; }

  // ---- for scripts ----
  void Send(const std::string& bytes) { SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())); }
  static void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  // Reads until a line feed; false when the client went away.
  bool ReadLine() {
    char c;
    while (SSL_read(ssl_, &c, 1) == 1) {
      received += c;
      if (c == '\n') return true;
    }
    return false;
  }
  void ReadBytes(size_t count) {
    std::vector<char> buf(65536);
    while (received.size() < count) {
      int n = SSL_read(ssl_, buf.data(), static_cast<int>(buf.size()));
      if (n <= 0) return;
      received.append(buf.data(), static_cast<size_t>(n));
    }
  }
  // Waits until the client closes (a peer that never answers).
  void Hold() {
    char c;
    if (ssl_) {
      while (SSL_read(ssl_, &c, 1) == 1) {
      }
    } else {
      while (::recv(conn_, &c, 1, 0) == 1) {
      }
    }
  }
  void CloseNotify() { SSL_shutdown(ssl_); }
  void CloseSocket() { ::shutdown(conn_, SHUT_RDWR); }
  std::string received;  // read by the script; look at it after the peer's thread is done

 private:
  Script script_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int listen_ = -1;
  std::atomic<int> conn_{-1};
  uint16_t port_ = 0;
  std::atomic<bool> handshook_{false};
  std::thread thread_;
};

const Cert& LocalCert() {
  static Cert cert("DNS:localhost,IP:127.0.0.1");
  return cert;
}

// A component connected to peer with TLS started (trusting the test certificate).
struct TlsClient {
  TLxSocket sock;
  explicit TlsClient(const TlsPeer& peer, bool start = true) {
    sock.Host = "127.0.0.1";
    sock.Port = peer.Port();
    sock.CAFile = LocalCert().pemFile;
    // A fault that would wait for ever ends the test with an abort instead.
    sock.TimeOut = 5000;
    sock.Connect();
    if (start) sock.StartTls();
  }
};

// ---- reading ----------------------------------------------------------------------

TEST(LxTlsRead, LinesHeldInsideTheSessionAreReadWithoutNewData) {
  // Three lines in one record, then silence: the socket never becomes readable
  // again, so the second and third lines must come from what was decrypted.
  TlsPeer peer(LocalCert(), [](TlsPeer& p) {
    p.Send("220 first\r\n250-second\r\n250 third\n");
    p.Hold();
  });
  TlsClient c(peer);
  EXPECT_TRUE(c.sock.TlsActive());
  EXPECT_EQ(c.sock.ReadLn(), "220 first\r\n");
  EXPECT_TRUE(c.sock.DataAvailable());
  EXPECT_EQ(c.sock.ReadLn(), "250-second\r\n");
  EXPECT_EQ(c.sock.ReadLn(), "250 third\n");
  EXPECT_FALSE(c.sock.TimedOut);
}

TEST(LxTlsRead, LinesSplitOverRecordsAndPauses) {
  const std::string longLine = std::string(40000, 'x') + "\r\n";  // spans three records
  TlsPeer peer(LocalCert(), [&](TlsPeer& p) {
    for (const char* piece : {"22", "0 re", "ady\r", "\n"}) {
      p.Send(piece);
      TlsPeer::Sleep(30);
    }
    p.Send(longLine);
    p.Hold();
  });
  TlsClient c(peer);
  EXPECT_EQ(c.sock.ReadLn(), "220 ready\r\n");
  EXPECT_EQ(c.sock.ReadLn(), longLine);
}

TEST(LxTlsRead, AbortFromATimerEndsTheWaitAndTheSessionGoesOn) {
  TlsPeer peer(LocalCert(), [](TlsPeer& p) {
    if (p.ReadLine()) p.Send("250 after\r\n");
    p.Hold();
  });
  TlsClient c(peer);
  c.sock.TimeOut = 0;
  {
    Later abort(100, [&] { c.sock.Abort(); });
    ExpectThrowMessage<EAbortError>([&] { c.sock.ReadLn(); }, "Socket readln aborted");
  }
  EXPECT_FALSE(c.sock.CancelRequested);
  EXPECT_FALSE(c.sock.TimedOut);
  EXPECT_EQ(c.sock.Transaction("NOOP"), "250 after\r\n");
  EXPECT_EQ(c.sock.ReplyNumber, 250);
}

TEST(LxTlsRead, TimeOutEndsTheWait) {
  TlsPeer peer(LocalCert(), [](TlsPeer& p) { p.Hold(); });
  TlsClient c(peer);
  c.sock.TimeOut = 200;
  auto start = Clock::now();
  ExpectThrowMessage<EAbortError>([&] { c.sock.ReadLn(); }, "Socket readln aborted");
  EXPECT_TRUE(c.sock.TimedOut);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
}

TEST(LxTlsRead, TheServerEndingTheSessionGivesAnEmptyLine) {
  // close_notify after the last line, then the connection's end with or without it.
  for (bool notify : {true, false}) {
    TlsPeer peer(LocalCert(), [notify](TlsPeer& p) {
      p.Send("221 bye\r\n");
      if (notify) p.CloseNotify();
      p.CloseSocket();
    });
    TlsClient c(peer);
    EXPECT_EQ(c.sock.ReadLn(), "221 bye\r\n") << notify;
    EXPECT_EQ(c.sock.ReadLn(), "") << notify;
    EXPECT_FALSE(c.sock.TimedOut) << notify;
  }
}

// ---- handshake ----------------------------------------------------------------------

TEST(LxTlsHandshake, ASilentPeerEndsByTimeOutOrAbort) {
  for (bool byTimeOut : {true, false}) {
    TlsPeer peer(LocalCert(), [](TlsPeer& p) { p.Hold(); }, /*handshake=*/false);
    TlsClient c(peer, /*start=*/false);
    c.sock.TimeOut = byTimeOut ? 200 : 0;
    std::unique_ptr<Later> abort;
    if (!byTimeOut) abort = std::make_unique<Later>(100, [&] { c.sock.Abort(); });
    ExpectThrowMessage<EAbortError>([&] { c.sock.StartTls(); }, "TLS handshake aborted");
    EXPECT_EQ(c.sock.TimedOut, byTimeOut);
    EXPECT_FALSE(c.sock.TlsActive());
    EXPECT_FALSE(c.sock.CancelRequested);
  }
}

TEST(LxTlsHandshake, PeerClosingInsteadOfAnsweringIsALostConnection) {
  TlsPeer peer(LocalCert(), [](TlsPeer& p) { p.CloseSocket(); }, /*handshake=*/false);
  TlsClient c(peer, /*start=*/false);
  try {
    c.sock.StartTls();
    ADD_FAILURE() << "no exception";
  } catch (const ETlsError& e) {
    EXPECT_EQ(e.Kind, TTlsFailure::Lost) << e.Message();
    EXPECT_EQ(e.Message().rfind("TLS handshake failed: ", 0), 0u) << e.Message();
  }
  EXPECT_FALSE(c.sock.TlsActive());
}

TEST(LxTlsHandshake, CertificateChecks) {
  static Cert other("DNS:other.example");
  struct Case {
    const Cert* cert;
    const char* host;
    bool verify;
    bool trustIt;  // CAFile names the certificate
    bool ok;
    TTlsFailure kind;
    const char* message;
  } cases[] = {
      {&LocalCert(), "127.0.0.1", true, true, true, {}, ""},
      {&LocalCert(), "localhost", true, true, true, {}, ""},
      {&LocalCert(), "127.0.0.1", true, false, false, TTlsFailure::Untrusted,
       "Server certificate not trusted: self-signed certificate"},
      {&LocalCert(), "127.0.0.1", false, false, true, {}, ""},
      {&other, "127.0.0.1", true, true, false, TTlsFailure::WrongHost,
       "Server certificate is for another host, not 127.0.0.1"},
      {&other, "localhost", true, true, false, TTlsFailure::WrongHost,
       "Server certificate is for another host, not localhost"},
      {&other, "localhost", false, false, true, {}, ""},
  };
  for (const Case& k : cases) {
    const std::string name = std::string(k.host) + (k.cert == &other ? " other" : " local") +
                             (k.verify ? " verify" : "") + (k.trustIt ? " trusted" : "");
    TlsPeer peer(*k.cert, [](TlsPeer& p) {
      p.Send("220 in\r\n");
      p.Hold();
    });
    TLxSocket sock;
    sock.Host = k.host;
    sock.Port = peer.Port();
    sock.TimeOut = 5000;
    sock.VerifyCert = k.verify;
    sock.CAFile = k.trustIt ? k.cert->pemFile : "";
    sock.Connect();
    try {
      sock.StartTls();
      EXPECT_TRUE(k.ok) << name;
      EXPECT_EQ(sock.ReadLn(), "220 in\r\n") << name;
    } catch (const ETlsError& e) {
      EXPECT_FALSE(k.ok) << name << ": " << e.Message();
      EXPECT_EQ(e.Kind, k.kind) << name;
      EXPECT_EQ(e.Message(), k.message) << name;
    }
  }
}

TEST(LxTlsHandshake, UnreadableCAFileIsASetupError) {
  TlsPeer peer(LocalCert(), [](TlsPeer& p) { p.Hold(); });
  TLxSocket sock;
  sock.Host = "127.0.0.1";
  sock.Port = peer.Port();
  sock.CAFile = "/nonexistent/ca.pem";
  sock.Connect();
  try {
    sock.StartTls();
    ADD_FAILURE() << "no exception";
  } catch (const ETlsError& e) {
    EXPECT_EQ(e.Kind, TTlsFailure::Setup);
    EXPECT_NE(e.Message().find("/nonexistent/ca.pem"), std::string::npos) << e.Message();
  }
}

// ---- sending ------------------------------------------------------------------------

TEST(LxTlsSendStream, ProgressCountsPlainBytes) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 23);
  TlsPeer peer(LocalCert(), [&](TlsPeer& p) { p.ReadBytes(data.size() + 6); });
  {
    TlsClient c(peer);
    std::vector<int32_t> progress;
    c.sock.OnPacketSent = [&](TComponent*) { progress.push_back(c.sock.BytesSent); };
    TStringStream stream(data);
    c.sock.SendStream(stream);
    c.sock.Writeln("DONE");
    EXPECT_EQ(c.sock.BytesTotal, 100000);
    EXPECT_EQ(c.sock.BytesSent, 100000);
    ASSERT_GE(progress.size(), 2u);
    int32_t last = 0;
    for (int32_t p : progress) {
      EXPECT_GT(p, last);
      EXPECT_LE(p - last, 65536);
      last = p;
    }
  }
  peer.Join();
  EXPECT_EQ(peer.received, data + "DONE\r\n");
}

TEST(LxTlsSendStream, AbortWhileThePeerDoesNotRead) {
  TlsPeer peer(LocalCert(), [](TlsPeer& p) {
    TlsPeer::Sleep(3000);
    p.Hold();
  });
  TlsClient c(peer);
  c.sock.TimeOut = 0;
  ExpectSendStreamAbortable(c.sock);
}

}  // namespace
