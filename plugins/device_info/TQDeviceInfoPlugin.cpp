#include "TQDeviceInfoPlugin.h"

#include <sys/utsname.h>

#include <cstdlib>

#include "internal/DeviceIdentifiers.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/Value.h"
#include "platform/mach/MachHost.h"
#include "platform/uikit/UIDevice.h"

namespace {

const char* const kChannel = "dev.tarnquell.plugins/device_info";

struct DiskSizes {
  int64_t free = -1;
  int64_t total = -1;
};

DiskSizes homeFileSystemSizes() {
  DiskSizes sizes;
  auto attributes =
      NSFileManager::defaultManager()->attributesOfFileSystemForPath(NSHomeDirectory());
  if (!attributes) return sizes;
  if (const Value* v = attributes->find(NSFileSystemFreeSize)) sizes.free = v->asInt64();
  if (const Value* v = attributes->find(NSFileSystemSize)) sizes.total = v->asInt64();
  return sizes;
}

Value utsnameMap(const utsname& names, const std::optional<std::string>& machine) {
  return Value::map({{"sysname", Value(names.sysname)},
                     {"nodename", Value(names.nodename)},
                     {"release", Value(names.release)},
                     {"version", Value(names.version)},
                     {"machine", Value(machine.value_or(""))}});
}

}  // namespace

void TQDeviceInfoPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannel, registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<TQDeviceInfoPlugin>(), channel);
}

void TQDeviceInfoPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method == "getDeviceInfo") {
    result(deviceInfo());
  } else {
    result(FlutterMethodNotImplemented);
  }
}

bool TQDeviceInfoPlugin::isDevicePhysical() const { return true; }

int64_t TQDeviceInfoPlugin::availableMemoryInbMB() const {
  vm_size_t pageSize = 0;
  host_page_size(mach_host_self(), &pageSize);
  vm_statistics_data_t stats{};
  mach_msg_type_number_t count = HOST_VM_INFO_COUNT;
  if (host_statistics(mach_host_self(), HOST_VM_INFO, reinterpret_cast<host_info_t>(&stats),
                      &count) != KERN_SUCCESS) {
    return -1;
  }
  uint64_t freeBytes = static_cast<uint64_t>(stats.free_count) * static_cast<uint64_t>(pageSize);
  return static_cast<int64_t>(freeBytes >> 20);
}

Value TQDeviceInfoPlugin::deviceInfo() const {
  auto device = UIDevice::currentDevice();
  auto& process = NSProcessInfo::processInfo();
  utsname names{};
  ::uname(&names);
  std::optional<std::string> machine;
  if (isDevicePhysical()) {
    machine = names.machine;
  } else if (const char* simulated = std::getenv("SIMULATOR_MODEL_IDENTIFIER")) {
    machine = simulated;
  }
  auto vendor = device->identifierForVendor();
  DiskSizes disk = homeFileSystemSizes();
  bool onMac = process.isOperatingSystemAtLeastVersion({14, 0, 0}) && process.isiOSAppOnMac();
  bool onVision = process.isOperatingSystemAtLeastVersion({26, 1, 0}) && process.isiOSAppOnVision();
  return Value::map({
      {"name", Value(device->name())},
      {"systemName", Value(device->systemName())},
      {"systemVersion", Value(device->systemVersion())},
      {"model", Value(device->model())},
      {"localizedModel", Value(device->localizedModel())},
      {"modelName", Value(DeviceIdentifiers::userKnownDeviceModel(machine))},
      {"identifierForVendor", vendor ? Value(*vendor) : Value()},
      {"freeDiskSize", Value::integer(disk.free)},
      {"totalDiskSize", Value::integer(disk.total)},
      {"isPhysicalDevice", Value(isDevicePhysical())},
      {"isiOSAppOnMac", Value(onMac)},
      {"isiOSAppOnVision", Value(onVision)},
      {"physicalRamSize", Value::integer(static_cast<int64_t>(process.physicalMemory() >> 20))},
      {"availableRamSize", Value::integer(availableMemoryInbMB())},
      {"utsname", utsnameMap(names, machine)},
  });
}
