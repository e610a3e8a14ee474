// Feeds arbitrary request lines to the host's JSON driver with the file
// picker on its engine: every argument of every method, and the driver's
// screen requests, must be answered without a crash, whatever their kinds
// and sizes. The container is a scratch folder and no picker program is set,
// so no picker is shown and nothing outside the scratch folder is touched.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "file_picker/FilePickerPlugin.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/FlutterJSONDriver.h"
#include "platform/foundation/NSRunLoop.h"

namespace {

FlutterJSONDriver& driver() {
  static std::shared_ptr<FlutterJSONDriver> d = [] {
    static char home[] = "/tmp/qx-fuzz-driver-XXXXXX";
    if (!::mkdtemp(home)) __builtin_trap();
    ::setenv("QX_APP_HOME", home, 1);
    ::unsetenv("QX_PICKER_COMMAND");
    static auto engine = FlutterEngine::create();
    FilePickerPlugin::registerWithRegistrar(engine->registrarForPlugin("FilePickerPlugin"));
    return FlutterJSONDriver::create(engine, [](const std::string&) {});
  }();
  return *d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  driver().handleLine(std::string(reinterpret_cast<const char*>(data), size));
  NSRunLoop::mainRunLoop().runUntilIdle();
  return 0;
}
