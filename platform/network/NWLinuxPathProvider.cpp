#include "internal/NWLinuxPathProvider.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/foundation/NSThread.h"
#include "platform/foundation/OSLog.h"

namespace {

constexpr int kEtherLinkType = 1;       // ARPHRD_ETHER
constexpr int kLoopbackLinkType = 772;  // ARPHRD_LOOPBACK

std::string ueventDevType(const std::filesystem::path& folder) {
  std::ifstream in(folder / "uevent");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("DEVTYPE=", 0) == 0) return line.substr(8);
  }
  return {};
}

int linkType(const std::filesystem::path& folder) {
  std::ifstream in(folder / "type");
  int type = -1;
  in >> type;
  return in ? type : -1;
}

bool isUsableAddress(const sockaddr* address) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET) return true;
  if (address->sa_family != AF_INET6) return false;
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
  return !IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr);
}

// Names of the interfaces that count, by interface index.
std::map<uint32_t, std::string> countingInterfaces() {
  std::map<uint32_t, std::string> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    NSLog(std::string("NWPathMonitor: getifaddrs failed: ") + std::strerror(errno));
    return found;
  }
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    unsigned flags = a->ifa_flags;
    if ((flags & IFF_LOOPBACK) || !(flags & IFF_UP) || !(flags & IFF_RUNNING)) continue;
    if (!isUsableAddress(a->ifa_addr)) continue;
    uint32_t index = ::if_nametoindex(a->ifa_name);
    if (index != 0) found[index] = a->ifa_name;
  }
  ::freeifaddrs(list);
  return found;
}

// The reader's state, shared between the watch and its thread so that either
// may end last.
struct NetlinkReader {
  int socket = -1;
  int wake = -1;
  std::atomic<bool> stopped{false};
  std::function<void()> changed;

  ~NetlinkReader() {
    if (socket >= 0) ::close(socket);
    if (wake >= 0) ::close(wake);
  }

  // False when the socket failed for good.
  bool drain() {
    bool any = false;
    char buffer[8192];
    for (;;) {
      ssize_t n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        any = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // The kernel dropped messages for a full queue: the state changed anyway.
      if (n < 0 && errno == ENOBUFS) {
        any = true;
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      NSLog(std::string("NWPathMonitor: netlink read failed: ") + std::strerror(errno));
      return false;
    }
    if (any && !stopped.load() && changed) changed();
    return true;
  }

  void run() {
    pollfd fds[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
    while (!stopped.load()) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0 || stopped.load()) return;
      if (fds[0].revents != 0 && !drain()) return;
    }
  }
};

class NetlinkWatch : public NWPathWatch {
 public:
  explicit NetlinkWatch(std::shared_ptr<NetlinkReader> reader) : reader_(std::move(reader)) {
    thread_.start([r = reader_] { r->run(); }, "path-monitor");
  }
  ~NetlinkWatch() override {
    reader_->stopped.store(true);
    uint64_t one = 1;
    ssize_t written = ::write(reader_->wake, &one, sizeof one);
    (void)written;
    // Destroyed from its own reader's callback, the join lets the thread
    // run on: the loop sees `stopped` when the callback returns, and the
    // shared state outlives it.
    thread_.join();
  }

 private:
  std::shared_ptr<NetlinkReader> reader_;
  NSJoinableThread thread_;
};

std::shared_ptr<NetlinkReader> openNetlink() {
  auto reader = std::make_shared<NetlinkReader>();
  reader->socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (reader->socket < 0) return nullptr;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (::bind(reader->socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return nullptr;
  }
  reader->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (reader->wake < 0) return nullptr;
  return reader;
}

}  // namespace

NWLinuxPathProvider::NWLinuxPathProvider(std::string sysClassNet)
    : sysClassNet_(std::move(sysClassNet)) {}

NWInterfaceType NWLinuxPathProvider::interfaceType(const std::string& interfaceFolder) {
  std::filesystem::path folder(interfaceFolder);
  std::error_code ec;
  std::string devType = ueventDevType(folder);
  if (std::filesystem::exists(folder / "wireless", ec) ||
      std::filesystem::exists(folder / "phy80211", ec) || devType == "wlan") {
    return NWInterfaceType::wifi;
  }
  if (devType == "wwan") return NWInterfaceType::cellular;
  int type = linkType(folder);
  if (type == kEtherLinkType) return NWInterfaceType::wiredEthernet;
  if (type == kLoopbackLinkType) return NWInterfaceType::loopback;
  return NWInterfaceType::other;
}

NWPath NWLinuxPathProvider::currentPath() {
  std::vector<NWInterface> interfaces;
  for (const auto& [index, name] : countingInterfaces()) {
    NWInterfaceType type = interfaceType(sysClassNet_ + "/" + name);
    if (type == NWInterfaceType::loopback) continue;
    interfaces.push_back(NWInterface{name, type, index});
  }
  NWPathStatus status = interfaces.empty() ? NWPathStatus::unsatisfied : NWPathStatus::satisfied;
  return NWPath(status, std::move(interfaces));
}

std::unique_ptr<NWPathWatch> NWLinuxPathProvider::watch(std::function<void()> changed) {
  auto reader = openNetlink();
  if (!reader) {
    // Without the socket the path is still read on demand; it just goes stale.
    NSLog(std::string("NWPathMonitor: cannot watch network changes: ") + std::strerror(errno));
    return std::make_unique<NWPathWatch>();
  }
  reader->changed = std::move(changed);
  return std::make_unique<NetlinkWatch>(std::move(reader));
}
