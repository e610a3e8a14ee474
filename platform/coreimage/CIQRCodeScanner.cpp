#include "platform/coreimage/internal/CIQRCodeScanner.h"

#include <zbar.h>

#include <memory>
#include <mutex>
#include <string>

// zbar.h declares its C interface inside namespace zbar when read as C++.
using namespace zbar;

#include "platform/foundation/OSLog.h"
#include "platform/foundation/SharedLibraries.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"

namespace {

// ZBar is loaded when a code is first looked for, not linked: it brings X11,
// D-Bus and Video4Linux's libraries, which a start of the host has no use for.
#define QX_ZBAR_FUNCTIONS(X)       \
  X(zbar_image_scanner_create)     \
  X(zbar_image_scanner_set_config) \
  X(zbar_image_create)             \
  X(zbar_image_set_format)         \
  X(zbar_image_set_size)           \
  X(zbar_image_set_data)           \
  X(zbar_scan_image)               \
  X(zbar_image_first_symbol)       \
  X(zbar_symbol_next)              \
  X(zbar_symbol_get_type)          \
  X(zbar_symbol_get_data)          \
  X(zbar_symbol_get_data_length)   \
  X(zbar_symbol_get_loc_size)      \
  X(zbar_symbol_get_loc_x)         \
  X(zbar_symbol_get_loc_y)         \
  X(zbar_image_destroy)            \
  X(zbar_image_scanner_destroy)

struct ZBarFunctions {
#define QX_ZBAR_MEMBER(name) decltype(&zbar::name) name = nullptr;
  QX_ZBAR_FUNCTIONS(QX_ZBAR_MEMBER)
#undef QX_ZBAR_MEMBER
};

// The functions, loaded once; null when ZBar cannot be loaded (said once in
// the log), and then no code is found.
const ZBarFunctions* LoadedZBar() {
  static auto* library =
      new LazyLibrary<ZBarFunctions>([](ZBarFunctions& functions, std::string& why) {
        SharedLibraries set;
        bool complete = set.open({"libzbar.so.0"}, why);
#define QX_ZBAR_RESOLVE(name)                                                        \
  if (complete) {                                                                    \
    functions.name = reinterpret_cast<decltype(functions.name)>(set.find(0, #name)); \
    if (!functions.name) {                                                           \
      complete = false;                                                              \
      why = "libzbar.so.0 has no " #name;                                            \
    }                                                                                \
  }
        QX_ZBAR_FUNCTIONS(QX_ZBAR_RESOLVE)
#undef QX_ZBAR_RESOLVE
        if (!complete) {
          os_log_with_type(os_log_create("com.qx.coreimage", "qrcode"), OSLogType::Error,
                           "QR codes cannot be read: " + why);
        }
        return complete;
      });
  return library->load();
}

Mutex gScannerMutex;
std::shared_ptr<CIQRCodeScanner> gScanner GUARDED_BY(gScannerMutex);

}  // namespace

void CIQRCodeScanner::setDefaultScanner(std::shared_ptr<CIQRCodeScanner> scanner) {
  MutexLock lock(gScannerMutex);
  gScanner = std::move(scanner);
}

std::shared_ptr<CIQRCodeScanner> CIQRCodeScanner::defaultScanner() {
  static std::once_flag registered;
  std::call_once(registered, [] { SingletonResets::add([] { setDefaultScanner(nullptr); }); });
  MutexLock lock(gScannerMutex);
  if (!gScanner) gScanner = std::make_shared<CIZBarQRCodeScanner>();
  return gScanner;
}

std::vector<CIQRCodeSymbol> CIZBarQRCodeScanner::scan(const uint8_t* luma, size_t width,
                                                      size_t height) {
  std::vector<CIQRCodeSymbol> symbols;
  if (!luma || width == 0 || height == 0) return symbols;
  const ZBarFunctions* loaded = LoadedZBar();
  if (!loaded) return symbols;
  const ZBarFunctions& api = *loaded;
  // A scanner and an image per call: ZBar's objects are not to be shared
  // between threads, and making them costs nothing next to a scan.
  zbar_image_scanner_t* scanner = api.zbar_image_scanner_create();
  api.zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
  api.zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
  // The code's bytes as they are: ZBar's guess of their character set takes
  // UTF-8 for Shift-JIS; the detector decides what text they are.
  api.zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);
  zbar_image_t* image = api.zbar_image_create();
  api.zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
  api.zbar_image_set_size(image, static_cast<unsigned>(width), static_cast<unsigned>(height));
  api.zbar_image_set_data(image, luma, width * height, nullptr);
  if (api.zbar_scan_image(scanner, image) > 0) {
    for (const zbar_symbol_t* s = api.zbar_image_first_symbol(image); s;
         s = api.zbar_symbol_next(s)) {
      if (api.zbar_symbol_get_type(s) != ZBAR_QRCODE) continue;
      CIQRCodeSymbol symbol;
      symbol.message.assign(api.zbar_symbol_get_data(s), api.zbar_symbol_get_data_length(s));
      unsigned points = api.zbar_symbol_get_loc_size(s);
      for (unsigned i = 0; i < points; ++i) {
        symbol.corners.push_back(
            CGPointMake(api.zbar_symbol_get_loc_x(s, i), api.zbar_symbol_get_loc_y(s, i)));
      }
      symbols.push_back(std::move(symbol));
    }
  }
  api.zbar_image_destroy(image);
  api.zbar_image_scanner_destroy(scanner);
  return symbols;
}
