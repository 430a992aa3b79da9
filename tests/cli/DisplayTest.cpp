// The window's platform: Wayland where its compositor answers and its plugin is
// installed, else X11 where its server answers, else none (the run goes headless
// with one line saying why). Displays that answer are listening sockets of the test.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "cli/Display.h"
#include <filesystem>
#include <vector>

namespace {

// A listening Unix socket, in the abstract namespace or at a path.
class Listener {
 public:
  Listener(const std::string& name, bool abstract) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    std::memcpy(addr.sun_path + offset, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size());
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd_, 4) == 0;
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

// A fresh folder, removed with what is in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvex-display-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class Environment {
 public:
  explicit Environment(std::initializer_list<const char*> names) {
    for (const char* n : names) {
      const char* v = std::getenv(n);
      saved_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  ~Environment() {
    for (const auto& [name, value] : saved_) Set(name, value ? value->c_str() : nullptr);
  }
  static void Set(const std::string& name, const char* value) {
    if (value)
      ::setenv(name.c_str(), value, 1);
    else
      ::unsetenv(name.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(DisplayTest, ChoosesAPlatformWhoseDisplayAnswersAndWhosePluginIsInstalled) {
  Environment restore({"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DISPLAY", "QT_QPA_PLATFORM"});
  TempDir dir;
  Listener wayland(dir.Path() + "/wayland-t", false);
  ASSERT_TRUE(wayland.ok());
  // An X display number nobody uses, its server an abstract socket.
  int number = 0;
  std::optional<Listener> x;
  for (int n = 7000 + ::getpid() % 2000; !x && n < 9990; ++n) {
    x.emplace("/tmp/.X11-unix/X" + std::to_string(n), true);
    if (x->ok()) number = n;
    else x.reset();
  }
  ASSERT_TRUE(x);
  const std::string answering = ":" + std::to_string(number);
  const std::string silent = ":" + std::to_string(number) + "9";  // no server there
  const struct {
    const char* name;
    bool waylandSet, waylandAnswers, waylandPlugin;
    const std::string* display;
    bool xPlugin;
    const char* qpa;
    const char* expected;  // empty: none, with a reason
  } cases[] = {
      {"Wayland with its plugin", true, true, true, nullptr, true, nullptr, "wayland"},
      {"Wayland and X11, both plugins", true, true, true, &answering, true, nullptr, "wayland"},
      {"Wayland without its plugin, X11 there", true, true, false, &answering, true, nullptr, "xcb"},
      {"Wayland only, without its plugin", true, true, false, nullptr, true, nullptr, ""},
      {"Wayland named but silent, X11 there", true, false, true, &answering, true, nullptr, "xcb"},
      {"X11 only", false, false, true, &answering, true, nullptr, "xcb"},
      {"X11 named but silent", false, false, true, &silent, true, nullptr, ""},
      {"X11 without its plugin", false, false, true, &answering, false, nullptr, ""},
      {"the user's choice, installed", true, true, true, &answering, true, "offscreen:size=800x600", "offscreen:size=800x600"},
      {"the user's list, installed", true, true, true, &answering, true, "wayland;xcb", "wayland;xcb"},
      {"the user's choice, not installed", true, true, false, &answering, true, "wayland", "xcb"},
  };
  for (const auto& c : cases) {
    Environment::Set("XDG_RUNTIME_DIR", dir.Path().c_str());
    Environment::Set("WAYLAND_DISPLAY", c.waylandSet ? (c.waylandAnswers ? "wayland-t" : "wayland-none") : nullptr);
    Environment::Set("DISPLAY", c.display ? c.display->c_str() : nullptr);
    Environment::Set("QT_QPA_PLATFORM", c.qpa);
    const std::set<std::string> installed = [&] {
      std::set<std::string> s = {"offscreen"};
      if (c.waylandPlugin) s.insert("wayland");
      if (c.xPlugin) s.insert("xcb");
      return s;
    }();
    std::string why;
    const std::string chosen =
        ChooseWindowPlatform([&](const std::string& name) { return installed.count(name) > 0; }, why);
    EXPECT_EQ(chosen, c.expected) << c.name;
    if (chosen.empty()) {
      EXPECT_NE(why.find("running headless"), std::string::npos) << c.name << ": " << why;
      EXPECT_EQ(why.find('\n'), std::string::npos) << c.name;
    }
  }
}

TEST(DisplayTest, WaylandOnlyWithoutItsPluginNamesThePackage) {
  Environment restore({"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DISPLAY", "QT_QPA_PLATFORM"});
  TempDir dir;
  Listener wayland(dir.Path() + "/wayland-t", false);
  ASSERT_TRUE(wayland.ok());
  Environment::Set("XDG_RUNTIME_DIR", dir.Path().c_str());
  Environment::Set("WAYLAND_DISPLAY", "wayland-t");
  Environment::Set("DISPLAY", nullptr);
  Environment::Set("QT_QPA_PLATFORM", nullptr);
  std::string why;
  EXPECT_EQ(ChooseWindowPlatform([](const std::string& name) { return name == "xcb"; }, why), "");
  EXPECT_NE(why.find("qt6-wayland"), std::string::npos) << why;
}

}  // namespace
