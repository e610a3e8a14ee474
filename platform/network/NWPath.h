#pragma once

// A network path as the path monitor reports it: whether the device can reach
// a network and over which interfaces.

#include <cstdint>
#include <string>
#include <vector>

enum class NWInterfaceType { other = 0, wifi = 1, cellular = 2, wiredEthernet = 3, loopback = 4 };

struct NWInterface {
  std::string name;
  NWInterfaceType type = NWInterfaceType::other;
  uint32_t index = 0;

  bool operator==(const NWInterface&) const = default;
};

enum class NWPathStatus { satisfied, unsatisfied, requiresConnection };

class NWPath {
 public:
  // Unsatisfied, over no interface.
  NWPath() = default;
  NWPath(NWPathStatus status, std::vector<NWInterface> availableInterfaces,
         bool isUltraConstrained = false);

  NWPathStatus status() const { return status_; }
  // The interfaces the path can use, in the order the system prefers them.
  const std::vector<NWInterface>& availableInterfaces() const { return interfaces_; }
  bool usesInterfaceType(NWInterfaceType type) const;
  // Only a constrained satellite link is ultra-constrained; Linux reports none.
  bool isUltraConstrained() const { return ultraConstrained_; }

  bool operator==(const NWPath&) const = default;
  std::string description() const;

 private:
  NWPathStatus status_ = NWPathStatus::unsatisfied;
  std::vector<NWInterface> interfaces_;
  bool ultraConstrained_ = false;
};
