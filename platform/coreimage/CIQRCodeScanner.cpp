#include "platform/coreimage/internal/CIQRCodeScanner.h"

#include <zbar.h>

#include <mutex>

// zbar.h declares its C interface inside namespace zbar when read as C++.
using namespace zbar;

#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"

namespace {

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
  // A scanner and an image per call: ZBar's objects are not to be shared
  // between threads, and making them costs nothing next to a scan.
  zbar_image_scanner_t* scanner = zbar_image_scanner_create();
  zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
  zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
  // The code's bytes as they are: ZBar's guess of their character set takes
  // UTF-8 for Shift-JIS; the detector decides what text they are.
  zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);
  zbar_image_t* image = zbar_image_create();
  zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image, static_cast<unsigned>(width), static_cast<unsigned>(height));
  zbar_image_set_data(image, luma, width * height, nullptr);
  if (zbar_scan_image(scanner, image) > 0) {
    for (const zbar_symbol_t* s = zbar_image_first_symbol(image); s; s = zbar_symbol_next(s)) {
      if (zbar_symbol_get_type(s) != ZBAR_QRCODE) continue;
      CIQRCodeSymbol symbol;
      symbol.message.assign(zbar_symbol_get_data(s), zbar_symbol_get_data_length(s));
      unsigned points = zbar_symbol_get_loc_size(s);
      for (unsigned i = 0; i < points; ++i) {
        symbol.corners.push_back(
            CGPointMake(zbar_symbol_get_loc_x(s, i), zbar_symbol_get_loc_y(s, i)));
      }
      symbols.push_back(std::move(symbol));
    }
  }
  zbar_image_destroy(image);
  zbar_image_scanner_destroy(scanner);
  return symbols;
}
