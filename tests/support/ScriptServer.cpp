#include "support/ScriptServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace {
constexpr int kStepLimitMs = 20000;  // no step waits longer: a broken test fails, never hangs

// The socket address of a numeric IPv4 or IPv6 address text and a port; its length
// (0 when the text is not an address).
socklen_t SocketAddress(const std::string& address, uint16_t port, sockaddr_storage* ss) {
  *ss = sockaddr_storage{};
  auto* in = reinterpret_cast<sockaddr_in*>(ss);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(ss);
  if (::inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    return sizeof *in;
  }
  if (::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    return sizeof *in6;
  }
  return 0;
}

// A listening socket on address:port (port 0: an ephemeral one, stored in *port).
int Listen(const std::string& address, int backlog, uint16_t* port) {
  sockaddr_storage sa;
  socklen_t len = SocketAddress(address, *port, &sa);
  if (len == 0) return -1;
  int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *port = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
  return fd;
}
}  // namespace

ScriptServer::ScriptServer(const std::string& address, uint16_t port) : port_(port) {
  listenFd_ = Listen(address, 8, &port_);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Loop(); });
}

ScriptServer::~ScriptServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  uint64_t one = 1;
  (void)!::write(stopFd_, &one, sizeof one);
  thread_.join();
  if (conn_ >= 0) ::close(conn_);
  if (listenFd_ >= 0) ::close(listenFd_);
  ::close(stopFd_);
}

uint16_t ScriptServer::ClosedPort() {
  uint16_t port = 0;
  int fd = Listen("127.0.0.1", 1, &port);
  if (fd >= 0) ::close(fd);
  return port;
}

ScriptServer& ScriptServer::Add(std::function<void()> run) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(Step{std::move(run)});
  }
  cv_.notify_all();
  return *this;
}

void ScriptServer::Loop() {
  for (;;) {
    Step step;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return stop_ || !steps_.empty(); });
      if (stop_) return;
      step = std::move(steps_.front());
      steps_.pop_front();
      busy_ = true;
    }
    bool failed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed = !error_.empty();
    }
    if (!failed) step.run();  // after a failure the rest of the script is skipped
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    cv_.notify_all();
  }
}

void ScriptServer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (error_.empty()) error_ = what;
}

bool ScriptServer::WaitReadable(int fd, int timeoutMs) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  int rc;
  while ((rc = ::poll(p, 2, timeoutMs)) < 0 && errno == EINTR) {
  }
  return rc > 0 && p[1].revents == 0 && p[0].revents != 0;
}

bool ScriptServer::EnsureConnection() {
  if (conn_ >= 0) return true;
  if (!WaitReadable(listenFd_, kStepLimitMs)) {
    Fail("no client connected");
    return false;
  }
  conn_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn_ < 0) {
    Fail("accept failed");
    return false;
  }
  pending_.clear();
  connData_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  ++connections_;
  return true;
}

bool ScriptServer::ReadMore() {
  if (!WaitReadable(conn_, kStepLimitMs)) return false;
  char buf[65536];
  ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
  if (n <= 0) return false;
  pending_.append(buf, static_cast<size_t>(n));
  connData_.append(buf, static_cast<size_t>(n));
  std::lock_guard<std::mutex> lock(mutex_);
  received_.append(buf, static_cast<size_t>(n));
  return true;
}

bool ScriptServer::SendAll(const std::string& bytes, bool quiet) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(conn_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) {
      if (!quiet) Fail("send failed");
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

void ScriptServer::SetReceiveBuffer(int bytes) {
  ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void ScriptServer::CloseConnection(bool reset) {
  if (conn_ < 0) return;
  if (reset) {
    linger l{1, 0};
    ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else {
    // Unread bytes at close would turn the FIN into a reset: take them first.
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(conn_, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(conn_);
  conn_ = -1;
}

ScriptServer& ScriptServer::Send(std::string bytes) {
  return Add([this, bytes = std::move(bytes)] {
    if (EnsureConnection()) SendAll(bytes);
  });
}

ScriptServer& ScriptServer::SendPieces(std::vector<std::string> pieces, int delayMs) {
  return Add([this, pieces = std::move(pieces), delayMs] {
    if (!EnsureConnection()) return;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) {
        pollfd p{stopFd_, POLLIN, 0};
        if (::poll(&p, 1, delayMs) > 0) return;
      }
      SendAll(pieces[i]);
    }
  });
}

ScriptServer& ScriptServer::Flood(std::string line, int count, int delayMs) {
  return Add([this, line = std::move(line), count, delayMs] {
    if (!EnsureConnection()) return;
    for (int i = 0; i < count; ++i) {
      if (i > 0 && delayMs > 0) {
        pollfd p{stopFd_, POLLIN, 0};
        if (::poll(&p, 1, delayMs) > 0) return;
      }
      if (!SendAll(line, true)) return;
    }
  });
}

ScriptServer& ScriptServer::Pause(int ms) {
  return Add([this, ms] {
    pollfd p{stopFd_, POLLIN, 0};
    ::poll(&p, 1, ms);
  });
}

ScriptServer& ScriptServer::ReadLine() {
  return Add([this] {
    if (!EnsureConnection()) return;
    size_t lf;
    while ((lf = pending_.find('\n')) == std::string::npos) {
      if (!ReadMore()) {
        Fail("client sent no complete line");
        return;
      }
    }
    std::string line = pending_.substr(0, lf);
    pending_.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(line);
  });
}

ScriptServer& ScriptServer::Reply(std::string reply) {
  ReadLine();
  return Add([this, reply = std::move(reply)] {
    if (conn_ >= 0) SendAll(reply);
  });
}

ScriptServer& ScriptServer::ReadUntil(std::string terminator) {
  return Add([this, terminator = std::move(terminator)] {
    if (!EnsureConnection()) return;
    size_t at;
    while ((at = pending_.find(terminator)) == std::string::npos) {
      if (!ReadMore()) {
        Fail("client never sent the terminator");
        return;
      }
    }
    pending_.erase(0, at + terminator.size());
  });
}

ScriptServer& ScriptServer::ReadBytes(size_t count) {
  return Add([this, count] {
    if (!EnsureConnection()) return;
    while (pending_.size() < count) {
      if (!ReadMore()) {
        Fail("client sent fewer bytes than expected");
        return;
      }
    }
    pending_.erase(0, count);
  });
}

ScriptServer& ScriptServer::Hold() {
  return Add([this] {
    if (!EnsureConnection()) return;
    while (ReadMore()) {
    }
    pending_.clear();
  });
}

ScriptServer& ScriptServer::Close() {
  return Add([this] {
    if (EnsureConnection()) CloseConnection(false);
  });
}

ScriptServer& ScriptServer::Reset() {
  return Add([this] {
    if (EnsureConnection()) CloseConnection(true);
  });
}

ScriptServer& ScriptServer::Accept() {
  return Add([this] {
    CloseConnection(false);
    EnsureConnection();
  });
}

ScriptServer& ScriptServer::Do(std::function<void()> fn) { return Add(std::move(fn)); }

bool ScriptServer::WaitDone(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return steps_.empty() && !busy_; });
}

std::string ScriptServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> ScriptServer::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::string ScriptServer::Error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

int ScriptServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

// ---- StuckListener ---------------------------------------------------------------

StuckListener::StuckListener(const std::string& address, uint16_t port) : port_(port) {
  listenFd_ = Listen(address, 0, &port_);
  if (listenFd_ < 0) return;
  sockaddr_storage ss;
  const socklen_t len = SocketAddress(address, port_, &ss);
  // Connect until one attempt is left unanswered: the accept queue is then full.
  for (int i = 0; i < 16 && !stuck_; ++i) {
    int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&ss), len);
    if (rc != 0 && errno != EINPROGRESS) {
      ::close(fd);
      break;
    }
    pollfd p{fd, POLLOUT, 0};
    if (rc == 0 || ::poll(&p, 1, 300) > 0) {
      fillers_.push_back(fd);
    } else {
      ::close(fd);
      stuck_ = true;
    }
  }
}

StuckListener::~StuckListener() {
  for (int fd : fillers_) ::close(fd);
  if (listenFd_ >= 0) ::close(listenFd_);
}
