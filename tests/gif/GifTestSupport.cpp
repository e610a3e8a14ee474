#include "GifTestSupport.h"

#include <chrono>
#include <cmath>

#include "support/images/ImageLoadingTestSupport.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "platform/uikit/UIImageView.h"
#include "support/TestEnvironment.h"

namespace gif_test {

const std::vector<std::array<uint8_t, 4>> kColors = {
    {255, 0, 0, 255},   {0, 255, 0, 255},   {0, 0, 255, 255},     {255, 255, 0, 255},
    {0, 255, 255, 255}, {255, 0, 255, 255}, {128, 128, 128, 255}, {255, 128, 0, 255},
    {128, 0, 255, 255}, {0, 128, 64, 255},
};

NSDataPtr SolidFramesGif(const std::vector<double>& delays, size_t width, size_t height,
                         size_t firstColor) {
  std::vector<il_test::TestFrame> frames;
  for (size_t i = 0; i < delays.size(); ++i) {
    frames.push_back({kColors[(i + firstColor) % kColors.size()], delays[i]});
  }
  return il_test::AnimatedFile("com.compuserve.gif", frames, width, height);
}

NSDataPtr MovingSquareGif(size_t frames) {
  constexpr size_t kWidth = 32, kHeight = 16;
  auto out = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(out, "com.compuserve.gif", frames);
  for (size_t i = 0; i < frames; ++i) {
    auto pixels = std::make_shared<Bytes>(kWidth * kHeight * 4, 255);
    for (size_t y = 4; y < 12; ++y) {
      for (size_t x = 8 * i; x < 8 * i + 8 && x < kWidth; ++x) {
        uint8_t* p = &(*pixels)[(y * kWidth + x) * 4];
        p[1] = p[2] = 0;
      }
    }
    CGImageDestinationAddImage(
        destination,
        CGImage::create(kWidth, kHeight, 8, 32, kWidth * 4, kCGImageAlphaNoneSkipLast, pixels),
        Value::map({{kCGImagePropertyGIFDictionary,
                     Value::map({{kCGImagePropertyGIFUnclampedDelayTime, 0.1}})}}));
  }
  if (!CGImageDestinationFinalize(destination)) return nullptr;
  return NSData::dataWithBytes(*out);
}

NSDataPtr FramelessGif() {
  const uint8_t bytes[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0,
                           0, 0, 0, 255, 255, 255, 0x3B};
  return NSData::dataWithBytes(bytes, sizeof bytes);
}

int FrameOf(const UIImagePtr& image) {
  if (!image || !image->CGImage()) return -1;
  const auto pixel = il_test::PixelAt(image->CGImage(), 0, 0);
  for (size_t i = 0; i < kColors.size(); ++i) {
    if (il_test::Near(pixel, kColors[i])) return static_cast<int>(i);
  }
  return -1;
}

int ShownFrame(const UIImageView& view) { return FrameOf(view.image()); }

void AlignToMidFrame() {
  const double interval = CADisplayLink::kFrameInterval;
  const double phase = std::fmod(PlatformClock::now(), interval) / interval;
  PlatformClock::advance((phase <= 0.5 ? 0.5 - phase : 1.5 - phase) * interval);
}

void Tick(int frames) {
  for (int i = 0; i < frames; ++i) PlatformClock::advance(CADisplayLink::kFrameInterval);
}

void RecordingDelegate::note(const char* event) {
  if (!isMainThread()) offMainThread = true;
  events.push_back(event);
}

}  // namespace gif_test
