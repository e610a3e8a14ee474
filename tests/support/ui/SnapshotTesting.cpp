#include "support/ui/SnapshotTesting.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/uikit/UIGraphicsImageRenderer.h"

std::vector<uint8_t> RGBAPixels(const CGImageRef& image) {
  size_t w = image->width(), h = image->height();
  auto context = CGBitmapContextCreate(nullptr, w, h, 8, w * 4, CGColorSpaceCreateDeviceRGB(),
                                       kCGImageAlphaPremultipliedLast);
  CGContextDrawImage(context, CGRectMake(0, 0, double(w), double(h)), image);
  const uint8_t* data = static_cast<const uint8_t*>(CGBitmapContextGetData(context));
  return std::vector<uint8_t>(data, data + w * h * 4);
}

UIImagePtr RenderView(UIView& view, double scale) {
  view.layoutIfNeeded();
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(scale);
  UIGraphicsImageRenderer renderer(view.bounds().size, format);
  return renderer.imageWithActions([&view](UIGraphicsImageRendererContext&) {
    view.drawViewHierarchyInRect(CGRect{CGPointZero, view.bounds().size}, true);
  });
}

std::string SaveSnapshot(const UIImagePtr& image, const std::string& name) {
  const char* dir = std::getenv("QX_SNAPSHOT_DIR");
  if (!dir || !*dir || !image) return "";
  auto data = UIImagePNGRepresentation(image);
  if (!data) return "";
  std::filesystem::create_directories(dir);
  std::string path = std::string(dir) + "/" + name + ".png";
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data->bytes()), std::streamsize(data->length()));
  return out ? path : "";
}

::testing::AssertionResult MatchesGolden(const UIImagePtr& image, const std::string& goldenPath,
                                         int tolerance, size_t maxOffPixels) {
  const char* root = std::getenv("QX_TEST_DATA");
  std::string path = std::string(root ? root : "tests/data") + "/" + goldenPath;
  auto golden = UIImage::imageWithContentsOfFile(path);
  if (!golden || !golden->CGImage()) {
    return ::testing::AssertionFailure() << "no golden image at " << path;
  }
  if (!image || !image->CGImage()) return ::testing::AssertionFailure() << "nothing rendered";
  const auto& a = image->CGImage();
  const auto& b = golden->CGImage();
  if (a->width() != b->width() || a->height() != b->height()) {
    return ::testing::AssertionFailure() << "rendered " << a->width() << "x" << a->height()
                                         << ", golden " << b->width() << "x" << b->height();
  }
  auto pa = RGBAPixels(a), pb = RGBAPixels(b);
  size_t off = 0;
  int worst = 0;
  for (size_t i = 0; i < pa.size(); i += 4) {
    int diff = 0;
    for (size_t k = 0; k < 4; ++k) diff = std::max(diff, std::abs(int(pa[i + k]) - int(pb[i + k])));
    worst = std::max(worst, diff);
    if (diff > tolerance) ++off;
  }
  if (off > maxOffPixels) {
    return ::testing::AssertionFailure() << off << " pixels differ by more than " << tolerance
                                         << " (worst " << worst << ") from " << path;
  }
  return ::testing::AssertionSuccess();
}
