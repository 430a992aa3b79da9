// Fuzz target: what a server says. A loopback peer on this process's own thread
// sends the input's bytes (after its first byte) on each new connection, closes its
// sending side and swallows what the client writes. First byte even: a bare
// socket reads lines with ReadLn until the peer closed, and the lines must be the
// input cut after each LF (a last piece without LF is dropped). Odd: the SMTP
// component connects (greeting, HELO) and sends a message to two recipients, so
// every reply, multi-line ones included, is read whole; any outcome but a crash counts.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "smtp/Lxsmtp.h"

namespace {

class Peer {
 public:
  Peer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 8) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      fuzz::Fail("loopback peer cannot listen");
    port_ = ntohs(a.sin_port);
    std::thread([this] { Loop(); }).detach();  // lives as long as the process
  }
  uint16_t Port() const { return port_; }
  void SetPayload(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    payload_ = std::move(bytes);
  }

 private:
  void Loop() {
    for (;;) {
      int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string bytes;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes = payload_;
      }
      size_t sent = 0;
      while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::shutdown(fd, SHUT_WR);
      char sink[4096];
      while (::recv(fd, sink, sizeof sink, 0) > 0) {
      }
      ::close(fd);
    }
  }
  int listen_ = -1;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::string payload_;
};

void ReadLines(uint16_t port, const std::string& bytes) {
  TLxSocket sock;
  sock.Host = "127.0.0.1";
  sock.Port = port;
  sock.TimeOut = 10000;
  sock.Connect();
  std::string joined;
  bool tooLong = false;
  try {
    for (;;) {
      std::string line = sock.ReadLn();
      if (line.empty()) break;
      if (line.back() != '\n' || line.find('\n') != line.size() - 1) fuzz::Fail("ReadLn line not ended by its only LF");
      joined += line;
    }
  } catch (const ERangeError&) {
    tooLong = true;
  }
  size_t lastLf = bytes.rfind('\n');
  const std::string expected = lastLf == std::string::npos ? std::string() : bytes.substr(0, lastLf + 1);
  if (tooLong) {
    // Only a line beyond the 64 KiB limit may end the reading this way.
    size_t start = joined.size(), lf = bytes.find('\n', start);
    size_t lineLength = (lf == std::string::npos ? bytes.size() : lf + 1) - start;
    if (lineLength <= 65536) fuzz::Fail("ReadLn range error on a line of " + std::to_string(lineLength));
    if (expected.compare(0, joined.size(), joined) != 0) fuzz::Fail("ReadLn lines differ before a long line");
  } else if (joined != expected) {
    fuzz::Fail("ReadLn lines do not join to the input");
  }
  sock.Disconnect();
}

void Dialogue(uint16_t port) {
  TLxSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = port;
  smtp.TimeOut = 10000;
  smtp.UserID = "fuzz.example";
  TPostMessage& m = smtp.PostMessage;
  m.FromAddress = "sender@example.org";
  m.ToAddress = {"One <one@example.com>", "two@example.com"};
  m.Subject = "Hello";
  m.Body = {"line one", ".dot"};
  try {
    smtp.Connect();
    smtp.SendMail();
    smtp.Disconnect();
  } catch (const std::exception&) {
    // Refusals, garbage and closed connections end the send with an error: fine.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Peer peer;
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  peer.SetPayload(bytes);
  if (data[0] % 2 == 0)
    ReadLines(peer.Port(), bytes);
  else
    Dialogue(peer.Port());
  return 0;
}
