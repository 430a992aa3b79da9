#include "cli/Display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

bool DisplayAvailable() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

bool DisplayReachable() {
  auto answers = [](const std::string& path, bool abstract) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) {
      ::close(fd);
      return false;
    }
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
  };
  if (const char* w = std::getenv("WAYLAND_DISPLAY"); w && *w) {
    std::string path = w;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (path[0] != '/' && runtime) path = std::string(runtime) + "/" + path;
    if (answers(path, false)) return true;
  }
  const char* x = std::getenv("DISPLAY");
  if (!x || !*x) return false;
  std::string d = x;
  if (d.rfind("unix:", 0) == 0) d = d.substr(4);
  if (d.empty() || d[0] != ':') return true;  // a remote display: the toolkit decides
  std::string number = d.substr(1, d.find('.') == std::string::npos ? std::string::npos : d.find('.') - 1);
  std::string path = "/tmp/.X11-unix/X" + number;
  return answers(path, false) || answers(path, true);
}
