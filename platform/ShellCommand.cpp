#include "platform/ShellCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/FileUtil.h"
#include "platform/StopRequest.h"
#include "platform/SysUtils.h"

extern char** environ;

namespace {

constexpr size_t kMaxOutput = 64 * 1024;

// Closes the descriptors it holds when it goes.
struct Pipe {
  int fd[2] = {-1, -1};
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void CloseEnd(int end) {
    if (fd[end] >= 0) ::close(fd[end]);
    fd[end] = -1;
  }
};

}  // namespace

TShellResult RunShellCommand(const std::string& command, int limitMs) {
  Pipe out, err;
  if (::pipe2(out.fd, O_CLOEXEC) != 0 || ::pipe2(err.fd, O_CLOEXEC) != 0)
    throw Exception(std::string("Cannot run the command: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  // A group of its own, so that a command past its limit goes with its children.
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::string osCommand = ToOsPath(command);
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(osCommand.c_str()), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw Exception(std::string("Cannot run the command: ") + std::strerror(rc));
  out.CloseEnd(1);
  err.CloseEnd(1);

  TShellResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  // The end of the command itself is waited for in the same poll: one that closes
  // its output and runs on must not hold the run past the limit or a stop.
  Pipe ended;  // fd[0]: the command's pidfd until it ended
  ended.fd[0] = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  // Both pipes are read together, so that a command filling one never waits on the other.
  while (out.fd[0] >= 0 || err.fd[0] >= 0 || ended.fd[0] >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || StopSignalled()) {
      // The command and whatever it started go at once; a child of its own group
      // that kept the pipes open would otherwise outlive the run.
      (left <= 0 ? result.TimedOut : result.Interrupted) = true;
      ::kill(-pid, SIGKILL);
      break;
    }
    pollfd fds[4] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {StopSignalFd(), POLLIN, 0},
                     {ended.fd[0], POLLIN, 0}};
    if (::poll(fds, 4, static_cast<int>(left)) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // The command has ended; what it printed is still read to the pipes' ends.
    if (fds[3].revents) ended.CloseEnd(0);
    Pipe* pipes[2] = {&out, &err};
    std::string* texts[2] = {&result.Out, &result.Err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        // Beyond the limit the bytes are read and dropped: the command never blocks on a full pipe.
        texts[i]->append(buffer, std::min(static_cast<size_t>(n), kMaxOutput - std::min(kMaxOutput, texts[i]->size())));
      } else if (n == 0 || errno != EINTR) {
        pipes[i]->CloseEnd(0);
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return result;
}

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}
