// Throughput of one send with a large attachment through TLS, as a ratio to the
// plain connection in the same run, against a minimal sink of our own (a loopback
// thread answering the dialogue at once and discarding the data, with TLS from the
// first byte or without it):
//   TlsBench [MEGABYTES [ROUNDS]]   default 50 MB, 3 rounds; the best round counts
// Timed from OnSendStart (message built) to OnSuccess (end of data accepted).
// Printed, not asserted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "smtp/Lxsmtp.h"

namespace {

using Clock = std::chrono::steady_clock;

// One connection at a time: greets, answers each command line (354 to DATA, 221 to
// QUIT, 250 to the rest) and discards the data up to CR LF "." CR LF.
class Sink {
 public:
  explicit Sink(bool tls) : tls_(tls) {
    if (tls_) {
      ctx_ = SSL_CTX_new(TLS_server_method());
      EVP_PKEY* key = EVP_EC_gen("P-256");
      X509* cert = X509_new();
      X509_set_version(cert, 2);
      X509_gmtime_adj(X509_getm_notBefore(cert), -60);
      X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
      X509_set_pubkey(cert, key);
      X509_NAME* name = X509_get_subject_name(cert);
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
      X509_set_issuer_name(cert, name);
      X509_sign(cert, key, EVP_sha256());
      // The sink reads ahead in large pieces, as the plain sink does, so that its own
      // receive calls are not what the TLS figure measures.
      SSL_CTX_set_read_ahead(ctx_, 1);
      SSL_CTX_set_default_read_buffer_len(ctx_, 256 * 1024);
      SSL_CTX_use_certificate(ctx_, cert);
      SSL_CTX_use_PrivateKey(ctx_, key);
      X509_free(cert);
      EVP_PKEY_free(key);
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Sink() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
    if (ctx_) SSL_CTX_free(ctx_);
  }
  uint16_t Port() const { return port_; }

 private:
  void Run() {
    for (;;) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      SSL* ssl = nullptr;
      if (tls_) {
        ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, c);
        if (SSL_accept(ssl) != 1) {
          SSL_free(ssl);
          ::close(c);
          continue;
        }
      }
      Serve(c, ssl);
      if (ssl) SSL_free(ssl);
      ::close(c);
    }
  }
  void Serve(int c, SSL* ssl) {
    auto say = [&](const char* text) {
      int n = static_cast<int>(std::strlen(text));
      if (ssl) SSL_write(ssl, text, n);
      else ::send(c, text, static_cast<size_t>(n), MSG_NOSIGNAL);
    };
    std::string buf;
    std::string chunk(256 * 1024, '\0');
    auto more = [&] {
      int n = ssl ? SSL_read(ssl, chunk.data(), static_cast<int>(chunk.size()))
                  : static_cast<int>(::recv(c, chunk.data(), chunk.size(), 0));
      if (n <= 0) return false;
      buf.append(chunk.data(), static_cast<size_t>(n));
      return true;
    };
    say("220 sink\r\n");
    bool data = false;
    for (;;) {
      if (data) {
        size_t end = buf.find("\r\n.\r\n");
        if (end == std::string::npos) {
          // Keep only what could begin the terminator.
          if (buf.size() > 4) buf.erase(0, buf.size() - 4);
          if (!more()) return;
          continue;
        }
        buf.erase(0, end + 5);
        data = false;
        say("250 accepted\r\n");
        continue;
      }
      size_t lf = buf.find('\n');
      if (lf == std::string::npos) {
        if (!more()) return;
        continue;
      }
      std::string line = buf.substr(0, lf);
      buf.erase(0, lf + 1);
      if (line.rfind("DATA", 0) == 0) {
        data = true;
        buf.insert(0, "\r\n");  // the terminator may follow an empty body at once
        say("354 go\r\n");
      } else if (line.rfind("QUIT", 0) == 0) {
        say("221 bye\r\n");
        return;
      } else {
        say("250 ok\r\n");
      }
    }
  }
  bool tls_;
  SSL_CTX* ctx_ = nullptr;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// Seconds from the start of the dialogue to the accepted end of data of one send.
double SendOnce(bool tls, const std::string& attachment) {
  Sink sink(tls);
  TLxSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = sink.Port();
  smtp.UserID = "bench";
  smtp.Security = tls ? ssTls : ssNone;
  smtp.EhloName = "bench.example";
  smtp.VerifyCert = false;  // the sink's certificate is made up on the spot
  smtp.PostMessage.FromAddress = "a@example.jp";
  smtp.PostMessage.ToAddress.Add("b@example.jp");
  smtp.PostMessage.Subject = "bench";
  smtp.PostMessage.Attachments.Add(attachment);
  Clock::time_point start, end;
  smtp.OnSendStart = [&](TComponent*) { start = Clock::now(); };
  smtp.OnSuccess = [&](TComponent*) { end = Clock::now(); };
  smtp.Connect();
  smtp.SendMail();
  smtp.Disconnect();
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int megabytes = argc > 1 ? std::atoi(argv[1]) : 50;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  char path[] = "/tmp/tarvex-tlsbench-XXXXXX";
  int fd = ::mkstemp(path);
  std::mt19937_64 random(7);
  std::string block(1 << 20, '\0');
  for (int i = 0; i < megabytes; ++i) {
    for (size_t j = 0; j < block.size(); j += 8) {
      uint64_t v = random();
      std::memcpy(block.data() + j, &v, 8);
    }
    if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 1;
  }
  ::close(fd);
  // The wire carries the base64 body: 4/3 of the file plus line ends.
  const double wireMB = megabytes * 4.0 / 3.0 * 78.0 / 76.0;
  double plain = 1e9, tls = 1e9;
  for (int r = 0; r < rounds; ++r) {
    plain = std::min(plain, SendOnce(false, path));
    tls = std::min(tls, SendOnce(true, path));
  }
  ::unlink(path);
  std::printf("attachment %d MB (about %.0f MB on the wire), best of %d rounds\n", megabytes, wireMB, rounds);
  std::printf("plain: %.3f s  %.0f MB/s\n", plain, wireMB / plain);
  std::printf("tls:   %.3f s  %.0f MB/s\n", tls, wireMB / tls);
  std::printf("ratio tls/plain throughput: %.2f\n", plain / tls);
  return 0;
}
