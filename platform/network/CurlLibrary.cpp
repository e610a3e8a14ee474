#include "platform/network/internal/CurlLibrary.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/SharedLibraries.h"

namespace {

Mutex gCurlMutex;  // guards the loading itself too
bool gTried GUARDED_BY(gCurlMutex) = false;
std::string gWhy GUARDED_BY(gCurlMutex);
// Set once loaded: `Curl()` is on every transfer step and reads it without
// the lock.
std::atomic<const CurlFunctions*> gFunctions{nullptr};

}  // namespace

bool CurlResolve(const std::string& library, CurlFunctions& functions, std::string& why) {
  SharedLibraries set;
  if (!set.open({library}, why)) return false;
  CurlFunctions resolved;
#define QX_CURL_RESOLVE(name)                                                    \
  resolved.name = reinterpret_cast<decltype(resolved.name)>(set.find(0, #name)); \
  if (!resolved.name) {                                                          \
    why = library + " has no " #name;                                            \
    return false;                                                                \
  }
  QX_CURL_FUNCTIONS(QX_CURL_RESOLVE)
#undef QX_CURL_RESOLVE
  functions = resolved;
  return true;
}

bool CurlLoad(std::string* why) {
  MutexLock lock(gCurlMutex);
  if (!gTried) {
    gTried = true;
    // Never freed: transfers may end while the process exits.
    auto* functions = new CurlFunctions;
    // The interface's number, the same for every libcurl since 7.16.
    if (CurlResolve("libcurl.so.4", *functions, gWhy)) {
      functions->curl_global_init(CURL_GLOBAL_DEFAULT);
      gFunctions.store(functions, std::memory_order_release);
    } else {
      delete functions;
    }
  }
  const bool loaded = gFunctions.load(std::memory_order_relaxed) != nullptr;
  if (!loaded && why) *why = gWhy;
  return loaded;
}

const CurlFunctions& Curl() {
  if (const CurlFunctions* functions = gFunctions.load(std::memory_order_acquire))
    return *functions;
  if (CurlLoad(nullptr)) return *gFunctions.load(std::memory_order_acquire);
  std::fputs("libcurl called without its library, which cannot be loaded\n", stderr);
  std::abort();
}
