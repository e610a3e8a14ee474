#pragma once

// The network path of the machine, from the kernel.
//
// An interface counts when it is up, has carrier (IFF_RUNNING) and holds an
// IPv4 address or an IPv6 address beyond link-local (every interface that is
// up gets an fe80:: address, which reaches no network). Loopback never
// counts. The path is satisfied when at least one interface counts; its
// interfaces are listed by interface index.
//
// Kinds come from sysfs: a "wireless" or "phy80211" folder, or DEVTYPE=wlan in
// "uevent", is Wi-Fi; DEVTYPE=wwan is cellular; link type 1 (ARPHRD_ETHER) is
// wired Ethernet; anything else is other.
//
// Changes are watched through a netlink route socket subscribed to link and
// IPv4/IPv6 address events. Dispatch has no file-descriptor sources, so each
// watch owns one reader thread blocked in poll(); it does nothing but hand
// each batch of kernel messages on to the watcher.

#include <string>

#include "platform/network/NWPathProvider.h"

class NWLinuxPathProvider : public NWPathProvider {
 public:
  // `sysClassNet`: the folder that describes the interfaces (sysfs by default;
  // sysfs shows the network namespace it was mounted in).
  explicit NWLinuxPathProvider(std::string sysClassNet = "/sys/class/net");

  NWPath currentPath() override;
  std::unique_ptr<NWPathWatch> watch(std::function<void()> changed) override;

  // The kind of the interface described by a sysfs folder such as
  // /sys/class/net/eth0.
  static NWInterfaceType interfaceType(const std::string& interfaceFolder);

 private:
  std::string sysClassNet_;
};
