#pragma once

// What the GIF playback tests share: GIF files of solid frames told apart
// by colour, a delegate that records what it is told, and ticks of the
// display link on the manual clock.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gif/UIImageViewAnimGif.h"
#include "platform/foundation/NSData.h"
#include "support/TestEnvironment.h"

class UIImageView;

namespace gif_test {

// Frame colours, in frame order.
extern const std::vector<std::array<uint8_t, 4>> kColors;

// A GIF of `delays.size()` solid frames coloured from kColors, frame i in
// colour i + firstColor (round the list).
NSDataPtr SolidFramesGif(const std::vector<double>& delays, size_t width = 8,
                         size_t height = 8, size_t firstColor = 0);

// 32 x 16 pixels of white with an 8 x 8 red square at (8 × frame, 4):
// a square moving right, 0.1 s a frame.
NSDataPtr MovingSquareGif(size_t frames);

// Header, screen and colour table, then the trailer: a GIF without frames.
NSDataPtr FramelessGif();

// Which frame of kColors the view shows now; -1 for no image or another
// picture.
int ShownFrame(const UIImageView& view);
// The same for an image.
int FrameOf(const UIImagePtr& image);

// Puts the manual clock half a frame past the display grid, before any
// link runs, so that each Tick() below is exactly one display-link tick.
void AlignToMidFrame();
// Advances the manual clock by whole display frames.
void Tick(int frames = 1);

using ::RunMainLoopUntil;  // from the test environment

// Records each message in order, and whether any came off the main thread.
class RecordingDelegate : public AnimGifDelegate {
 public:
  void gifDidStartWithSender(const UIImageViewPtr&) override { note("start"); }
  void gifDidLoopWithSender(const UIImageViewPtr&) override { note("loop"); }
  void gifDidStopWithSender(const UIImageViewPtr&) override { note("stop"); }
  void gifURLDidFinishWithSender(const UIImageViewPtr&) override { note("finish"); }
  void gifURLDidFailWithSender(const UIImageViewPtr&, const NSURLPtr&,
                               const NSErrorPtr& error) override {
    note("fail");
    lastError = error;
  }

  std::vector<std::string> events;
  NSErrorPtr lastError;
  bool offMainThread = false;

 private:
  void note(const char* event);
};

}  // namespace gif_test
