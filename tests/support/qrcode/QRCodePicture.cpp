#include "support/qrcode/QRCodePicture.h"

#include <qrencode.h>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"

namespace {

constexpr size_t kQuietZone = 4;

}  // namespace

CGImageRef QRCodePicture(const std::string& text, size_t moduleSize) {
  QRcode* code =
      QRcode_encodeData(static_cast<int>(text.size()),
                        reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M);
  if (!code) return nullptr;
  const size_t width = static_cast<size_t>(code->width);
  const size_t side = (width + 2 * kQuietZone) * moduleSize;
  auto context =
      CGBitmapContextCreate(nullptr, side, side, 8, side * 4, CGColorSpaceCreateDeviceRGB(),
                            kCGImageAlphaPremultipliedLast);
  const double m = static_cast<double>(moduleSize), s = static_cast<double>(side);
  CGContextSetRGBFillColor(context, 1, 1, 1, 1);
  CGContextFillRect(context, CGRectMake(0, 0, s, s));
  CGContextSetRGBFillColor(context, 0, 0, 0, 1);
  for (size_t row = 0; row < width; ++row) {
    for (size_t column = 0; column < width; ++column) {
      // Bit 0 of each byte is the module's colour; the rest say what it is for.
      if (!(code->data[row * width + column] & 1)) continue;
      // Bitmap contexts are y-up: the code's first row is the picture's top.
      const double x = static_cast<double>(column + kQuietZone) * m;
      const double y = s - static_cast<double>(row + kQuietZone + 1) * m;
      CGContextFillRect(context, CGRectMake(x, y, m, m));
    }
  }
  QRcode_free(code);
  return CGBitmapContextCreateImage(context);
}
