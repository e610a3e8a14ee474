#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/coreimage/CIDetector.h"
#include "platform/coreimage/internal/CIQRCodeScanner.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "support/TestEnvironment.h"

namespace ci_detector_test {

namespace {

const std::string kURL = "https://example.com/gallery?id=42";

CGImageRef LoadPNG(const std::string& name) {
  const char* root = std::getenv("QX_TEST_DATA");
  Bytes bytes;
  EXPECT_TRUE(ReadFileContents(std::string(root ? root : "tests/data") + "/coreimage/" + name, bytes))
      << name;
  auto source = CGImageSourceCreateWithData(NSData::dataWithBytes(bytes));
  return source ? CGImageSourceCreateImageAtIndex(source, 0) : nullptr;
}

// A white canvas with the images drawn at their rectangles (Core Graphics
// coordinates: y up from the bottom row).
CGImageRef Canvas(size_t width, size_t height,
                  const std::vector<std::pair<CGImageRef, CGRect>>& images,
                  uint32_t info = kCGImageAlphaPremultipliedLast) {
  auto c = CGBitmapContextCreate(nullptr, width, height, 8, width * 4,
                                 CGColorSpaceCreateDeviceRGB(), info);
  CGContextSetRGBFillColor(c, 1, 1, 1, 1);
  CGContextFillRect(c, CGRectMake(0, 0, double(width), double(height)));
  CGContextSetInterpolationQuality(c, kCGInterpolationNone);
  for (const auto& [image, rect] : images) CGContextDrawImage(c, rect, image);
  return CGBitmapContextCreateImage(c);
}

// The image with outlines of what was found, for a person to look at.
void SaveSnapshot(const CGImageRef& image, const std::vector<CIFeatureRef>& features,
                  const std::string& name, CGPoint origin = CGPointZero) {
  const char* dir = std::getenv("QX_SNAPSHOT_DIR");
  if (!dir || !*dir) return;
  auto c = CGBitmapContextCreate(nullptr, image->width(), image->height(), 8, image->width() * 4,
                                 CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast);
  CGContextDrawImage(c, CGRectMake(0, 0, double(image->width()), double(image->height())), image);
  CGContextSetRGBStrokeColor(c, 1, 0, 0, 1);
  for (const auto& f : features) {
    CGContextStrokeRectWithWidth(c, CGRectOffset(f->bounds(), -origin.x, -origin.y), 3);
  }
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  CGImageDestinationAddImage(dest, CGBitmapContextCreateImage(c), Value());
  ASSERT_TRUE(CGImageDestinationFinalize(dest));
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(WriteFileAtomically(std::string(dir) + "/" + name + ".png", data->data(), data->size()));
}

std::shared_ptr<CIQRCodeFeature> QR(const CIFeatureRef& f) {
  return std::dynamic_pointer_cast<CIQRCodeFeature>(f);
}

class RecordingScanner : public CIQRCodeScanner {
 public:
  std::vector<CIQRCodeSymbol> scan(const uint8_t* luma, size_t width, size_t height) override {
    sizes.emplace_back(width, height);
    auto [low, high] = std::minmax_element(luma, luma + width * height);
    levels.emplace_back(*low, *high);
    // A code whose outline is the scanned image's top-left quarter.
    double w = double(width) / 2, h = double(height) / 2;
    return {{"scripted", {{0, 0}, {0, h}, {w, h}, {w, 0}}}};
  }
  std::vector<std::pair<size_t, size_t>> sizes;
  std::vector<std::pair<int, int>> levels;  // darkest and lightest luma seen
};

class CIDetectorTest : public PlatformTest {
 protected:
  void TearDown() override {
    CIQRCodeScanner::setDefaultScanner(nullptr);
    PlatformTest::TearDown();
  }
  CIDetectorRef high_ = CIDetector::detectorOfType(
      CIDetectorTypeQRCode, nullptr, Value::map({{CIDetectorAccuracy, CIDetectorAccuracyHigh}}));
};

}  // namespace

TEST_F(CIDetectorTest, ReadsCodesFromFilesWithTheirTextAndPlace) {
  ASSERT_TRUE(high_);
  EXPECT_EQ(high_->accuracy(), CIDetector::Accuracy::High);
  auto url = CIImage::imageWithCGImage(LoadPNG("qr-url.png"));
  auto features = high_->featuresInImage(url);
  ASSERT_EQ(features.size(), 1u);
  auto qr = QR(features[0]);
  ASSERT_TRUE(qr);
  EXPECT_EQ(qr->type(), "QRCode");
  EXPECT_EQ(qr->messageString(), kURL);
  // qrencode's margin is four modules of six pixels: the code spans 24...198.
  CGRect b = qr->bounds();
  EXPECT_NEAR(b.origin.x, 24, 4);
  EXPECT_NEAR(b.origin.y, 24, 4);
  EXPECT_NEAR(CGRectGetMaxX(b), 198, 4);
  EXPECT_NEAR(CGRectGetMaxY(b), 198, 4);
  // Upright: top corners above (greater y) the bottom ones, left of the right ones.
  EXPECT_GT(qr->topLeft().y, qr->bottomLeft().y + 100);
  EXPECT_GT(qr->topRight().y, qr->bottomRight().y + 100);
  EXPECT_LT(qr->topLeft().x + 100, qr->topRight().x);
  EXPECT_LT(qr->bottomLeft().x + 100, qr->bottomRight().x);
  SaveSnapshot(url->cgImage(), features, "coreimage_qr_url");

  auto text = high_->featuresInImage(CIImage::imageWithCGImage(LoadPNG("qr-text.png")));
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(QR(text[0])->messageString(), "Line one\nZeile zwei: grüße\nline three");
  auto mail = high_->featuresInImage(CIImage::imageWithCGImage(LoadPNG("qr-mailto.png")));
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_EQ(QR(mail[0])->messageString(), "mailto:someone@example.com");
}

TEST_F(CIDetectorTest, BoundsFollowTheCodeInCoreImageCoordinates) {
  auto code = LoadPNG("qr-url.png");
  // Drawn near the top-right of a wider canvas, at twice its size, and a
  // second code near the bottom-left: both read, each where it is.
  auto canvas = Canvas(1000, 700, {{code, CGRectMake(500, 200, 444, 444)},
                                   {LoadPNG("qr-mailto.png"), CGRectMake(20, 10, 198, 198)}});
  auto image = CIImage::imageWithCGImage(canvas, CGPointMake(-100, 50));
  auto features = high_->featuresInImage(image);
  ASSERT_EQ(features.size(), 2u);
  auto url = QR(features[0])->messageString() == kURL ? features[0] : features[1];
  auto mail = url == features[0] ? features[1] : features[0];
  EXPECT_EQ(QR(mail)->messageString(), "mailto:someone@example.com");
  CGRect b = url->bounds();
  EXPECT_NEAR(b.origin.x, -100 + 500 + 48, 6);
  EXPECT_NEAR(b.origin.y, 50 + 200 + 48, 6);
  EXPECT_NEAR(b.size.width, 348, 8);
  EXPECT_NEAR(b.size.height, 348, 8);
  CGRect m = mail->bounds();
  EXPECT_NEAR(m.origin.x, -100 + 20 + 24, 6);
  EXPECT_NEAR(m.origin.y, 50 + 10 + 24, 6);
  SaveSnapshot(canvas, {url, mail}, "coreimage_qr_two_codes", CGPointMake(-100, 50));

  // Turned a quarter counter-clockwise: still read, and its corners turned
  // with it (its top-left corner now at the bottom left of the picture).
  auto c = CGBitmapContextCreate(nullptr, 222, 222, 8, 222 * 4, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextTranslateCTM(c, 222, 0);
  CGContextRotateCTM(c, M_PI / 2);
  CGContextDrawImage(c, CGRectMake(0, 0, 222, 222), code);
  auto turned = high_->featuresInImage(CIImage::imageWithCGImage(CGBitmapContextCreateImage(c)));
  ASSERT_EQ(turned.size(), 1u);
  auto t = QR(turned[0]);
  EXPECT_EQ(t->messageString(), kURL);
  EXPECT_LT(t->topLeft().x, 111);
  EXPECT_LT(t->topLeft().y, 111);
  EXPECT_LT(t->topRight().x, 111);
  EXPECT_GT(t->topRight().y, 111);
  EXPECT_GT(t->bottomRight().x, 111);
}

TEST_F(CIDetectorTest, ReadsAnyPixelLayoutAndTransparentPaper) {
  auto code = LoadPNG("qr-url.png");
  for (uint32_t info : {uint32_t(kCGImageAlphaPremultipliedFirst) | kCGBitmapByteOrder32Little,
                        uint32_t(kCGImageAlphaNoneSkipLast)}) {
    auto features = high_->featuresInImage(
        CIImage::imageWithCGImage(Canvas(300, 300, {{code, CGRectMake(39, 39, 222, 222)}}, info)));
    ASSERT_EQ(features.size(), 1u) << info;
    EXPECT_EQ(QR(features[0])->messageString(), kURL);
  }
  // Dark modules on transparent paper, straight alpha: the paper reads as
  // white, as printed codes do; read as black it would hide the code.
  auto pixels = code->pixelData();
  auto layout = CGPixelLayout::forBitmapInfo(code->bitmapInfo());
  auto clear = std::make_shared<Bytes>(code->width() * code->height() * 4, 0);
  for (size_t y = 0; y < code->height(); ++y) {
    for (size_t x = 0; x < code->width(); ++x) {
      const uint8_t* p = pixels->data() + y * code->bytesPerRow() + x * 4;
      if (p[layout.r] < 128) (*clear)[(y * code->width() + x) * 4 + 3] = 255;
    }
  }
  auto transparent = CGImage::create(code->width(), code->height(), 8, 32, code->width() * 4,
                                     kCGImageAlphaLast, clear);
  auto features = high_->featuresInImage(CIImage::imageWithCGImage(transparent));
  ASSERT_EQ(features.size(), 1u);
  EXPECT_EQ(QR(features[0])->messageString(), kURL);
}

TEST_F(CIDetectorTest, NothingToReadGivesNoFeaturesAndOnlyQRDetectorsExist) {
  EXPECT_FALSE(CIDetector::detectorOfType(CIDetectorTypeFace, nullptr));
  EXPECT_FALSE(CIDetector::detectorOfType("QRCode", nullptr));
  EXPECT_EQ(CIDetector::detectorOfType(CIDetectorTypeQRCode, nullptr)->accuracy(),
            CIDetector::Accuracy::High);
  EXPECT_TRUE(high_->featuresInImage(nullptr).empty());
  EXPECT_TRUE(high_->featuresInImage(CIImage::imageWithColor(CIColor::colorWithRed(1, 1, 1)))
                  .empty());
  EXPECT_TRUE(high_->featuresInImage(CIImage::imageWithCGImage(Canvas(640, 480, {}))).empty());
  // Half a code is no code.
  auto code = LoadPNG("qr-url.png");
  auto half = CGImageCreateWithImageInRect(code, CGRectMake(0, 0, 222, 111));
  EXPECT_TRUE(high_->featuresInImage(CIImage::imageWithCGImage(half)).empty());
}

TEST_F(CIDetectorTest, AccuracyDecidesTheScaleTheScannerSees) {
  auto scanner = std::make_shared<RecordingScanner>();
  CIQRCodeScanner::setDefaultScanner(scanner);
  auto low = CIDetector::detectorOfType(CIDetectorTypeQRCode, nullptr,
                                        Value::map({{CIDetectorAccuracy, CIDetectorAccuracyLow}}));
  ASSERT_EQ(low->accuracy(), CIDetector::Accuracy::Low);
  // A grey picture: whole or shrunk, every luma pixel is that grey.
  auto c = CGBitmapContextCreate(nullptr, 4000, 3000, 8, 4000 * 4, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextSetRGBFillColor(c, 0.4, 0.4, 0.4, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 4000, 3000));
  auto photo = CIImage::imageWithCGImage(CGBitmapContextCreateImage(c));
  auto atHigh = high_->featuresInImage(photo);
  auto atLow = low->featuresInImage(photo);
  ASSERT_EQ(scanner->sizes.size(), 2u);
  EXPECT_EQ(scanner->levels[0], std::make_pair(102, 102));
  EXPECT_EQ(scanner->levels[1], std::make_pair(102, 102));
  EXPECT_EQ(scanner->sizes[0], std::make_pair(size_t(4000), size_t(3000)));
  // Low: the smallest whole factor within 2 Mi pixels (3: 1333 x 1000).
  EXPECT_EQ(scanner->sizes[1], std::make_pair(size_t(1333), size_t(1000)));
  // What the scanner found maps back to the whole image either way: the
  // top-left quarter, in y-up coordinates.
  for (const auto& found : {atHigh, atLow}) {
    ASSERT_EQ(found.size(), 1u);
    CGRect b = found[0]->bounds();
    EXPECT_NEAR(b.origin.x, 0, 3);
    EXPECT_NEAR(b.origin.y, 1500, 3);
    EXPECT_NEAR(b.size.width, 2000, 3);
    EXPECT_NEAR(b.size.height, 1500, 3);
    EXPECT_EQ(QR(found[0])->messageString(), "scripted");
  }
  // Bytes that are not UTF-8 read as ISO 8859-1; data bytes have no text.
  class Binary : public CIQRCodeScanner {
    std::vector<CIQRCodeSymbol> scan(const uint8_t*, size_t, size_t) override {
      return {{std::string("caf\xe9 cr\xe8me", 10), {{1, 1}, {1, 5}, {5, 5}, {5, 1}}},
              {std::string("\x01\x02zip", 5), {{1, 1}}},
              {std::string("ab\x85", 3), {{1, 1}}},
              {std::string("tab\tand\r\n", 9), {{1, 1}}},
              {std::string("esc\x1b[0m", 7), {{1, 1}}}};
    }
  };
  CIQRCodeScanner::setDefaultScanner(std::make_shared<Binary>());
  auto binary = high_->featuresInImage(photo);
  ASSERT_EQ(binary.size(), 5u);
  EXPECT_FALSE(QR(binary[4])->messageString());
  EXPECT_EQ(QR(binary[0])->messageString(), "café crème");
  EXPECT_FALSE(QR(binary[1])->messageString());
  EXPECT_FALSE(QR(binary[2])->messageString());
  EXPECT_EQ(QR(binary[3])->messageString(), "tab\tand\r\n");
  // A single corner still makes a feature, at that point.
  EXPECT_TRUE(CGRectEqualToRect(binary[1]->bounds(), CGRectMake(1, 2999, 0, 0)));
}

TEST_F(CIDetectorTest, HugeImagesAreReadInBandsOrRefusedWithoutDecodingWhole) {
  // 20,000 x 20,000 pixels (1.6 GB as one bitmap), the code blown up 90
  // times: rows are produced band by band and the whole bitmap never exists.
  auto code = LoadPNG("qr-url.png");
  auto small = code->pixelData();
  auto layout = CGPixelLayout::forBitmapInfo(code->bitmapInfo());
  const size_t side = 20000, blow = 90;
  // Each row of the code blown up once; bands copy them.
  std::vector<Bytes> wide(code->height(), Bytes(side * 4, 255));
  for (size_t y = 0; y < code->height(); ++y) {
    for (size_t x = 0; x < side; ++x) {
      size_t sx = std::min(x / blow, code->width() - 1);
      if (small->data()[y * code->bytesPerRow() + sx * 4 + layout.r] < 128) {
        std::fill_n(wide[y].data() + x * 4, 3, 0);
      }
    }
  }
  std::atomic<int> wholeCalls{0};
  std::atomic<size_t> largestBand{0};
  auto rows = [&](size_t first, size_t count) {
    largestBand = std::max<size_t>(largestBand, count);
    auto out = std::make_shared<Bytes>(count * side * 4);
    for (size_t i = 0; i < count; ++i) {
      const Bytes& row = wide[std::min((first + i) / blow, code->height() - 1)];
      std::copy(row.begin(), row.end(), out->begin() + i * side * 4);
    }
    return std::shared_ptr<const Bytes>(out);
  };
  auto whole = [&] {
    ++wholeCalls;
    return std::shared_ptr<const Bytes>();
  };
  auto huge = CGImage::createLazy(side, side, 8, 32, side * 4, kCGImageAlphaNoneSkipLast, whole,
                                  "kCGColorSpaceSRGB", rows);
  auto features = high_->featuresInImage(CIImage::imageWithCGImage(huge));
  ASSERT_EQ(features.size(), 1u);
  EXPECT_EQ(QR(features[0])->messageString(), kURL);
  EXPECT_NEAR(features[0]->bounds().origin.x, 24.0 * blow, 2.0 * blow);
  EXPECT_EQ(wholeCalls, 0);
  EXPECT_LE(largestBand.load(), 260u);

  // Without a row source such an image is refused before any decoding.
  auto opaque = CGImage::createLazy(side, side, 8, 32, side * 4, kCGImageAlphaNoneSkipLast, whole);
  EXPECT_TRUE(high_->featuresInImage(CIImage::imageWithCGImage(opaque)).empty());
  EXPECT_EQ(wholeCalls, 0);
  // A band that fails to decode ends the read without features.
  auto failing = CGImage::createLazy(side, side, 8, 32, side * 4, kCGImageAlphaNoneSkipLast, whole,
                                     "kCGColorSpaceSRGB", [&](size_t first, size_t count) {
                                       return first < 5000 ? rows(first, count) : nullptr;
                                     });
  EXPECT_TRUE(high_->featuresInImage(CIImage::imageWithCGImage(failing)).empty());
  EXPECT_EQ(wholeCalls, 0);
}

}  // namespace ci_detector_test
