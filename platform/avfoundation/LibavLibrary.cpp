#include "platform/avfoundation/LibavLibrary.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/avfoundation/AVError.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SharedLibraries.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

namespace {

std::string SharedLibraryName(const char* library, int major) {
  return std::string("lib") + library + ".so." + std::to_string(major);
}

struct LoadedLibraries {
  Mutex mutex;
  bool tried GUARDED_BY(mutex) = false;
  bool loaded GUARDED_BY(mutex) = false;
  std::string why GUARDED_BY(mutex);  // the failure, once tried and not loaded
  // Written once under the mutex, then read through gFunctions without it.
  LibavFunctions functions;
  bool devicesTried GUARDED_BY(mutex) = false;
  bool devicesLoaded GUARDED_BY(mutex) = false;
  std::string devicesWhy GUARDED_BY(mutex);
};

// Set once the functions are loaded: `Libav()` is on every decode step and
// reads it without the lock.
std::atomic<const LibavFunctions*> gFunctions{nullptr};

LoadedLibraries& Loaded() {
  // Never destroyed: media objects released during exit still call libav.
  static auto* loaded = new LoadedLibraries;
  return *loaded;
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
  auto& loaded = Loaded();
  MutexLock lock(loaded.mutex);
  if (!loaded.tried) {
    loaded.tried = true;
    loaded.loaded = LibavResolve(LibavLibraryNames(), loaded.functions, loaded.why);
    if (loaded.loaded) gFunctions.store(&loaded.functions, std::memory_order_release);
  }
  if (!loaded.loaded && error)
    *error = UnavailableError(AVErrorDecoderNotFound, "The media libraries", loaded.why);
  return loaded.loaded;
}

const LibavFunctions& Libav() {
  if (const LibavFunctions* functions = gFunctions.load(std::memory_order_acquire))
    return *functions;
  // A road that did not load first still works where the libraries are;
  // where they are not, it had to answer its caller before getting here.
  if (LibavLoad(nullptr)) return *gFunctions.load(std::memory_order_acquire);
  std::fputs("libav called without its libraries, which cannot be loaded\n", stderr);
  std::abort();
}

bool LibavLoadDevices(NSErrorPtr* error) {
  if (!LibavLoad(error)) return false;
  auto& loaded = Loaded();
  MutexLock lock(loaded.mutex);
  if (!loaded.devicesTried) {
    loaded.devicesTried = true;
    const std::string name = LibavDeviceLibraryName();
    SharedLibraries devices;
    if (devices.open({name}, loaded.devicesWhy)) {
      // Registering hands libavformat the device list, so the devices are
      // found by name (av_find_input_format) like any other input format.
      if (auto registerAll = reinterpret_cast<decltype(&::avdevice_register_all)>(
              devices.find(0, "avdevice_register_all"))) {
        registerAll();
        loaded.devicesLoaded = true;
      } else {
        loaded.devicesWhy = name + " has no avdevice_register_all";
      }
    }
  }
  if (!loaded.devicesLoaded && error) {
    *error = UnavailableError(AVErrorDeviceNotConnected, "The camera devices", loaded.devicesWhy);
  }
  return loaded.devicesLoaded;
}
