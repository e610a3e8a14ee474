#include "MachHost.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

const char* const kProcMeminfo = "/proc/meminfo";
constexpr host_t kHostPort = 1;

std::mutex gMutex;  // guards gMeminfoPath
std::string gMeminfoPath = kProcMeminfo;
std::atomic<bool> gFail{false};

std::string meminfoPath() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gMeminfoPath;
}

struct MeminfoFigures {
  std::optional<uint64_t> freeKiB, activeKiB, inactiveKiB;
};

// Lines look like "MemFree:        23728912 kB".
std::optional<MeminfoFigures> readMeminfo(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  MeminfoFigures f;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key;
    uint64_t kib = 0;
    if (!(fields >> key >> kib)) continue;
    if (key == "MemFree:") f.freeKiB = kib;
    if (key == "Active:") f.activeKiB = kib;
    if (key == "Inactive:") f.inactiveKiB = kib;
  }
  if (!f.freeKiB) return std::nullopt;
  return f;
}

natural_t pagesOf(std::optional<uint64_t> kib, uint64_t pageSize) {
  uint64_t pages = kib.value_or(0) * 1024 / pageSize;
  return pages > UINT32_MAX ? UINT32_MAX : static_cast<natural_t>(pages);
}

uint64_t pageSize() {
  long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

}  // namespace

host_t mach_host_self() { return kHostPort; }

kern_return_t host_page_size(host_t host, vm_size_t* size) {
  if (host != kHostPort || size == nullptr) return KERN_INVALID_ARGUMENT;
  *size = static_cast<vm_size_t>(pageSize());
  return KERN_SUCCESS;
}

kern_return_t host_statistics(host_t host, host_flavor_t flavor, host_info_t info,
                              mach_msg_type_number_t* count) {
  if (host != kHostPort || flavor != HOST_VM_INFO || info == nullptr || count == nullptr ||
      *count < HOST_VM_INFO_COUNT) {
    return KERN_INVALID_ARGUMENT;
  }
  if (gFail.load()) return KERN_FAILURE;
  auto figures = readMeminfo(meminfoPath());
  if (!figures) return KERN_FAILURE;
  uint64_t page = pageSize();
  vm_statistics_data_t stats;
  std::memset(&stats, 0, sizeof stats);
  stats.free_count = pagesOf(figures->freeKiB, page);
  stats.active_count = pagesOf(figures->activeKiB, page);
  stats.inactive_count = pagesOf(figures->inactiveKiB, page);
  std::memcpy(info, &stats, sizeof stats);
  *count = HOST_VM_INFO_COUNT;
  return KERN_SUCCESS;
}

void MachHostSetMeminfoPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(gMutex);
  gMeminfoPath = path.empty() ? kProcMeminfo : path;
}

void MachHostSetStatisticsFailure(bool fail) { gFail.store(fail); }
