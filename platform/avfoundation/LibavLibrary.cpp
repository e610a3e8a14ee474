#include "platform/avfoundation/LibavLibrary.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/avfoundation/AVError.h"
#include "platform/foundation/SharedLibraries.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

namespace {

std::string SharedLibraryName(const char* library, int major) {
  return std::string("lib") + library + ".so." + std::to_string(major);
}

// libavdevice's one entry: registering hands libavformat the device list.
struct LibavDevices {
  decltype(&::avdevice_register_all) avdevice_register_all = nullptr;
};

// Never destroyed: media objects released during exit still call libav.
LazyLibrary<LibavFunctions>& Codecs() {
  static auto* codecs =
      new LazyLibrary<LibavFunctions>([](LibavFunctions& functions, std::string& why) {
        return LibavResolve(LibavLibraryNames(), functions, why);
      });
  return *codecs;
}

// A stage of its own, with its own lock: a road that needs only the codecs
// never waits behind a camera's loading of the devices.
LazyLibrary<LibavDevices>& Devices() {
  static auto* devices = new LazyLibrary<LibavDevices>([](LibavDevices& table, std::string& why) {
    const std::string name = LibavDeviceLibraryName();
    SharedLibraries set;
    if (!set.open({name}, why)) return false;
    table.avdevice_register_all = reinterpret_cast<decltype(table.avdevice_register_all)>(
        set.find(0, "avdevice_register_all"));
    if (!table.avdevice_register_all) {
      why = name + " has no avdevice_register_all";
      return false;
    }
    // The devices are then found by name (av_find_input_format) like
    // any other input format.
    table.avdevice_register_all();
    return true;
  });
  return *devices;
}

NSErrorPtr UnavailableError(int64_t code, const std::string& what, const std::string& why) {
  return NSError::errorWithDescription(AVFoundationErrorDomain, code,
                                       what + " cannot be loaded: " + why);
}

// The place of a library in `LibavLibraryNames`.
constexpr size_t LibraryIndex(std::string_view library) {
  return library == "avutil"     ? 0
         : library == "avcodec"  ? 1
         : library == "avformat" ? 2
         : library == "swscale"  ? 3
                                 : 4;
}

}  // namespace

std::vector<std::string> LibavLibraryNames() {
  return {SharedLibraryName("avutil", LIBAVUTIL_VERSION_MAJOR),
          SharedLibraryName("avcodec", LIBAVCODEC_VERSION_MAJOR),
          SharedLibraryName("avformat", LIBAVFORMAT_VERSION_MAJOR),
          SharedLibraryName("swscale", LIBSWSCALE_VERSION_MAJOR),
          SharedLibraryName("swresample", LIBSWRESAMPLE_VERSION_MAJOR)};
}

std::string LibavDeviceLibraryName() {
  return SharedLibraryName("avdevice", LIBAVDEVICE_VERSION_MAJOR);
}

bool LibavResolve(const std::vector<std::string>& libraries, LibavFunctions& functions,
                  std::string& why) {
  SharedLibraries set;
  if (!set.open(libraries, why)) return false;
  LibavFunctions resolved;
#define QX_LIBAV_RESOLVE(library, name)                                                   \
  resolved.name =                                                                         \
      reinterpret_cast<decltype(resolved.name)>(set.find(LibraryIndex(#library), #name)); \
  if (!resolved.name) {                                                                   \
    why = "lib" #library " has no " #name;                                                \
    return false;                                                                         \
  }
  QX_LIBAV_FUNCTIONS(QX_LIBAV_RESOLVE)
#undef QX_LIBAV_RESOLVE
  functions = resolved;
  return true;
}

bool LibavLoad(NSErrorPtr* error) {
  std::string why;
  if (Codecs().load(&why)) return true;
  if (error) *error = UnavailableError(AVErrorDecoderNotFound, "The media libraries", why);
  return false;
}

const LibavFunctions& Libav() {
  // A road that did not load first still works where the libraries are;
  // where they are not, it had to answer its caller before getting here.
  if (const LibavFunctions* functions = Codecs().load()) return *functions;
  std::fputs("libav called without its libraries, which cannot be loaded\n", stderr);
  std::abort();
}

bool LibavLoadDevices(NSErrorPtr* error) {
  if (!LibavLoad(error)) return false;
  std::string why;
  if (Devices().load(&why)) return true;
  if (error) *error = UnavailableError(AVErrorDeviceNotConnected, "The camera devices", why);
  return false;
}

bool LibavLoaded() { return Codecs().loaded() != nullptr; }

bool LibavDevicesLoaded() { return Devices().loaded() != nullptr; }
