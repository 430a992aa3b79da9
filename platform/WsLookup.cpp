#include "platform/WsLookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WinSockInternal.h"

namespace {

constexpr uint32_t kRelayMsg = WM_USER + 300;

struct LookupTask {
  HWND window = 0;
  uint32_t msg = 0;
  std::vector<WsAddress>* result = nullptr;
  std::string name;
  // Written by the worker before it posts, read on the user-interface thread after.
  int error = 0;
  std::vector<WsAddress> addresses;
};

std::mutex g_taskMutex;  // guards g_tasks against the workers' look at "still wanted"
std::map<uintptr_t, std::shared_ptr<LookupTask>> g_tasks;
uintptr_t g_nextTask = 1;
HWND g_relayWindow = 0;

// Receives the workers' results on the user-interface thread, hands the addresses
// to the caller's result and passes the notice on, unless the lookup was cancelled
// meanwhile.
class TLookupRelay : public TMessageHandler {
 public:
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    if (msg != kRelayMsg) return;
    std::shared_ptr<LookupTask> task;
    {
      std::lock_guard<std::mutex> lock(g_taskMutex);
      auto it = g_tasks.find(wParam);
      if (it == g_tasks.end()) return;  // cancelled
      task = it->second;
      g_tasks.erase(it);
    }
    const int error = task->error;
    if (error == 0 && task->result) *task->result = std::move(task->addresses);
    TMessagePump::Instance().PostMessage(task->window, task->msg, wParam, static_cast<intptr_t>((error & 0xFFFF) << 16));
  }
};
TLookupRelay g_relay;

void RunLookup(uintptr_t handle, std::shared_ptr<LookupTask> task) {
  // Both families, whether or not this machine has a route for them now: the connect
  // moves on from an address it cannot reach.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(task->name.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    task->error = WsErrorFromResolver(rc, errno);
  } else {
    for (addrinfo* p = res; p; p = p->ai_next) {
      const WsAddress a = FromSockaddr(p->ai_addr);
      if (a.family == 0) continue;
      if (std::find(task->addresses.begin(), task->addresses.end(), a) == task->addresses.end())
        task->addresses.push_back(a);
    }
    ::freeaddrinfo(res);
    if (task->addresses.empty()) task->error = WSANO_DATA;
  }
  std::lock_guard<std::mutex> lock(g_taskMutex);
  if (g_tasks.count(handle)) TMessagePump::Instance().PostMessage(g_relayWindow, kRelayMsg, handle, 0);
}

}  // namespace

void StartLookupRelay() { g_relayWindow = TMessagePump::Instance().CreateWindow(&g_relay); }

void EndLookupRelay() {
  {
    std::lock_guard<std::mutex> lock(g_taskMutex);
    g_tasks.clear();
  }
  TMessagePump::Instance().DestroyWindow(g_relayWindow);
  g_relayWindow = 0;
}

uintptr_t WsAsyncGetAddresses(HWND window, uint32_t msg, const char* name, std::vector<WsAddress>* result) {
  if (!LibraryStarted()) {
    WSASetLastError(10093);
    return 0;
  }
  auto task = std::make_shared<LookupTask>();
  task->window = window;
  task->msg = msg;
  task->result = result;
  task->name = name ? name : "";
  uintptr_t handle;
  {
    std::lock_guard<std::mutex> lock(g_taskMutex);
    handle = g_nextTask++;
    g_tasks[handle] = task;
  }
  try {
    std::thread(RunLookup, handle, task).detach();
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> lock(g_taskMutex);
    g_tasks.erase(handle);
    WSASetLastError(10055);
    return 0;
  }
  return handle;
}

int WSACancelAsyncRequest(uintptr_t task) {
  std::shared_ptr<LookupTask> t;
  {
    std::lock_guard<std::mutex> lock(g_taskMutex);
    auto it = g_tasks.find(task);
    if (it == g_tasks.end()) return Fail(10022);
    t = it->second;
    g_tasks.erase(it);
  }
  TMessagePump::Instance().RemoveMessages(t->window, t->msg, task);
  return 0;
}

std::string WsLocalHostName(SOCKET s) {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0]) {
    std::string host = name;
    if (host.find('.') != std::string::npos) return host;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0) {
      std::string canonical = res && res->ai_canonname ? res->ai_canonname : "";
      ::freeaddrinfo(res);
      if (canonical.find('.') != std::string::npos) return canonical;
    }
  }
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  WsAddress a = WsAddress::FromIpv4(htonl(INADDR_LOOPBACK));
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
    const WsAddress found = FromSockaddr(reinterpret_cast<sockaddr*>(&local));
    if (found.family != 0) a = found;
  }
  return WsAddressLiteral(a);
}
