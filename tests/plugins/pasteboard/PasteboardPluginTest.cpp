#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/flutter/FlutterCodec.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIPasteboard.h"
#include "plugins/pasteboard/PasteboardPlugin.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace pasteboard_plugin_test {

namespace {

const Bytes kPNGSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

UIImagePtr checkerImage(size_t width, size_t height) {
  auto pixels = std::make_shared<Bytes>(width * height * 4);
  for (size_t i = 0; i < width * height; ++i) {
    uint8_t v = ((i % width) + (i / width)) % 2 ? 255 : 0;
    (*pixels)[i * 4 + 0] = v;
    (*pixels)[i * 4 + 1] = 255 - v;
    (*pixels)[i * 4 + 2] = 40;
    (*pixels)[i * 4 + 3] = 255;
  }
  return UIImage::imageWithCGImage(
      CGImage::create(width, height, 8, 32, width * 4,
                      kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big, pixels));
}

Bytes pngBytes(size_t width, size_t height) {
  auto data = UIImagePNGRepresentation(checkerImage(width, height));
  return data ? data->vector() : Bytes();
}

bool startsWith(const Bytes& bytes, const Bytes& prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

class PasteboardPluginTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    PasteboardPlugin::registerWithRegistrar(peer_.registrar("PasteboardPlugin"));
    board_->setItems({});
  }
  FlutterMethodOutcome call(const std::string& method, const Value& args = Value()) {
    return peer_.call("pasteboard", method, args);
  }

  TestPeer peer_;
  std::shared_ptr<UIPasteboard> board_ = UIPasteboard::generalPasteboard();
};

TEST_F(PasteboardPluginTest, WrittenPNGComesBackAsPNGOfTheSameSize) {
  Bytes png = pngBytes(37, 21);
  ASSERT_TRUE(startsWith(png, kPNGSignature));
  EXPECT_TRUE(IsSuccess(call("writeImage", FlutterStandardTypedData::typedDataWithBytes(png))));
  EXPECT_TRUE(board_->hasImages());

  auto o = call("image");
  ASSERT_TRUE(IsSuccess(o));
  ASSERT_TRUE(o.result.isBytes());
  EXPECT_TRUE(startsWith(o.result.asBytes(), kPNGSignature));
  auto back = UIImage::imageWithData(NSData::dataWithBytes(o.result.asBytes()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->size(), CGSizeMake(37, 21));
}

TEST_F(PasteboardPluginTest, AJPEGPhotoIsReencodedAsPNG) {
  auto jpeg = UIImageJPEGRepresentation(checkerImage(16, 12), 0.8);
  ASSERT_NE(jpeg, nullptr);
  board_->setItems({{{Value("public.jpeg"), Value::bytes(jpeg->vector())}}});

  auto o = call("image");
  ASSERT_TRUE(o.result.isBytes());
  EXPECT_TRUE(startsWith(o.result.asBytes(), kPNGSignature));
  EXPECT_EQ(UIImage::imageWithData(NSData::dataWithBytes(o.result.asBytes()))->size(),
            CGSizeMake(16, 12));
}

TEST_F(PasteboardPluginTest, TextOnlyOrEmptyPasteboardHasNoImage) {
  EXPECT_TRUE(call("image").result.isNull());
  board_->setString(std::string("hello"));
  auto o = call("image");
  EXPECT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
  EXPECT_EQ(board_->string(), "hello");
}

TEST_F(PasteboardPluginTest, UndecodableBytesAreRefusedAndChangeNothing) {
  board_->setString(std::string("keep me"));
  int64_t count = board_->changeCount();

  auto o = call("writeImage", FlutterStandardTypedData::typedDataWithBytes({1, 2, 3, 4}));
  ASSERT_TRUE(IsError(o, "0"));
  EXPECT_EQ(o.message, "data is not a decodable image");
  EXPECT_TRUE(o.details.isNull());

  o = call("writeImage", Value("not bytes"));
  ASSERT_TRUE(IsError(o, "0"));
  EXPECT_EQ(o.message, "arguments is not data");
  EXPECT_TRUE(IsError(call("writeImage"), "0"));

  EXPECT_EQ(board_->changeCount(), count);
  EXPECT_EQ(board_->string(), "keep me");
  EXPECT_FALSE(board_->hasImages());
}

TEST_F(PasteboardPluginTest, FileMethodsOnlyCheckTheirArguments) {
  board_->setString(std::string("x"));
  int64_t count = board_->changeCount();
  EXPECT_TRUE(IsSuccess(call("files")));
  EXPECT_TRUE(call("files", Value::list({"/a"})).result.isNull());
  EXPECT_TRUE(IsSuccess(call("writeFiles", Value::list({}))));
  EXPECT_TRUE(IsSuccess(call("writeFiles", Value::list({"/a", "/b"}))));

  for (const Value& bad : {Value::list({"/a", 3}), Value("/a"), Value()}) {
    auto o = call("writeFiles", bad);
    ASSERT_TRUE(IsError(o, "0"));
    EXPECT_EQ(o.message, "arguments is not String list.");
  }
  EXPECT_EQ(board_->changeCount(), count);
  EXPECT_TRUE(IsNotImplemented(call("writeText", Value("x"))));
}

TEST_F(PasteboardPluginTest, ImageWorkLeavesTheMainThreadAndEncodesOncePerWrite) {
  auto codec = FlutterStandardMethodCodec::sharedInstance();
  auto replied = std::make_shared<bool>(false);
  const int64_t changesBefore = board_->changeCount();
  peer_.engine()->handleMessageFromDart(
      "pasteboard",
      FlutterMakeMessage(codec->encodeMethodCall(
          {"writeImage", FlutterStandardTypedData::typedDataWithBytes(pngBytes(64, 48))})),
      [replied](FlutterBinaryMessage) { *replied = true; });
  // The handler returned without decoding, and the image is decoded, encoded
  // and stored while the main thread waits here without running its loop:
  // the work is elsewhere. The reply comes later, from the main loop.
  EXPECT_FALSE(*replied);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(kTestTimeoutSeconds);
  while (board_->changeCount() == changesBefore && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_NE(board_->changeCount(), changesBefore) << "stored only with the main loop's help";
  EXPECT_FALSE(*replied);
  ASSERT_TRUE(TestPeer::pumpUntil([&] { return *replied; }));

  // Kept as the PNG made at the write, and handed out as those very bytes.
  auto items = board_->items();
  ASSERT_EQ(items.size(), 1u);
  const Value* stored = ValueMapFind(items[0], "public.png");
  ASSERT_TRUE(stored && stored->isBytes());
  for (int read = 0; read < 2; ++read) {
    auto o = call("image");
    ASSERT_TRUE(IsSuccess(o));
    EXPECT_EQ(o.result.asBytes(), stored->asBytes());
  }
  EXPECT_EQ(board_->image()->size(), CGSizeMake(64, 48));
}

TEST_F(PasteboardPluginTest, ALargeImageComesBackAsAFastPNGOfTheSamePixels) {
  // Four megapixels, the size from which the fast band writer takes over; a
  // 64-megapixel photo goes the same way (its speed is in the benchmarks).
  auto image = checkerImage(2048, 2048);
  board_->setImage(image);
  auto o = call("image");
  ASSERT_TRUE(IsSuccess(o));
  ASSERT_TRUE(o.result.isBytes());
  const Bytes& png = o.result.asBytes();
  ASSERT_TRUE(startsWith(png, kPNGSignature));
  // The first image data chunk starts with the zlib header, whose level
  // bits say fastest.
  size_t pos = 8;
  while (pos + 14 <= png.size() && std::string(png.begin() + pos + 4, png.begin() + pos + 8) != "IDAT") {
    pos += 12 + (size_t(png[pos]) << 24 | size_t(png[pos + 1]) << 16 | png[pos + 2] << 8 | png[pos + 3]);
  }
  ASSERT_LE(pos + 14, png.size());
  EXPECT_EQ(png[pos + 9] >> 6, 0);
  auto back = UIImage::imageWithData(NSData::dataWithBytes(png));
  ASSERT_NE(back, nullptr);
  auto got = CGImageCopyPremultipliedRGBA(*back->CGImage());
  auto want = CGImageCopyPremultipliedRGBA(*image->CGImage());
  ASSERT_TRUE(got && want);
  EXPECT_TRUE(*got == *want);
}

TEST_F(PasteboardPluginTest, DataWhosePixelsDoNotDecodeIsRefused) {
  auto jpeg = UIImageJPEGRepresentation(checkerImage(32, 32), 0.9);
  ASSERT_NE(jpeg, nullptr);
  Bytes bytes = jpeg->vector();
  // Everything from the first scan on is cut: the header still reads.
  size_t sos = 0;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) {
      sos = i;
      break;
    }
  }
  ASSERT_GT(sos, 0u);
  bytes.resize(sos);
  bytes.insert(bytes.end(), {0xFF, 0xD9});
  board_->setString(std::string("keep me"));
  const int64_t count = board_->changeCount();
  auto o = call("writeImage", FlutterStandardTypedData::typedDataWithBytes(bytes));
  EXPECT_EQ(o.kind, FlutterMethodOutcome::Kind::Error);
  EXPECT_EQ(o.message, std::optional<std::string>("data is not a decodable image"));
  EXPECT_EQ(board_->changeCount(), count);
  EXPECT_EQ(board_->string(), "keep me");
}

}  // namespace

}  // namespace pasteboard_plugin_test
