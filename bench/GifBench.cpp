// GIF playback costs. A frame of a 100-frame 500 x 500 GIF decoded as a
// playing view asks for it (image source, then the pixels), beside giflib
// decoding and compositing the same frames by hand; and the main thread's
// time for one display-link tick with 20 managed views, with and without
// frame caches, and with the shown frames' pixels produced as a display
// would.

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "gif/AnimGifManager.h"
#include "gif/UIImageAnimGif.h"
#include "gif/UIImageViewAnimGif.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

namespace {

// A ball moving over a banded background: each frame differs from the last
// in part, as real animations do; 64 colours.
CGImageRef AnimationFrame(size_t side, size_t index, size_t frames) {
  auto bytes = std::make_shared<Bytes>(side * side * 4);
  const double t = double(index) / double(frames);
  const double cx = side * (0.5 + 0.35 * std::cos(t * 6.2832));
  const double cy = side * (0.5 + 0.35 * std::sin(t * 6.2832));
  const double r = side * 0.12;
  for (size_t y = 0; y < side; ++y) {
    for (size_t x = 0; x < side; ++x) {
      uint8_t* p = &(*bytes)[(y * side + x) * 4];
      const bool ball = (x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r;
      p[0] = ball ? 255 : uint8_t(((x + index * 4) / 32 % 4) * 64);
      p[1] = ball ? 192 : uint8_t((y / 32 % 4) * 64);
      p[2] = ball ? 0 : uint8_t(((x + y) / 64 % 4) * 64);
      p[3] = 255;
    }
  }
  return CGImage::create(side, side, 8, 32, side * 4, kCGImageAlphaNoneSkipLast, bytes);
}

NSDataPtr MakeGif(size_t side, size_t frames, double delay) {
  auto out = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(out, "com.compuserve.gif", frames);
  for (size_t i = 0; i < frames; ++i) {
    CGImageDestinationAddImage(
        dest, AnimationFrame(side, i, frames),
        Value::map({{kCGImagePropertyGIFDictionary,
                     Value::map({{kCGImagePropertyGIFUnclampedDelayTime, delay}})}}));
  }
  CGImageDestinationFinalize(dest);
  return NSData::dataWithBytes(*out);
}

const NSDataPtr& LargeGif() {
  static const NSDataPtr data = MakeGif(500, 100, 0.04);
  return data;
}

// Each source frame in turn, as a playing view asks for it when its slot
// moves to a new frame: the image from the source, then its pixels.
void OursFrameDecode(benchmark::State& state) {
  auto image = AnimGif::imageWithGifData(LargeGif(), AnimGif::LevelOfIntegrity::defaultLevel);
  CGImageSourceRef source = AnimGif::imageSource(*image);
  const size_t frames = CGImageSourceGetCount(source);
  size_t frame = 0;
  UIImagePtr shown;
  for (auto _ : state) {
    // The frame shown until now stays alive meanwhile, as on screen.
    UIImagePtr next = UIImage::imageWithCGImage(CGImageSourceCreateImageAtIndex(source, frame));
    benchmark::DoNotOptimize(next->CGImage()->pixelData());
    shown = std::move(next);
    frame = (frame + 1) % frames;
  }
}

// A view without a frame cache going slot by slot through its schedule,
// the shown frame's pixels produced each time: the cost per slot.
void ViewSlotsWithoutCache(benchmark::State& state) {
  auto image = AnimGif::imageWithGifData(LargeGif(), AnimGif::LevelOfIntegrity::defaultLevel);
  auto view = std::make_shared<UIImageView>();
  auto manager = std::make_shared<AnimGifManager>(0);
  AnimGif::setGifImage(view, image, manager, -1);
  const int64_t slots = AnimGif::framesCount(*image);
  int64_t slot = 0;
  for (auto _ : state) {
    AnimGif::showFrameAtIndex(view, slot);
    benchmark::DoNotOptimize(AnimGif::currentImage(*view)->CGImage()->pixelData());
    slot = (slot + 1) % slots;
  }
  state.counters["slots"] = double(slots);
  manager->clear();
}

struct MemoryReader {
  const Bytes* data;
  size_t pos = 0;
};

int ReadMemory(GifFileType* gif, GifByteType* out, int n) {
  auto* r = static_cast<MemoryReader*>(gif->UserData);
  const size_t take = std::min<size_t>(size_t(n), r->data->size() - r->pos);
  std::memcpy(out, r->data->data() + r->pos, take);
  r->pos += take;
  return int(take);
}

// giflib reading one frame at a time and compositing it over an RGBA
// canvas with its disposal and transparency: the work any GIF player does.
class RawGifPlayer {
 public:
  explicit RawGifPlayer(const Bytes& data) : reader_{&data} { open(); }
  ~RawGifPlayer() { close(); }

  const std::vector<uint8_t>& nextFrame() {
    for (;;) {
      GifRecordType type;
      if (DGifGetRecordType(gif_, &type) == GIF_ERROR || type == TERMINATE_RECORD_TYPE) {
        close();
        open();
        continue;
      }
      if (type == EXTENSION_RECORD_TYPE) {
        readExtension();
      } else if (type == IMAGE_DESC_RECORD_TYPE) {
        readImage();
        return canvas_;
      }
    }
  }

 private:
  void open() {
    reader_.pos = 0;
    int error = 0;
    gif_ = DGifOpen(&reader_, ReadMemory, &error);
    canvas_.assign(size_t(gif_->SWidth) * gif_->SHeight * 4, 0);
  }
  void close() {
    int error = 0;
    if (gif_) DGifCloseFile(gif_, &error);
    gif_ = nullptr;
  }
  void readExtension() {
    int code = 0;
    GifByteType* block = nullptr;
    DGifGetExtension(gif_, &code, &block);
    if (code == GRAPHICS_EXT_FUNC_CODE && block) DGifExtensionToGCB(block[0], block + 1, &gcb_);
    while (block) DGifGetExtensionNext(gif_, &block);
  }
  void readImage() {
    DGifGetImageDesc(gif_);
    const GifImageDesc& d = gif_->Image;
    const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif_->SColorMap;
    line_.resize(size_t(d.Width));
    for (int y = 0; y < d.Height; ++y) {
      DGifGetLine(gif_, line_.data(), d.Width);
      if (!map || d.Top + y >= gif_->SHeight) continue;
      uint8_t* row = &canvas_[(size_t(d.Top + y) * gif_->SWidth + d.Left) * 4];
      for (int x = 0; x < d.Width && d.Left + x < gif_->SWidth; ++x) {
        const int index = line_[size_t(x)];
        if (index == gcb_.TransparentColor || index >= map->ColorCount) continue;
        const GifColorType& c = map->Colors[index];
        row[x * 4] = c.Red;
        row[x * 4 + 1] = c.Green;
        row[x * 4 + 2] = c.Blue;
        row[x * 4 + 3] = 255;
      }
    }
  }

  MemoryReader reader_;
  GifFileType* gif_ = nullptr;
  GraphicsControlBlock gcb_{};
  std::vector<uint8_t> canvas_;
  std::vector<GifPixelType> line_;
};

void GiflibFrameDecode(benchmark::State& state) {
  RawGifPlayer player(LargeGif()->vector());
  for (auto _ : state) benchmark::DoNotOptimize(player.nextFrame().data());
}

// One tick of a manager driving 20 views on screen, each playing a 20-frame
// 100 x 100 GIF forever. Argument 0: frame caches allowed; 1: over budget.
// Argument 2 of the second range: the shown frames' pixels are produced too.
void TickWith20Views(benchmark::State& state) {
  const bool cached = state.range(0) == 0;
  const bool draw = state.range(1) != 0;
  static const NSDataPtr data = MakeGif(100, 20, 0.05);
  auto window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
  auto manager = std::make_shared<AnimGifManager>(cached ? 1000 : -1);
  std::vector<UIImageViewPtr> views;
  for (int i = 0; i < 20; ++i) {
    auto view = std::make_shared<UIImageView>(CGRectMake((i % 4) * 95, (i / 4) * 160, 90, 90));
    window->addSubview(view);
    AnimGif::setGifImage(view, AnimGif::imageWithGifData(data, 0.8f), manager, -1);
    views.push_back(view);
  }
  for (auto _ : state) {
    manager->updateImageView();
    if (draw) {
      for (const auto& view : views) benchmark::DoNotOptimize(view->image()->CGImage()->pixelData());
    }
  }
  state.counters["cached"] = AnimGif::frameCacheBuilt(*views[0]) ? 1 : 0;
  manager->clear();
}

}  // namespace

BENCHMARK(OursFrameDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(ViewSlotsWithoutCache)->Unit(benchmark::kMicrosecond);
BENCHMARK(GiflibFrameDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(TickWith20Views)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
