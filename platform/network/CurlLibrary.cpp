#include "platform/network/internal/CurlLibrary.h"

#include <cstdio>
#include <cstdlib>

#include "platform/foundation/SharedLibraries.h"

namespace {

// Never destroyed: transfers may end while the process exits.
LazyLibrary<CurlFunctions>& Library() {
  static auto* library =
      new LazyLibrary<CurlFunctions>([](CurlFunctions& functions, std::string& why) {
        // The interface's number, the same for every libcurl since 7.16.
        if (!CurlResolve("libcurl.so.4", functions, why)) return false;
        functions.curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
      });
  return *library;
}

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

bool CurlLoad(std::string* why) { return Library().load(why) != nullptr; }

const CurlFunctions& Curl() {
  if (const CurlFunctions* functions = Library().load()) return *functions;
  std::fputs("libcurl called without its library, which cannot be loaded\n", stderr);
  std::abort();
}
