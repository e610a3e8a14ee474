#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/foundation/SingletonResets.h"
#include "platform/mach/MachHost.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace mach_host_test {

namespace {

uint64_t meminfoKiB(const std::string& key) {
  std::ifstream in("/proc/meminfo");
  std::string name;
  uint64_t kib = 0;
  std::string unit;
  while (in >> name >> kib) {
    std::getline(in, unit);
    if (name == key + ":") return kib;
  }
  return 0;
}

class MachHostTest : public PlatformTest {
 protected:
  kern_return_t query(vm_statistics_data_t& stats,
                      mach_msg_type_number_t count = HOST_VM_INFO_COUNT) {
    return host_statistics(mach_host_self(), HOST_VM_INFO, reinterpret_cast<host_info_t>(&stats),
                           &count);
  }
};

TEST_F(MachHostTest, FreePagesComeFromTheKernel) {
  EXPECT_EQ(HOST_VM_INFO_COUNT, 15u);
  vm_size_t page = 0;
  ASSERT_EQ(host_page_size(mach_host_self(), &page), KERN_SUCCESS);
  EXPECT_EQ(page, static_cast<vm_size_t>(::sysconf(_SC_PAGESIZE)));

  uint64_t before = meminfoKiB("MemFree");
  vm_statistics_data_t stats{};
  ASSERT_EQ(query(stats), KERN_SUCCESS);
  uint64_t after = meminfoKiB("MemFree");
  uint64_t freeKiB = static_cast<uint64_t>(stats.free_count) * page / 1024;
  // Free memory moves while we look: allow what moved plus 64 MiB.
  uint64_t low = std::min(before, after), high = std::max(before, after);
  EXPECT_GE(freeKiB + 64 * 1024, low);
  EXPECT_LE(freeKiB, high + 64 * 1024);
  EXPECT_GT(stats.active_count + stats.inactive_count, 0u);
}

TEST_F(MachHostTest, ReadsAGivenMeminfoAndFailsAsAsked) {
  TempFolder folder;
  // 8 GiB free: more pages than fit in 32 bits of bytes.
  std::string path = folder.writeFile("meminfo", std::string("MemTotal: 16777216 kB\n"
                                                             "MemFree:   8388608 kB\n"
                                                             "Active:    1048576 kB\n"));
  MachHostSetMemoryProvider(std::make_shared<MachMeminfoFile>(path));
  vm_size_t page = 0;
  host_page_size(mach_host_self(), &page);
  vm_statistics_data_t stats{};
  ASSERT_EQ(query(stats), KERN_SUCCESS);
  EXPECT_EQ(static_cast<uint64_t>(stats.free_count) * page, 8ull << 30);
  EXPECT_EQ(static_cast<uint64_t>(stats.active_count) * page, 1ull << 30);
  EXPECT_EQ(stats.inactive_count, 0u);

  EXPECT_EQ(query(stats, HOST_VM_INFO_COUNT - 1), KERN_INVALID_ARGUMENT);
  mach_msg_type_number_t count = HOST_VM_INFO_COUNT;
  EXPECT_EQ(host_statistics(mach_host_self(), 99, reinterpret_cast<host_info_t>(&stats), &count),
            KERN_INVALID_ARGUMENT);

  MachHostSetMemoryProvider(
      std::make_shared<MachMeminfoFile>(folder.writeFile("empty", std::string("MemTotal: 1 kB\n"))));
  EXPECT_EQ(query(stats), KERN_FAILURE) << "no MemFree line";
  MachHostSetMemoryProvider(std::make_shared<MachMeminfoFile>(folder.path() + "/missing"));
  EXPECT_EQ(query(stats), KERN_FAILURE);

  // The test environment puts the kernel's figures back between tests.
  SingletonResets::runAll();
  ASSERT_EQ(query(stats), KERN_SUCCESS);
  EXPECT_NE(static_cast<uint64_t>(stats.free_count) * page, 8ull << 30);
}

}  // namespace

}  // namespace mach_host_test
