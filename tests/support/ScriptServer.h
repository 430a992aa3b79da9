// A scripted TCP peer on a loopback address (127.0.0.1 unless told) for socket and SMTP tests. Steps run in order on the
// server's own thread (blocking sockets): the first step that needs a connection accepts
// one. Every byte the client sent is recorded; every line read is kept as a command.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptServer {
 public:
  // Listens on address (numeric IPv4 or IPv6) and port (0: an ephemeral one); the
  // thread starts at once and waits for steps.
  explicit ScriptServer(const std::string& address = "127.0.0.1", uint16_t port = 0);
  // Stops whatever step runs, closes every socket and joins the thread.
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  uint16_t Port() const { return port_; }
  // Shrinks the receive buffer of connections accepted later (call before the first
  // step), so that a peer that stops reading stops the client's sending soon.
  void SetReceiveBuffer(int bytes);

  // ---- steps (queued; each returns *this to chain) ----
  // Sends bytes.
  ScriptServer& Send(std::string bytes);
  // Sends each piece, pausing delayMs before every piece after the first.
  ScriptServer& SendPieces(std::vector<std::string> pieces, int delayMs);
  ScriptServer& Pause(int ms);
  // Sends line count times, pausing delayMs before every send after the first; stops
  // quietly when the client has gone (an endless or slow reply the client gives up on).
  ScriptServer& Flood(std::string line, int count, int delayMs);
  // Reads one line (up to and including LF) and records it as a command.
  ScriptServer& ReadLine();
  // Reads one command line, then sends reply: one turn of a dialogue.
  ScriptServer& Reply(std::string reply);
  // Reads until the bytes of this connection end with terminator (e.g. "\r\n.\r\n").
  ScriptServer& ReadUntil(std::string terminator);
  // Reads exactly count bytes.
  ScriptServer& ReadBytes(size_t count);
  // Reads (and records) until the client closes: a peer that never answers.
  ScriptServer& Hold();
  // Closes the connection gracefully (FIN); accepts one first if none is open.
  ScriptServer& Close();
  // Resets the connection (SO_LINGER 0, then close: RST); accepts one first if none is open.
  ScriptServer& Reset();
  // Closes the current connection (if any) and accepts the next one.
  ScriptServer& Accept();
  // Runs fn on the server thread (for checks or odd moves between steps).
  ScriptServer& Do(std::function<void()> fn);

  // ---- results (thread-safe) ----
  // Waits until every queued step has run (or failed). False on timeout.
  bool WaitDone(int timeoutMs = 10000);
  // Every byte received, over all connections.
  std::string Received() const;
  // The lines read by ReadLine/Reply, without their CR LF.
  std::vector<std::string> Commands() const;
  // The first failure of the script (a step that timed out, the client closed early...).
  std::string Error() const;
  int Connections() const;

  // A loopback port on which nothing listens (connects are refused).
  static uint16_t ClosedPort();

 private:
  struct Step {
    std::function<void()> run;
  };
  ScriptServer& Add(std::function<void()> run);
  void Loop();
  void Fail(const std::string& what);
  bool EnsureConnection();
  bool WaitReadable(int fd, int timeoutMs);
  // Reads more bytes into pending_; false at EOF, error or stop.
  bool ReadMore();
  // False (and a failure recorded unless quiet) when the client has gone.
  bool SendAll(const std::string& bytes, bool quiet = false);
  void CloseConnection(bool reset);

  int listenFd_ = -1;
  int stopFd_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  std::string pending_;  // received on this connection, not yet consumed by a step
  std::string connData_;  // everything received on this connection

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Step> steps_;
  bool busy_ = false;
  bool stop_ = false;
  std::string received_;
  std::vector<std::string> commands_;
  std::string error_;
  int connections_ = 0;
  std::thread thread_;
};

// A listener whose accept queue is full: a further connect gets no answer at all, so a
// client waits until its own time-out. On a loopback address and port (0: ephemeral).
class StuckListener {
 public:
  explicit StuckListener(const std::string& address = "127.0.0.1", uint16_t port = 0);
  ~StuckListener();
  uint16_t Port() const { return port_; }
  // False when the queue could not be filled (the connect would not hang).
  bool Stuck() const { return stuck_; }

 private:
  int listenFd_ = -1;
  std::vector<int> fillers_;
  uint16_t port_ = 0;
  bool stuck_ = false;
};
