#include "MachHost.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"

namespace {

constexpr host_t kHostPort = 1;

Mutex gMutex;  // guards the provider in providerSlot()

// Made on first use, outside gMutex: registering the reset takes the resets'
// own lock, which a running reset holds while it takes gMutex.
std::shared_ptr<MachMemoryProvider>& providerSlot() {
  static std::shared_ptr<MachMemoryProvider> provider = [] {
    SingletonResets::add([] { MachHostSetMemoryProvider(nullptr); });
    return std::make_shared<MachMeminfoFile>();
  }();
  return provider;
}

std::shared_ptr<MachMemoryProvider> memoryProvider() {
  auto& slot = providerSlot();
  MutexLock lock(gMutex);
  return slot;
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
  auto figures = memoryProvider()->read();
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

MachMeminfoFile::MachMeminfoFile(std::string path) : path_(std::move(path)) {}

// Lines look like "MemFree:        23728912 kB".
std::optional<MachMemoryFigures> MachMeminfoFile::read() {
  std::ifstream in(path_);
  if (!in) return std::nullopt;
  std::optional<uint64_t> freeKiB;
  MachMemoryFigures f;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key;
    uint64_t kib = 0;
    if (!(fields >> key >> kib)) continue;
    if (key == "MemFree:") freeKiB = kib;
    if (key == "Active:") f.activeKiB = kib;
    if (key == "Inactive:") f.inactiveKiB = kib;
  }
  if (!freeKiB) return std::nullopt;
  f.freeKiB = *freeKiB;
  return f;
}

void MachHostSetMemoryProvider(std::shared_ptr<MachMemoryProvider> provider) {
  if (!provider) provider = std::make_shared<MachMeminfoFile>();
  auto& slot = providerSlot();
  MutexLock lock(gMutex);
  slot = std::move(provider);
}
