#include "cli/Display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

bool DisplayAvailable() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

namespace {

// Whether a local socket has a listener (abstract: in the abstract namespace). The
// connect never waits: a listener whose queue is full (a server that hangs) counts
// as there, and the toolkit meets it as it would.
bool Answers(const std::string& path, bool abstract) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 || errno == EAGAIN;
  ::close(fd);
  return ok;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

bool WaylandReachable() {
  std::string path = Env("WAYLAND_DISPLAY");
  if (path.empty()) return false;
  const std::string runtime = Env("XDG_RUNTIME_DIR");
  if (path[0] != '/') {
    if (runtime.empty()) return false;
    path = runtime + "/" + path;
  }
  return Answers(path, false);
}

bool X11Reachable() {
  std::string d = Env("DISPLAY");
  if (d.empty()) return false;
  if (d.rfind("unix:", 0) == 0) d = d.substr(4);
  if (d.empty() || d[0] != ':') return true;  // a remote display: the toolkit decides
  std::string number = d.substr(1, d.find('.') == std::string::npos ? std::string::npos : d.find('.') - 1);
  std::string path = "/tmp/.X11-unix/X" + number;
  return Answers(path, false) || Answers(path, true);
}

std::string ChooseWindowPlatform(const std::function<bool(const std::string&)>& hasPlugin, std::string& why) {
  // The user's own choice, a list like "wayland;xcb" whose entries may carry
  // options after ":", holds when every plugin it names is there; the toolkit would
  // end the program on a missing one, so such a choice is passed over.
  if (const std::string chosen = Env("QT_QPA_PLATFORM"); !chosen.empty()) {
    bool allThere = true;
    for (size_t start = 0; start <= chosen.size();) {
      size_t end = chosen.find(';', start);
      if (end == std::string::npos) end = chosen.size();
      const std::string entry = chosen.substr(start, end - start);
      const std::string name = entry.substr(0, entry.find(':'));
      if (!name.empty() && !hasPlugin(name)) allThere = false;
      start = end + 1;
    }
    if (allThere) return chosen;
  }
  const bool wayland = WaylandReachable();
  const bool x11 = X11Reachable();
  // In order of preference: the first platform whose display answers and whose
  // plugin is installed.
  const struct {
    bool answers;
    const char* name;
  } platforms[] = {{wayland, "wayland"}, {x11, "xcb"}};
  for (const auto& p : platforms)
    if (p.answers && hasPlugin(p.name)) return p.name;
  if (wayland && !x11)
    why = "the Wayland display needs the toolkit's Wayland plugin (Debian package qt6-wayland); running headless";
  else if (x11)
    why = "the toolkit's X11 plugin is not installed; running headless";
  else
    why = "the display cannot be reached; running headless";
  return {};
}
