// Figures for the SMTP component against a minimal sink of our own (a loopback
// thread that answers the dialogue at once and discards the data):
//   SmtpBench --messages N      small messages per second over one connection,
//                               TLxSMTP against Python smtplib on the same sink
//   SmtpBench --attachment PATH wall time and peak memory of one send with PATH
//                               attached through PostMessage.Attachments
// Printed, not asserted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/AsciiCase.h"
#include "smtp/Lxsmtp.h"

namespace {

using Clock = std::chrono::steady_clock;

// Accepts connections one after another; greets, answers every command line at once
// (354 to DATA, 221 to QUIT) and discards the data up to CR LF "." CR LF.
class SmtpSink {
 public:
  SmtpSink() {
    fd_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~SmtpSink() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t Port() const { return port_; }
  uint64_t Messages() const { return messages_; }
  uint64_t DataBytes() const { return dataBytes_; }

 private:
  static void Say(int c, const char* text) { ::send(c, text, std::strlen(text), MSG_NOSIGNAL); }

  void Run() {
    for (;;) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Serve(c);
      ::close(c);
    }
  }

  void Serve(int c) {
    Say(c, "220 sink ready\r\n");
    std::vector<char> buf(1 << 20);
    std::string line;
    bool data = false;
    uint32_t tail = 0;  // the last four bytes of the data, for the terminator
    for (;;) {
      ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
      if (n <= 0) return;
      for (ssize_t i = 0; i < n; ++i) {
        const char ch = buf[static_cast<size_t>(i)];
        if (data) {
          ++dataBytes_;
          // "\r\n.\r" seen before this "\n": the end of the data.
          if (ch == '\n' && tail == 0x0D0A2E0Du) {
            data = false;
            ++messages_;
            Say(c, "250 accepted\r\n");
          }
          tail = tail << 8 | static_cast<uint8_t>(ch);
          continue;
        }
        if (ch != '\n') {
          line += ch;
          continue;
        }
        const std::string cmd = AsciiUpperCase(line.substr(0, 4));  // verbs in either case
        line.clear();
        if (cmd == "DATA") {
          data = true;
          tail = 0x00000D0Au;  // the data starts on a fresh line
          Say(c, "354 go ahead\r\n");
        } else if (cmd == "QUIT") {
          Say(c, "221 bye\r\n");
          return;
        } else {
          Say(c, "250 ok\r\n");
        }
      }
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<uint64_t> messages_{0}, dataBytes_{0};
  std::thread thread_;
};

void SmallMessage(TLxSMTP& smtp) {
  TPostMessage& m = smtp.PostMessage;
  m.FromName = "Sender ";
  m.FromAddress = "sender@example.org";
  m.ToAddress = {"rcpt@example.com"};
  m.Subject = "Benchmark";
  m.LocalProgram = "Tarvex-Bench";
  m.Body = {"A small message of three lines.", "Second line.", "Third line."};
}

// Seconds for n sends of the same message over one connection.
double TarvexSeconds(uint16_t port, int n, std::string* wire) {
  TLxSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = port;
  smtp.UserID = "bench.example";
  smtp.ClearParams = false;
  SmallMessage(smtp);
  smtp.Connect();
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) smtp.SendMail();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  *wire = smtp.FinalHeader.Text() + "\r\n\r\n" + smtp.BodyStream.DataString();
  smtp.Disconnect();
  return seconds;
}

// The floor: a plain blocking socket speaking the same dialogue (RSET, MAIL, RCPT,
// DATA, the same data bytes, ".") with one recv per reply and nothing else.
double RawSeconds(uint16_t port, int n, const std::string& wire) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char buf[512];
  auto turn = [&](const std::string& out) {
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    return ::recv(fd, buf, sizeof buf, 0) > 0;
  };
  ::recv(fd, buf, sizeof buf, 0);
  turn("HELO bench.example\r\n");
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    turn("RSET\r\n");
    turn("MAIL FROM:<sender@example.org>\r\n");
    turn("RCPT TO:<rcpt@example.com>\r\n");
    turn("DATA\r\n");
    turn(wire + ".\r\n");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  turn("QUIT\r\n");
  ::close(fd);
  return seconds;
}

// Python smtplib on one connection, sending the very bytes TLxSMTP sent; timed in
// Python around the loop (interpreter start not counted).
double PythonSeconds(uint16_t port, int n, const std::string& wire) {
  char path[] = "/tmp/smtpbench-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return -1;
  if (::write(fd, wire.data(), wire.size()) != static_cast<ssize_t>(wire.size())) return -1;
  ::close(fd);
  const std::string script =
      "import smtplib,sys,time\n"
      "port,n,path=int(sys.argv[1]),int(sys.argv[2]),sys.argv[3]\n"
      "msg=open(path,'rb').read()\n"
      "s=smtplib.SMTP('127.0.0.1',port)\n"
      "s.helo('bench.example')\n"
      "t=time.perf_counter()\n"
      "for i in range(n): s.sendmail('sender@example.org',['rcpt@example.com'],msg)\n"
      "print(time.perf_counter()-t)\n"
      "s.quit()\n";
  const std::string cmd = "/usr/bin/python3 -c \"" + script + "\" " + std::to_string(port) + " " +
                          std::to_string(n) + " " + path;
  FILE* p = ::popen(cmd.c_str(), "r");
  double seconds = -1;
  if (p) {
    if (std::fscanf(p, "%lf", &seconds) != 1) seconds = -1;
    ::pclose(p);
  }
  ::unlink(path);
  return seconds;
}

int Messages(int n) {
  SmtpSink sink;
  std::vector<double> ours, theirs, raw;
  for (int round = 0; round < 3; ++round) {
    std::string wire;
    ours.push_back(TarvexSeconds(sink.Port(), n, &wire));
    theirs.push_back(PythonSeconds(sink.Port(), n, wire));
    raw.push_back(RawSeconds(sink.Port(), n, wire));
    if (theirs.back() <= 0) {
      std::fprintf(stderr, "python smtplib run failed\n");
      return 1;
    }
    std::printf(
        "round %d: TLxSMTP %.0f msg/s, smtplib %.0f msg/s, ratio %.2f; plain blocking socket, same dialogue "
        "%.0f msg/s (%zu bytes of data a message)\n",
        round + 1, n / ours.back(), n / theirs.back(), theirs.back() / ours.back(), n / raw.back(), wire.size());
  }
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  std::sort(raw.begin(), raw.end());
  std::printf(
      "median of 3, %d messages each: TLxSMTP %.0f msg/s, smtplib %.0f msg/s, ratio %.2f; "
      "plain blocking socket floor %.0f msg/s\n",
      n, n / ours[1], n / theirs[1], theirs[1] / ours[1], n / raw[1]);
  std::printf("sink counted %llu messages\n", static_cast<unsigned long long>(sink.Messages()));
  return 0;
}

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int Attachment(const std::string& path) {
  SmtpSink sink;
  TLxSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = sink.Port();
  smtp.UserID = "bench.example";
  SmallMessage(smtp);
  smtp.PostMessage.Attachments = {path};
  smtp.Connect();
  const long before = PeakKiB();
  const auto start = Clock::now();
  smtp.SendMail();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long after = PeakKiB();
  const auto body = smtp.BodyStream.Size();
  smtp.Disconnect();
  std::printf("one send, attachment %s: %.3f s wall, %lld bytes of body, peak RSS %ld KiB before, %ld KiB after\n",
              path.c_str(), seconds, static_cast<long long>(body), before, after);
  std::printf("sink counted %llu messages, %llu data bytes\n", static_cast<unsigned long long>(sink.Messages()),
              static_cast<unsigned long long>(sink.DataBytes()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--messages") return Messages(argc > 2 ? std::atoi(argv[2]) : 2000);
  if (mode == "--attachment" && argc > 2) return Attachment(argv[2]);
  std::fprintf(stderr, "usage: SmtpBench --messages N | --attachment PATH\n");
  return 64;
}
