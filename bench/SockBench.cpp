// Benchmarks of the socket component: SendStream throughput to a loopback sink against a
// plain blocking send loop of the same bytes, and the CPU an idle ReadLn wait costs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "sock/LxSock.h"

namespace {

using Clock = std::chrono::steady_clock;

// A loopback listener whose thread accepts connections one after another and reads
// everything (discarding it) or, when silent, reads nothing and waits for the close.
class Sink {
 public:
  explicit Sink(bool silent) : silent_(silent) {
    fd_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~Sink() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t Port() const { return port_; }
  uint64_t Received() const { return received_; }

 private:
  void Run() {
    static char buf[1 << 18];
    while (!stop_) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      ssize_t n;
      if (silent_) {
        n = ::recv(c, buf, sizeof buf, 0);  // blocks until the client closes
      } else {
        while ((n = ::recv(c, buf, sizeof buf, 0)) > 0) received_ += static_cast<uint64_t>(n);
      }
      ::close(c);
    }
  }
  bool silent_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> received_{0};
  std::thread thread_;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Sends the same 100 MB with SendStream and with a plain blocking send loop (64 KiB
// chunks, TCP_NODELAY like the component); reports both rates and their ratio.
void BM_SendStreamVsBlockingSend(benchmark::State& state) {
  constexpr size_t kBytes = 100u << 20;
  std::string data(kBytes, 'm');
  TMemoryStream stream;
  stream.WriteString(data);
  Sink sink(false);
  double plainTime = 0, streamTime = 0;
  bool streamFirst = false;
  auto plain = [&] {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(sink.Port());
    ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto t0 = Clock::now();
    for (size_t off = 0; off < kBytes;) {
      ssize_t n = ::send(s, data.data() + off, std::min<size_t>(65536, kBytes - off), MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    plainTime += Seconds(Clock::now() - t0);
    ::close(s);
  };
  auto viaStream = [&] {
    TLxSocket sock;
    sock.Host = "127.0.0.1";
    sock.Port = sink.Port();
    sock.Connect();
    auto t0 = Clock::now();
    sock.SendStream(stream);
    streamTime += Seconds(Clock::now() - t0);
    if (sock.BytesSent != static_cast<int32_t>(kBytes)) state.SkipWithError("short SendStream");
    sock.Disconnect();
  };
  for (auto _ : state) {
    // Alternate the order so that neither side always runs on a warmed-up sink.
    if (streamFirst) {
      viaStream();
      plain();
    } else {
      plain();
      viaStream();
    }
    streamFirst = !streamFirst;
  }
  double mb = static_cast<double>(kBytes) / (1 << 20) * static_cast<double>(state.iterations());
  state.counters["plain_MiBps"] = mb / plainTime;
  state.counters["sendstream_MiBps"] = mb / streamTime;
  state.counters["ratio"] = plainTime / streamTime;
}
BENCHMARK(BM_SendStreamVsBlockingSend)->Iterations(6)->Unit(benchmark::kMillisecond);

// A ReadLn that waits 10 s for a line that never comes (ended by its time-out):
// CPU time used as a share of the wall time.
void BM_IdleReadLnCpu(benchmark::State& state) {
  Sink sink(true);
  for (auto _ : state) {
    TLxSocket sock;
    sock.Host = "127.0.0.1";
    sock.Port = sink.Port();
    sock.Connect();
    sock.TimeOut = 10000;
    double cpu0 = CpuSeconds();
    auto t0 = Clock::now();
    try {
      sock.ReadLn();
    } catch (const EAbortError&) {
    }
    double wall = Seconds(Clock::now() - t0);
    double cpu = CpuSeconds() - cpu0;
    state.counters["wall_s"] = wall;
    state.counters["cpu_ms"] = cpu * 1000;
    state.counters["cpu_percent_of_wall"] = 100 * cpu / wall;
    sock.Disconnect();
  }
}
BENCHMARK(BM_IdleReadLnCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
