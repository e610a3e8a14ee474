#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/network/internal/NWLinuxPathProvider.h"
#include "platform/network/NWPathMonitor.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace nw_path_monitor_test {

namespace {

NWPath wifiPath() { return NWPath(NWPathStatus::satisfied, {{"wlan0", NWInterfaceType::wifi, 3}}); }

NWPath wiredPath() {
  return NWPath(NWPathStatus::satisfied, {{"eth0", NWInterfaceType::wiredEthernet, 2}});
}

// Records what the handler saw and on which queue it ran.
struct Updates {
  std::mutex mutex;
  std::vector<NWPath> paths;
  std::vector<bool> onQueue;

  NWPathMonitor::UpdateHandler handler(const dispatch_queue_t& queue) {
    return [this, queue](const NWPath& path) {
      std::lock_guard<std::mutex> lock(mutex);
      paths.push_back(path);
      onQueue.push_back(dispatch_current_queue() == queue);
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return paths.size();
  }
};

// Everything queued on `queue` so far has run once this returns.
void drain(const dispatch_queue_t& queue) {
  dispatch_sync(queue, [] {});
}

using NWLinuxPathProviderTest = PlatformTest;

TEST_F(NWLinuxPathProviderTest, KindsFromSysfs) {
  TempFolder net;
  auto make = [&](const std::string& name, const std::string& type, const std::string& uevent) {
    net.writeFile(name + "/type", type + "\n");
    net.writeFile(name + "/uevent", "INTERFACE=" + name + "\n" + uevent);
    return net.path() + "/" + name;
  };
  std::string wlan = make("wlan0", "1", "DEVTYPE=wlan\n");
  std::string phy = make("wlp2s0", "1", "");
  net.makeFolder("wlp2s0/wireless");
  std::string wwan = make("wwan0", "519", "DEVTYPE=wwan\n");
  std::string eth = make("enp3s0", "1", "");
  std::string bridge = make("br0", "1", "DEVTYPE=bridge\n");
  std::string tun = make("tun0", "65534", "DEVTYPE=tun\n");
  std::string lo = make("lo", "772", "");

  EXPECT_EQ(NWLinuxPathProvider::interfaceType(wlan), NWInterfaceType::wifi);
  EXPECT_EQ(NWLinuxPathProvider::interfaceType(phy), NWInterfaceType::wifi);
  EXPECT_EQ(NWLinuxPathProvider::interfaceType(wwan), NWInterfaceType::cellular);
  EXPECT_EQ(NWLinuxPathProvider::interfaceType(eth), NWInterfaceType::wiredEthernet);
  EXPECT_EQ(NWLinuxPathProvider::interfaceType(bridge), NWInterfaceType::wiredEthernet);
  EXPECT_EQ(NWLinuxPathProvider::interfaceType(tun), NWInterfaceType::other);
  EXPECT_EQ(NWLinuxPathProvider::interfaceType(lo), NWInterfaceType::loopback);
  EXPECT_EQ(NWLinuxPathProvider::interfaceType(net.path() + "/gone"), NWInterfaceType::other);
}

TEST_F(NWLinuxPathProviderTest, MachinePathNeverListsLoopback) {
  NWLinuxPathProvider provider;
  NWPath path = provider.currentPath();
  EXPECT_EQ(path.status() == NWPathStatus::satisfied, !path.availableInterfaces().empty());
  uint32_t lastIndex = 0;
  for (const auto& interface : path.availableInterfaces()) {
    EXPECT_NE(interface.type, NWInterfaceType::loopback);
    EXPECT_NE(interface.name, "lo");
    EXPECT_TRUE(std::filesystem::exists("/sys/class/net/" + interface.name)) << interface.name;
    EXPECT_GT(interface.index, lastIndex) << "listed by interface index";
    lastIndex = interface.index;
  }
}

using NWPathMonitorTest = PlatformTest;

TEST_F(NWPathMonitorTest, ReportsChangesOnItsQueue) {
  auto provider = std::make_shared<NWScriptedPathProvider>(wifiPath());
  auto queue = dispatch_queue_create("test.monitor");
  auto monitor = std::make_shared<NWPathMonitor>(provider);
  Updates updates;
  monitor->setPathUpdateHandler(updates.handler(queue));

  EXPECT_EQ(monitor->currentPath(), wifiPath()) << "read from the provider before start";
  EXPECT_EQ(provider->watchCount(), 0u);
  monitor->start(queue);
  EXPECT_EQ(monitor->queue(), queue);
  EXPECT_EQ(provider->watchCount(), 1u);
  drain(queue);
  EXPECT_EQ(updates.count(), 0u) << "the path at start is not an update";

  provider->setPath(wiredPath());
  drain(queue);
  ASSERT_EQ(updates.count(), 1u);
  EXPECT_EQ(updates.paths[0], wiredPath());
  EXPECT_TRUE(updates.onQueue[0]);
  EXPECT_EQ(monitor->currentPath(), wiredPath());

  provider->setPath(wiredPath());
  drain(queue);
  EXPECT_EQ(updates.count(), 1u) << "an unchanged path is no update";

  provider->setPath(NWPath());
  drain(queue);
  ASSERT_EQ(updates.count(), 2u);
  EXPECT_EQ(updates.paths[1].status(), NWPathStatus::unsatisfied);

  monitor->cancel();
  EXPECT_EQ(provider->watchCount(), 0u);
  provider->setPath(wifiPath());
  drain(queue);
  EXPECT_EQ(updates.count(), 2u) << "nothing after cancel";
  monitor->start(queue);
  EXPECT_EQ(provider->watchCount(), 0u) << "a cancelled monitor stays cancelled";
}

TEST_F(NWPathMonitorTest, DroppedMonitorStopsWatching) {
  auto provider = std::make_shared<NWScriptedPathProvider>(wifiPath());
  auto queue = dispatch_queue_create("test.monitor");
  std::atomic<int> calls{0};
  {
    auto monitor = std::make_shared<NWPathMonitor>(provider);
    monitor->setPathUpdateHandler([&](const NWPath&) { calls++; });
    monitor->start(queue);
    EXPECT_EQ(provider->watchCount(), 1u);
  }
  EXPECT_EQ(provider->watchCount(), 0u);
  provider->setPath(wiredPath());
  drain(queue);
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace

}  // namespace nw_path_monitor_test
