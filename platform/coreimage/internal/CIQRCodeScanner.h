#pragma once

// What reads QR codes out of pixels for CIDetector: ZBar by default; tests
// may install a scanner of their own. A scanner is called from whatever
// thread runs the detection, possibly several at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"

struct CIQRCodeSymbol {
  // The code's bytes, undecoded.
  std::string message;
  // The code's outline in the scanned pixels (origin top-left, y down), in
  // the scanner's order: top-left, bottom-left, bottom-right, top-right of
  // the code as it reads upright. Fewer points when the scanner gives fewer.
  std::vector<CGPoint> corners;
};

class CIQRCodeScanner {
 public:
  virtual ~CIQRCodeScanner() = default;
  // 8-bit luminance, `width` bytes per row, top row first.
  virtual std::vector<CIQRCodeSymbol> scan(const uint8_t* luma, size_t width, size_t height) = 0;

  // The scanner every detector made from now on uses; null puts ZBar back.
  static void setDefaultScanner(std::shared_ptr<CIQRCodeScanner> scanner);
  static std::shared_ptr<CIQRCodeScanner> defaultScanner();
};

class CIZBarQRCodeScanner : public CIQRCodeScanner {
 public:
  std::vector<CIQRCodeSymbol> scan(const uint8_t* luma, size_t width, size_t height) override;
};
