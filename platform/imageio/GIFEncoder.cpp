// GIF through giflib, with the palette of each frame made by ColorQuantize
// (giflib has no quantiser). Frames are written whole with a local colour
// table; frames with transparency are restored to the background after
// display so that the next frame does not show through.

#include <gif_lib.h>

#include <algorithm>

#include "platform/imageio/ColorQuantizer.h"
#include "platform/imageio/internal/ImageEncoder.h"

namespace {

int WriteToBytes(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

bool PutLoopCount(GifFileType* gif, uint32_t loops) {
  const uint16_t n = uint16_t(std::min<uint32_t>(loops, 65535));
  GifByteType block[3] = {1, GifByteType(n & 0xFF), GifByteType(n >> 8)};
  return EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
         EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0") == GIF_OK &&
         EGifPutExtensionBlock(gif, 3, block) == GIF_OK && EGifPutExtensionTrailer(gif) == GIF_OK;
}

bool PutFrame(GifFileType* gif, const EncodeFrame& frame, bool animated, bool clearAfter) {
  const ImageBitmap& b = frame.bitmap;
  QuantizedImage q = ColorQuantize(b);
  int colors = 2;
  while (colors < int(q.palette.size() / 3)) colors *= 2;
  ColorMapObject* map = GifMakeMapObject(colors, nullptr);
  if (!map) return false;
  for (int i = 0; i < colors; ++i) {
    const bool used = size_t(i) * 3 + 2 < q.palette.size();
    map->Colors[i].Red = used ? q.palette[i * 3] : 0;
    map->Colors[i].Green = used ? q.palette[i * 3 + 1] : 0;
    map->Colors[i].Blue = used ? q.palette[i * 3 + 2] : 0;
  }
  GraphicsControlBlock gcb;
  gcb.DisposalMode = clearAfter ? DISPOSE_BACKGROUND : DISPOSE_DO_NOT;
  gcb.UserInputFlag = false;
  gcb.DelayTime = animated ? int(EncodeDelayUnits(frame.delay, 100, 65535)) : 0;
  gcb.TransparentColor = q.transparentIndex >= 0 ? q.transparentIndex : NO_TRANSPARENT_COLOR;
  GifByteType ext[4];
  const size_t extLength = EGifGCBToExtension(&gcb, ext);
  bool ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(extLength), ext) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, int(b.width), int(b.height), false, map) == GIF_OK;
  for (uint32_t y = 0; ok && y < b.height; ++y) {
    ok = EGifPutLine(gif, &q.indices[size_t(y) * b.width], int(b.width)) == GIF_OK;
  }
  GifFreeMapObject(map);
  return ok;
}

}  // namespace

bool EncodeGIF(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, Bytes& out) {
  const uint32_t w = frames[0].bitmap.width, h = frames[0].bitmap.height;
  if (w > 65535 || h > 65535) return false;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, WriteToBytes, &error);
  if (!gif) return false;
  EGifSetGifVersion(gif, true);
  bool ok = EGifPutScreenDesc(gif, int(w), int(h), 8, 0, nullptr) == GIF_OK;
  const bool animated = frames.size() > 1;
  // Once any frame has transparent pixels, every frame is cleared after it is
  // shown, so no frame shows through another.
  const bool clearAfter = std::any_of(frames.begin(), frames.end(), [](const EncodeFrame& f) {
    return f.bitmap.hasAlpha && f.bitmap.anyTranslucentPixel();
  });
  if (ok && settings.loopCount) ok = PutLoopCount(gif, *settings.loopCount);
  for (const EncodeFrame& f : frames) {
    if (!ok) break;
    ok = f.bitmap.width == w && f.bitmap.height == h && PutFrame(gif, f, animated, clearAfter);
  }
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  return ok;
}
