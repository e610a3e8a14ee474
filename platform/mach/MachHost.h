#pragma once

// The Mach host calls that report virtual-memory statistics and the page size,
// answered from Linux: the page size from sysconf(_SC_PAGESIZE), the page
// counts from /proc/meminfo.
//
// free_count is MemFree, not MemAvailable: the platform's free count excludes
// memory the kernel could reclaim (inactive and cached pages), and so does
// MemFree. active_count and inactive_count come from Active and Inactive; the
// other counters have no Linux source and stay 0.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

using kern_return_t = int;
using natural_t = uint32_t;
using integer_t = int32_t;
using mach_port_t = natural_t;
using host_t = mach_port_t;
using mach_msg_type_number_t = natural_t;
using vm_size_t = uintptr_t;
using host_flavor_t = integer_t;
using host_info_t = integer_t*;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr host_flavor_t HOST_VM_INFO = 2;

struct vm_statistics {
  natural_t free_count;
  natural_t active_count;
  natural_t inactive_count;
  natural_t wire_count;
  natural_t zero_fill_count;
  natural_t reactivations;
  natural_t pageins;
  natural_t pageouts;
  natural_t faults;
  natural_t cow_faults;
  natural_t lookups;
  natural_t hits;
  natural_t purgeable_count;
  natural_t purges;
  natural_t speculative_count;
};
using vm_statistics_data_t = vm_statistics;

inline constexpr mach_msg_type_number_t HOST_VM_INFO_COUNT =
    sizeof(vm_statistics_data_t) / sizeof(integer_t);

host_t mach_host_self();
kern_return_t host_page_size(host_t host, vm_size_t* pageSize);
// Fills `info` for HOST_VM_INFO when *count holds at least HOST_VM_INFO_COUNT
// words and sets *count to the words written. KERN_FAILURE when the kernel's
// figures cannot be read.
kern_return_t host_statistics(host_t host, host_flavor_t flavor, host_info_t info,
                              mach_msg_type_number_t* count);

// The kernel's memory figures, in KiB, as the host calls read them.
struct MachMemoryFigures {
  uint64_t freeKiB = 0;
  std::optional<uint64_t> activeKiB, inactiveKiB;
};

// Where host_statistics reads memory from. Nothing (std::nullopt) makes the
// query fail as a refused one does.
class MachMemoryProvider {
 public:
  virtual ~MachMemoryProvider() = default;
  // Called on whatever thread queries the host.
  virtual std::optional<MachMemoryFigures> read() = 0;
};

// A meminfo file in the kernel's format ("MemFree:  23728912 kB" lines): the
// figures when it has a MemFree line, nothing when it cannot be read or has
// none.
class MachMeminfoFile : public MachMemoryProvider {
 public:
  explicit MachMeminfoFile(std::string path = "/proc/meminfo");
  std::optional<MachMemoryFigures> read() override;

 private:
  const std::string path_;
};

// host_statistics reads `provider` from now on; nullptr restores
// /proc/meminfo. The test environment restores it between tests.
void MachHostSetMemoryProvider(std::shared_ptr<MachMemoryProvider> provider);
