#include "GifTestSupport.h"

#include <chrono>
#include <cmath>

#include "image_loading/ImageLoadingTestSupport.h"
#include "platform/foundation/NSRunLoop.h"
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

NSDataPtr SolidFramesGif(const std::vector<double>& delays, size_t width, size_t height) {
  std::vector<il_test::TestFrame> frames;
  for (size_t i = 0; i < delays.size(); ++i) {
    frames.push_back({kColors[i % kColors.size()], delays[i]});
  }
  return il_test::AnimatedFile("com.compuserve.gif", frames, width, height);
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

bool RunMainLoopUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(kTestTimeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    NSRunLoop::mainRunLoop().runOnce(0.05);
  }
  return true;
}

}  // namespace gif_test
