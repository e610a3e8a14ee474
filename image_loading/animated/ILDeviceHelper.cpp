#include "image_loading/animated/internal/ILDeviceHelper.h"

#include "platform/foundation/NSProcessInfo.h"
#include "platform/mach/MachHost.h"
#include "platform/uikit/UIScreen.h"

uint64_t ILDeviceHelper::totalMemory() { return NSProcessInfo::processInfo().physicalMemory(); }

uint64_t ILDeviceHelper::freeMemory() {
  const host_t host = mach_host_self();
  vm_size_t pageSize = 0;
  if (host_page_size(host, &pageSize) != KERN_SUCCESS) return 0;
  vm_statistics_data_t stats{};
  mach_msg_type_number_t count = HOST_VM_INFO_COUNT;
  if (host_statistics(host, HOST_VM_INFO, reinterpret_cast<host_info_t>(&stats), &count) !=
      KERN_SUCCESS)
    return 0;
  return uint64_t(stats.free_count) * uint64_t(pageSize);
}

double ILDeviceHelper::screenScale() { return UIScreen::mainScreen()->scale(); }
double ILDeviceHelper::screenEDR() { return 1.0; }
double ILDeviceHelper::screenMaxEDR() { return 1.0; }
