// Thumbnails of GIF, TIFF, HEIF and mapped PNG files read in rows: sources
// past the full-size limits, and the layouts whose rows come out of order or
// in pieces (interlaced GIF, frames smaller than the canvas, tiles, strips);
// mapped files cut short while they are read.

#include <fcntl.h>
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "ImageIOTestSupport.h"
#include "platform/foundation/BuildFlags.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/HEIFDecoder.h"
#include "support/HEIFLayout.h"
#include "support/TestEnvironment.h"
#include "support/heif/HEICFixtures.h"

namespace large_source_thumbnail_test {

using namespace imageio_test;

namespace {

// Warm on the left third, cool on the rest.
void TwoColours(uint32_t w, uint8_t* rgb, int channels) {
  for (uint32_t x = 0; x < w; ++x, rgb += channels) {
    const bool warm = x < w / 3;
    rgb[0] = warm ? 200 : 20;
    rgb[1] = warm ? 30 : 40;
    rgb[2] = warm ? 10 : 220;
    if (channels == 4) rgb[3] = 255;
  }
}

std::string TempPath(const char* name) {
  return "/tmp/qx-large-thumb-" + std::to_string(getpid()) + "-" + name;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  const std::string b = s.str();
  return Bytes(b.begin(), b.end());
}

struct TIFFLayout {
  uint32_t rowsPerStrip = 0;  // 0: tiled
  uint32_t tile = 16;
  int samples = 3;  // 4: RGBA with unassociated alpha
  int bits = 8;
  bool planar = false;
  uint16_t compression = COMPRESSION_LZW;
};

// A TIFF whose rows `fill` gives (RGB or RGBA at 8 bits; 16-bit samples
// are the 8-bit ones times 257).
Bytes MakeTIFF(uint32_t w, uint32_t h, const TIFFLayout& l,
               const std::function<void(uint32_t, uint8_t*)>& fill) {
  const std::string path = TempPath("t.tif");
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, l.bits);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, l.samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, l.compression);
  if (l.samples == 4) {
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  if (l.rowsPerStrip) {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, l.rowsPerStrip);
  } else {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, l.tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, l.tile);
  }
  const int bytes = l.bits / 8;
  std::vector<std::vector<uint8_t>> rows(h, std::vector<uint8_t>(size_t(w) * l.samples * bytes));
  std::vector<uint8_t> rgba(size_t(w) * l.samples);
  for (uint32_t y = 0; y < h; ++y) {
    fill(y, rgba.data());
    for (size_t i = 0; i < rgba.size(); ++i) {
      const uint16_t v = uint16_t(rgba[i] * (bytes == 2 ? 257 : 1));
      std::memcpy(&rows[y][i * bytes], &v, bytes);  // native order, as libtiff takes it
    }
  }
  // Samples of one plane, or all of them, of pixels [x, x + n) of row y.
  auto take = [&](uint32_t y, uint32_t x, uint32_t n, int plane, uint8_t* out) {
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* px = &rows[y][(size_t(x) + i) * l.samples * bytes];
      if (l.planar) {
        std::memcpy(out + size_t(i) * bytes, px + plane * bytes, bytes);
      } else {
        std::memcpy(out + size_t(i) * l.samples * bytes, px, size_t(l.samples) * bytes);
      }
    }
  };
  const int planes = l.planar ? l.samples : 1;
  const size_t pixelBytes = size_t(l.planar ? 1 : l.samples) * bytes;
  for (int plane = 0; plane < planes; ++plane) {
    if (l.rowsPerStrip) {
      std::vector<uint8_t> line(size_t(w) * pixelBytes);
      for (uint32_t y = 0; y < h; ++y) {
        take(y, 0, w, plane, line.data());
        TIFFWriteScanline(tif, line.data(), y, uint16_t(plane));
      }
      continue;
    }
    std::vector<uint8_t> tile(size_t(l.tile) * l.tile * pixelBytes);
    for (uint32_t ty = 0; ty < h; ty += l.tile) {
      for (uint32_t tx = 0; tx < w; tx += l.tile) {
        std::fill(tile.begin(), tile.end(), 0);
        for (uint32_t r = 0; r < l.tile && ty + r < h; ++r) {
          take(ty + r, tx, std::min(l.tile, w - tx), plane,
               tile.data() + size_t(r) * l.tile * pixelBytes);
        }
        TIFFWriteTile(tif, tile.data(), tx, ty, 0, uint16_t(plane));
      }
    }
  }
  TIFFClose(tif);
  Bytes data = ReadFile(path);
  std::remove(path.c_str());
  return data;
}

// A GIF of one frame on the four-colour table, rows interlaced when asked
// (giflib takes them in the order they are stored).
Bytes MakeGIF(int w, int h, GifFrame f, bool interlaced) {
  if (!interlaced) return MakeGif(w, h, {f}, -1);
  Bytes out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, GifAppendToBytes, &err);
  EGifSetGifVersion(gif, true);
  GifColorType colors[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifPutScreenDesc(gif, w, h, 2, 0, map);
  GraphicsControlBlock gcb{DISPOSE_DO_NOT, false, 0, f.transparent};
  GifByteType ext[4];
  EGifGCBToExtension(&gcb, ext);
  EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
  EGifPutImageDesc(gif, f.x, f.y, f.w, f.h, true, nullptr);
  const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int r = start[pass]; r < f.h; r += step[pass]) {
      EGifPutLine(gif, &f.indices[size_t(r) * f.w], f.w);
    }
  }
  EGifCloseFile(gif, &err);
  GifFreeMapObject(map);
  return out;
}

// A PNG of RGB rows stored without compression, so that it is large.
Bytes StoredPNG(uint32_t w, uint32_t h) {
  Bytes raw;
  std::vector<uint8_t> row(size_t(w) * 3);
  TwoColours(w, row.data(), 3);
  for (uint32_t y = 0; y < h; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), row.begin(), row.end());
  }
  uLongf size = compressBound(uLong(raw.size()));
  Bytes deflated(size);
  compress2(deflated.data(), &size, raw.data(), uLong(raw.size()), 0);
  deflated.resize(size);
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr = BE32(w);
  const Bytes height = BE32(h);
  ihdr.insert(ihdr.end(), height.begin(), height.end());
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  // Chunks of 64 KiB, as writers make them.
  for (size_t pos = 0; pos < deflated.size(); pos += 65536) {
    AppendChunk(
        png, "IDAT",
        Bytes(deflated.begin() + pos, deflated.begin() + std::min(deflated.size(), pos + 65536)));
  }
  AppendChunk(png, "IEND", {});
  return png;
}

// Largest difference of what shows: colour where either is not wholly
// transparent (fully transparent pixels may carry any colour), and alpha.
int VisibleDifference(const ImageBitmap& a, const ImageBitmap& b) {
  if (a.width != b.width || a.height != b.height) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.pixels.size(); i += 4) {
    const bool shows = a.pixels[i + 3] != 0 || b.pixels[i + 3] != 0;
    for (size_t c = shows ? 0 : 3; c < 4; ++c) {
      worst = std::max(worst, std::abs(int(a.pixels[i + c]) - int(b.pixels[i + c])));
    }
  }
  return worst;
}

bool HaveHEVCDecoder() {
  const auto types = CGImageSourceCopyTypeIdentifiers();
  return std::find(types.begin(), types.end(), "public.heic") != types.end();
}

Bytes TestData(const char* name) {
  const char* dir = std::getenv("QX_TEST_DATA");
  if (!dir) ADD_FAILURE() << "QX_TEST_DATA is not set";
  return dir ? ReadFile(std::string(dir) + "/imageio/" + name) : Bytes();
}

// Resident bytes of this process's mapping of `path` (removed since), from
// /proc/self/smaps; 0 when there is none.
size_t MappedResidentBytes(const std::string& path) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    if (line.find(path) != std::string::npos) inside = true;
    if (inside && line.rfind("Rss:", 0) == 0) return std::stoul(line.substr(4)) * 1024;
  }
  return 0;
}

const uint8_t* At(const ImageBitmap& b, uint32_t x, uint32_t y) { return b.row(y) + x * 4; }

Value ThumbnailOptions(double maxPixelSize) {
  return Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                     {kCGImageSourceThumbnailMaxPixelSize, maxPixelSize}});
}

// The thumbnail as its pixels; empty when none is made.
ImageBitmap Thumbnail(const CGImageSourceRef& source, double maxPixelSize) {
  CGImageRef image = CGImageSourceCreateThumbnailAtIndex(source, 0, ThumbnailOptions(maxPixelSize));
  return image ? Pixels(image) : ImageBitmap();
}

// The whole image decoded, shrunk the way every bitmap is.
ImageBitmap WholeResized(const CGImageSourceRef& source, uint32_t w, uint32_t h) {
  const ImageBitmap whole = Pixels(CGImageSourceCreateImageAtIndex(source, 0));
  return whole.width == w && whole.height == h ? whole : ImageBitmapResized(whole, w, h);
}

}  // namespace

using LargeSourceThumbnailTest = PlatformTest;

TEST_F(LargeSourceThumbnailTest, SourcesPastTheFullSizeLimitsGiveThumbnailsInEveryFormat) {
  // One pixel wider than any full-size bitmap may be.
  const uint32_t w = kImageMaxDimension + 100, h = 300;
  const size_t fullBytes = size_t(w) * h * 4;
  GifFrame frame{0, 0, int(w), int(h), 0, -1, -1, std::vector<uint8_t>(size_t(w) * h)};
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) frame.indices[size_t(y) * w + x] = x < w / 3 ? 1 : 3;
  }
  const auto rows = [](uint32_t, uint8_t* row) { TwoColours(w, row, 3); };
  struct Case {
    const char* what;
    Bytes data;
    bool mapped;          // read through a file, mapped
    bool ownBitmapsOnly;  // the peak is our bitmaps' (libheif decodes whole)
    int tolerance;
    bool gif = false;  // red and blue of the table, not warm and cool
  };
  const Bytes heic = TestData("two-colours-16484x300.heic");  // stored: x265 is slow
  std::vector<Case> cases = {
      {"gif", MakeGIF(int(w), int(h), frame, false), false, true, 1, true},
      {"interlaced gif", MakeGIF(int(w), int(h), frame, true), false, true, 1, true},
      {"striped tiff", MakeTIFF(w, h, {.rowsPerStrip = 8}, rows), false, true, 1},
      // A row of tiles is held: small tiles keep it under the bound.
      {"tiled tiff", MakeTIFF(w, h, {.rowsPerStrip = 0, .tile = 32}, rows), false, true, 1},
      // Through libtiff's RGBA conversion, a strip at a time.
      {"16-bit tiff", MakeTIFF(w, h, {.rowsPerStrip = 8, .bits = 16}, rows), false, true, 1},
      // Over kImageFileMappedBytes: mapped by the source, not read.
      {"mapped tiff", MakeTIFF(w, h, {.rowsPerStrip = 8, .compression = COMPRESSION_NONE}, rows),
       true, true, 1},
      {"mapped png", StoredPNG(w, h), true, true, 1},
  };
  if (HaveHEVCDecoder()) cases.push_back({"heic", heic, false, false, 8});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CGImageSourceRef source;
    const std::string path = TempPath("large");
    if (c.mapped) {
      ASSERT_GE(c.data.size(), kImageFileMappedBytes);
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(c.data.data()), std::streamsize(c.data.size()));
      source = CGImageSourceCreateWithURL(path);
      std::remove(path.c_str());  // the mapping keeps the file
    } else {
      source = SourceOf(c.data);
    }
    ASSERT_TRUE(source);
    // Reading the structure walked the file; its pages are given back.
    if (c.mapped) {
      EXPECT_LT(MappedResidentBytes(path), c.data.size() / 4);
    }
    const Value props = CGImageSourceCopyPropertiesAtIndex(source, 0);
    EXPECT_EQ(props.find(kCGImagePropertyPixelWidth)->asInt64(), int64_t(w));
    EXPECT_EQ(CGImageSourceCopyProperties(source).find(kCGImagePropertyFileSize)->asInt64(),
              int64_t(c.data.size()));
    AllocationCounter counter;
    const ImageBitmap thumbnail = Thumbnail(source, 330);
    if (c.ownBitmapsOnly) {
      EXPECT_LT(counter.peakBytes(), fullBytes / 8);
    }
    // A mapped file's pages are given back as it is read: what stays is
    // what was read since the last release (a few hundred rows at most).
    if (c.mapped) {
      EXPECT_LT(MappedResidentBytes(path), c.data.size() / 4);
    }
    ASSERT_EQ(thumbnail.width, 330u);
    ASSERT_EQ(thumbnail.height, 6u);
    const uint8_t warm[3] = {200, 30, 10}, cool[3] = {20, 40, 220};
    const uint8_t red[3] = {255, 0, 0}, blue[3] = {0, 0, 255};
    for (uint32_t y : {0u, 5u}) {
      for (int ch = 0; ch < 3; ++ch) {
        EXPECT_NEAR(At(thumbnail, 50, y)[ch], (c.gif ? red : warm)[ch], c.tolerance) << y;
        EXPECT_NEAR(At(thumbnail, 300, y)[ch], (c.gif ? blue : cool)[ch], c.tolerance) << y;
      }
      EXPECT_EQ(At(thumbnail, 300, y)[3], 255);
    }
    // The whole image comes at the largest size within the limits.
    CGImageRef whole = CGImageSourceCreateImageAtIndex(source, 0);
    ASSERT_TRUE(whole);
    EXPECT_EQ(CGImageGetWidth(whole), kImageMaxDimension);
  }
}

TEST_F(LargeSourceThumbnailTest, GIFFramesGiveTheCanvasTheyDrawWhateverTheirLayout) {
  // Canvas 23 x 21 with a frame of the given rectangle; its rows differ so
  // that a row out of place shows.
  struct Case {
    const char* what;
    int x, y, fw, fh;
    int transparent;
    bool interlaced;
  };
  const Case cases[] = {
      {"whole canvas", 0, 0, 23, 21, -1, false},
      {"interlaced", 0, 0, 23, 21, -1, true},
      {"interlaced, 9 rows", 2, 3, 19, 9, -1, true},
      {"interlaced, 3 rows (an empty pass)", 0, 5, 23, 3, -1, true},
      {"interlaced, 1 row", 0, 0, 23, 1, -1, true},
      {"inside the canvas", 4, 6, 11, 8, -1, false},
      {"past the canvas's corner", 12, 15, 20, 20, -1, false},
      {"interlaced past the canvas's bottom", 0, 10, 23, 17, -1, true},
      {"transparent index", 0, 0, 23, 21, 2, false},
      {"transparent, interlaced", 0, 0, 23, 21, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GifFrame f{c.x, c.y, c.fw,          c.fh,
               0,   0,   c.transparent, std::vector<uint8_t>(size_t(c.fw) * c.fh)};
    for (int y = 0; y < c.fh; ++y) {
      for (int x = 0; x < c.fw; ++x) f.indices[size_t(y) * c.fw + x] = uint8_t((y * 3 + x / 5) % 4);
    }
    CGImageSourceRef source = SourceOf(MakeGIF(23, 21, f, c.interlaced));
    ASSERT_TRUE(source);
    // At its own size the thumbnail is the frame drawn on the canvas, exactly;
    // shrunk, it is that drawing shrunk.
    for (auto [tw, th] : {std::pair<uint32_t, uint32_t>{23, 21}, {11, 10}, {5, 5}}) {
      const ImageBitmap thumbnail = Thumbnail(source, std::max(tw, th));
      ASSERT_EQ(thumbnail.width, tw);
      ASSERT_EQ(thumbnail.height, th);
      EXPECT_LE(VisibleDifference(thumbnail, WholeResized(source, tw, th)), 1) << tw;
    }
  }
}

TEST_F(LargeSourceThumbnailTest, TIFFStripsAndTilesGiveTheRowsAWholeDecodeGives) {
  // 37 x 29: tiles of 16 overhang both edges; rows differ.
  const uint32_t w = 37, h = 29;
  struct Case {
    const char* what;
    TIFFLayout layout;
  };
  const Case cases[] = {
      {"a strip a row", {.rowsPerStrip = 1}},
      {"strips of 7 rows", {.rowsPerStrip = 7}},
      {"one strip", {.rowsPerStrip = h}},
      {"tiles", {.rowsPerStrip = 0}},
      {"rgba tiles", {.rowsPerStrip = 0, .samples = 4}},
      {"rgba strips", {.rowsPerStrip = 5, .samples = 4}},
      {"16-bit strips", {.rowsPerStrip = 3, .bits = 16}},
      {"16-bit tiles", {.rowsPerStrip = 0, .bits = 16}},
      {"planes", {.rowsPerStrip = 4, .planar = true}},
      {"rgba planes in tiles", {.rowsPerStrip = 0, .samples = 4, .planar = true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int samples = c.layout.samples;
    CGImageSourceRef source = SourceOf(MakeTIFF(w, h, c.layout, [&](uint32_t y, uint8_t* row) {
      for (uint32_t x = 0; x < w; ++x, row += samples) {
        row[0] = uint8_t(x * 6);
        row[1] = uint8_t(y * 8);
        row[2] = uint8_t((x * y) % 251);
        if (samples == 4) row[3] = uint8_t(x < 9 ? 0 : 60 + y * 6);
      }
    }));
    ASSERT_TRUE(source);
    for (auto [tw, th] : {std::pair<uint32_t, uint32_t>{w, h}, {19, 15}, {6, 5}}) {
      const ImageBitmap thumbnail = Thumbnail(source, std::max(tw, th));
      ASSERT_EQ(thumbnail.width, tw);
      ASSERT_EQ(thumbnail.height, th);
      EXPECT_LE(VisibleDifference(thumbnail, WholeResized(source, tw, th)), 1) << tw;
    }
  }
}

TEST_F(LargeSourceThumbnailTest, HEIFThumbnailsHaveTheColoursOfAWholeDecode) {
  // Thumbnails convert the decoder's YCbCr themselves; whole decodes take
  // libheif's RGB. Hues all round, light to dark (red 4x, green 255 - 5y,
  // blue (7x + 3y) mod 256); the samples are stored, not encoded here: x265
  // reads memory of its own that valgrind takes as undefined.
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  CGImageSourceRef source = SourceOf(TestData("hues-64x48.heic"));
  ASSERT_TRUE(source);
  for (auto [tw, th] : {std::pair<uint32_t, uint32_t>{64, 48}, {32, 24}}) {
    const ImageBitmap thumbnail = Thumbnail(source, tw);
    ASSERT_EQ(thumbnail.width, tw);
    ASSERT_EQ(thumbnail.height, th);
    // Rounding apart: a wrong matrix or range is off by tens.
    EXPECT_LE(VisibleDifference(thumbnail, WholeResized(source, tw, th)), 4) << tw;
  }
}

// Samples (stored: x265 is slow and valgrind takes what it reads of its own
// memory as undefined) of quadrants red, green, blue and white, each with a
// thumbnail item of the same quadrants at half brightness, so a pixel tells
// which item it came from.
// - thumbnail-64x48-of-256x192.heic: one image, its thumbnail 64 x 48.
// - square-thumbnail-of-256x192.heic: the same image, its thumbnail 64 x 64.
// - oriented-thumbnails.heic: 16 images stored 48 x 32 with thumbnails
//   stored 24 x 16; image i is turned the way EXIF orientation i % 8 + 1
//   says (rotation and mirroring boxes), its thumbnail not turned (i < 8)
//   or turned the same way (i >= 8).

// Thumbnail options, asking the source to keep what it decodes for the next
// thumbnail when `keep`.
Value KeepingOptions(double maxPixelSize, bool keep) {
  ValueMap options = ThumbnailOptions(maxPixelSize).asMap();
  ValueMapSet(options, Value(kCGImageSourceShouldCache), Value(keep));
  return Value(std::move(options));
}

// Quadrants red, green, blue and white, as the samples draw them.
ImageBitmap Quadrants(uint32_t w, uint32_t h) {
  ImageBitmap b;
  b.allocate(w, h);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const bool right = x >= w / 2, bottom = y >= h / 2;
      uint8_t* p = b.row(y) + size_t(x) * 4;
      p[0] = !right && !bottom ? 255 : right && bottom ? 255 : 0;
      p[1] = right ? 255 : 0;
      p[2] = bottom ? 255 : 0;
      p[3] = 255;
    }
  }
  return b;
}

// Whether `small` shows the quadrants of `whole` at half brightness.
bool HalfAsBrightQuadrants(const ImageBitmap& small, const ImageBitmap& whole) {
  for (uint32_t qy : {1u, 3u}) {
    for (uint32_t qx : {1u, 3u}) {
      const uint8_t* s = At(small, small.width * qx / 4, small.height * qy / 4);
      const uint8_t* w = At(whole, whole.width * qx / 4, whole.height * qy / 4);
      for (int c = 0; c < 3; ++c) {
        if (std::abs(int(s[c]) - int(w[c]) / 2) > 16) return false;
      }
    }
  }
  return true;
}

TEST_F(LargeSourceThumbnailTest, HEIFThumbnailItemsGiveTheSizesTheyCoverExactly) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  CGImageSourceRef source = SourceOf(TestData("thumbnail-64x48-of-256x192.heic"));
  ASSERT_TRUE(source);
  ASSERT_EQ(CGImageSourceGetCount(source), 1u) << "a thumbnail is no image of its own";
  const ImageBitmap whole = Pixels(CGImageSourceCreateImageAtIndex(source, 0));
  ASSERT_EQ(whole.width, 256u);
  struct Case {
    double maxPixelSize;
    uint32_t width, height;
    bool fromThumbnail;
    size_t decodes;
  };
  const Case cases[] = {
      {64, 64, 48, true, 1},      // covered exactly
      {65, 65, 49, false, 1},     // one pixel past it: the image
      {32, 32, 24, true, 1},      // shrunk from the thumbnail
      {256, 256, 192, false, 1},  // the image again: nothing was kept
      {128, 128, 96, false, 0},   // kept by the last one, which asked
      {100, 100, 75, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maxPixelSize);
    const size_t before = HEIFDecodedImageCount();
    const ImageBitmap thumbnail = Pixels(CGImageSourceCreateThumbnailAtIndex(
        source, 0, KeepingOptions(c.maxPixelSize, c.maxPixelSize >= 100)));
    EXPECT_EQ(HEIFDecodedImageCount() - before, c.decodes);
    ASSERT_EQ(thumbnail.width, c.width);
    ASSERT_EQ(thumbnail.height, c.height);
    EXPECT_EQ(HalfAsBrightQuadrants(thumbnail, whole), c.fromThumbnail);
    if (!c.fromThumbnail) {
      EXPECT_LE(VisibleDifference(thumbnail, WholeResized(source, c.width, c.height)), 8);
    }
  }
  // A thumbnail of another shape covers the size but shows another picture.
  CGImageSourceRef square = SourceOf(TestData("square-thumbnail-of-256x192.heic"));
  ASSERT_TRUE(square);
  EXPECT_FALSE(HalfAsBrightQuadrants(Thumbnail(square, 64), whole));
}

// Samples made by tools/make-heic-thumbnail-samples.cpp (see there). Read
// through the decoder: a source takes the images of a file as frames.
TEST_F(LargeSourceThumbnailTest, HEIFThumbnailItemsAreChosenByWhatTheyCostBeforeAnyIsDecoded) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  const char* kLarger = "thumbnail-16000x12000-of-640x480.heic";
  const char* kBounds = "thumbnail-bounds-of-256x192.heic";
  const char* kPastLimit = "thumbnails-of-8200x8200.heic";
  struct Case {
    const char* what;
    const char* file;
    size_t index;
    uint32_t width, height;
    int from;  // 1: the thumbnail, 0: the image, -1: nothing can be decoded
    size_t decodes;
  };
  const Case cases[] = {
      {"16000 x 12000 of 640 x 480", kLarger, 0, 200, 150, 0, 1},
      {"16000 x 12000 of 640 x 480, whole", kLarger, 0, 640, 480, 0, 1},
      {"its image's size exactly", kBounds, 0, 256, 192, 1, 1},
      {"its image's size, shrunk", kBounds, 0, 100, 75, 1, 1},
      {"a pixel wider than its image", kBounds, 1, 256, 192, 0, 1},
      {"a pixel taller than its image", kBounds, 2, 256, 192, 0, 1},
      {"declaring less than it codes", kBounds, 3, 64, 48, 0, 1},
      {"a grid of tiles", kBounds, 4, 128, 96, 1, 1},
      {"a grid whose tile codes more than it declares", kBounds, 5, 64, 48, 0, 1},
      {"coded past its size, cut by the conformance window", kBounds, 6, 120, 90, 1, 1},
      {"a grid whose tile codes more than the tile declares", kBounds, 7, 64, 48, 0, 1},
      {"of AV1", "thumbnail-64x48-of-256x192.avif", 0, 64, 48, 1, 1},
      // The image and its larger thumbnail are past the full-decode limit,
      // the small thumbnail is not: one coded picture, decoded whole
      // within the budget when nothing else covers.
      {"past the limit, the small thumbnail covers", kPastLimit, 0, 256, 256, 1, 1},
      {"past the limit, only the large one covers", kPastLimit, 0, 257, 257, 0, 1},
      {"past the limit, nothing covers", kPastLimit, 0, 8200, 8200, -1, 0},
  };
  const auto types = CGImageSourceCopyTypeIdentifiers();
  const bool av1 = std::find(types.begin(), types.end(), "public.avif") != types.end();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.file).ends_with(".avif") && !av1) continue;
    CGImageSourceStatus status = kCGImageStatusReadingHeader;
    auto decoder = ImageDecoderCreate(Shared(TestData(c.file)), true, status);
    ASSERT_TRUE(decoder);
    const size_t before = HEIFDecodedImageCount();
    ImageBitmap scaled;
    const bool decoded = decoder->decodeFrameScaled(c.index, c.width, c.height, scaled);
    EXPECT_EQ(HEIFDecodedImageCount() - before, c.decodes);
    ASSERT_EQ(decoded, c.from >= 0);
    if (!decoded) continue;
    // The image past the limit has no full-size bitmap: it is white, its
    // thumbnails quadrants.
    ImageBitmap whole = Quadrants(256, 256);
    if (std::string(c.file) != kPastLimit) {
      ASSERT_TRUE(decoder->decodeFrame(c.index, whole));
    } else if (c.from == 0) {
      whole = Solid(256, 256, 255, 255, 255);
    }
    EXPECT_EQ(HalfAsBrightQuadrants(scaled, whole), c.from == 1);
    if (c.from == 0) {
      EXPECT_LE(VisibleDifference(scaled, ImageBitmapResized(whole, c.width, c.height)), 8);
    }
  }
  // Whole, an image past the limit comes scaled down to it (decoded as the
  // row above was), its full-size bitmap never made.
  CGImageSourceRef past = SourceOf(TestData(kPastLimit));
  ASSERT_TRUE(past);
  CGImageRef scaled = CGImageSourceCreateImageAtIndex(past, 0);
  ASSERT_TRUE(scaled);
  EXPECT_EQ(scaled->width(), 8192u);
  EXPECT_EQ(scaled->height(), 8192u);
  CGImageSourceStatus status = kCGImageStatusReadingHeader;
  auto decoder = ImageDecoderCreate(Shared(TestData(kPastLimit)), true, status);
  ASSERT_TRUE(decoder);
  ImageBitmap full;
  EXPECT_FALSE(decoder->decodeFrame(0, full));
}

namespace {

// A stored sample with its boxes changed by `change`.
Bytes Rewritten(const char* file, const std::function<void(HEIFLayout&)>& change) {
  HEIFLayout layout = HEIFLayoutRead(TestData(file));
  if (layout.items.empty()) ADD_FAILURE() << file << " does not read";
  change(layout);
  return HEIFLayoutWrite(layout);
}

}  // namespace

// Files whose items' coded data announce other pictures than their boxes
// say, made from the stored samples: 256 x 192 (item 1) with a thumbnail
// of 64 x 48 (a grid, item 3, of one tile, item 2), and its AV1 twin (item
// 2 the thumbnail). Announced pictures past the limit would cost gigabytes
// when decoded.
TEST_F(LargeSourceThumbnailTest, HEIFItemsWhoseDataAnnounceAnotherPictureAreNeverDecoded) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  const char* kHEVC = "thumbnail-64x48-of-256x192.heic";
  const char* kAV1 = "thumbnail-64x48-of-256x192.avif";
  struct Case {
    const char* what;
    Bytes file;
    // The scaled decode (of 64 x 48 unless said): 1 from the thumbnail, 0
    // from the image, -1 none; and the whole image's: true when made.
    int scaledFrom;
    bool whole;
    size_t decodes;  // by both
    bool alpha = false, av1 = false;
    uint32_t askWidth = 64, askHeight = 48;
  };
  const auto wholeOf = [](const char* file) {
    CGImageSourceStatus status = kCGImageStatusReadingHeader;
    auto decoder = ImageDecoderCreate(Shared(TestData(file)), true, status);
    ImageBitmap whole;
    if (!decoder || !decoder->decodeFrame(0, whole)) ADD_FAILURE() << file;
    return whole;
  };
  const ImageBitmap image = wholeOf(kHEVC);
  std::vector<Case> cases = {
      {"the thumbnail's tile announcing 16000 x 12000",
       Rewritten(
           kHEVC,
           [](HEIFLayout& l) { ASSERT_TRUE(HEIFLayoutLeadWithParameterSets(l, 2, 16000, 12000)); }),
       0, true, 2},
      {"the image announcing 16000 x 12000",
       Rewritten(
           kHEVC,
           [](HEIFLayout& l) { ASSERT_TRUE(HEIFLayoutLeadWithParameterSets(l, 1, 16000, 12000)); }),
       1, false, 1},
      // Within the limit, but not the picture it declares.
      {"the image announcing 1024 x 768",
       Rewritten(
           kHEVC,
           [](HEIFLayout& l) { ASSERT_TRUE(HEIFLayoutLeadWithParameterSets(l, 1, 1024, 768)); }),
       1, false, 1},
      {"the image's alpha",
       Rewritten(kHEVC, [](HEIFLayout& l) { ASSERT_TRUE(HEIFLayoutAddAlpha(l, 1)); }), 1, true, 2,
       true},
      {"the image's alpha announcing 16000 x 12000",
       Rewritten(kHEVC, [](HEIFLayout& l) { ASSERT_TRUE(HEIFLayoutAddAlpha(l, 1, 16000, 12000)); }),
       1, false, 1},
  };
  const auto types = CGImageSourceCopyTypeIdentifiers();
  const bool av1 = std::find(types.begin(), types.end(), "public.avif") != types.end();
  const ImageBitmap av1Image = av1 ? wholeOf(kAV1) : ImageBitmap();
  if (av1) {
    // Boxes and configuration declaring 32 x 24, the data's own sequence
    // header the 64 x 48 it codes: a decoder makes the larger.
    cases.push_back({"the AV1 thumbnail's data announcing more than its boxes",
                     Rewritten(kAV1,
                               [](HEIFLayout& l) {
                                 HEIFLayoutItem* item = l.item(2);
                                 Bytes config = l.property(2, "av1C");
                                 const Bytes small =
                                     AV1SequenceHeaderAnnouncing(item->data, 32, 24);
                                 ASSERT_EQ(config.size(), 4u);
                                 ASSERT_FALSE(small.empty());
                                 config.insert(config.end(), small.begin(), small.end());
                                 for (Bytes& p : item->properties) {
                                   const std::string type(p.begin() + 4, p.begin() + 8);
                                   if (type == "av1C") p = HEIFBox("av1C", config);
                                   if (type == "ispe") p = HEIFIspe(32, 24);
                                 }
                               }),
                     0, true, 2, false, true, 32, 24});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CGImageSourceStatus status = kCGImageStatusReadingHeader;
    auto decoder = ImageDecoderCreate(Shared(c.file), true, status);
    ASSERT_TRUE(decoder);
    const size_t before = HEIFDecodedImageCount();
    ImageBitmap scaled, whole;
    AllocationCounter counter;
    ASSERT_EQ(decoder->decodeFrameScaled(0, c.askWidth, c.askHeight, scaled), c.scaledFrom >= 0);
    EXPECT_EQ(decoder->decodeFrame(0, whole), c.whole);
    EXPECT_EQ(HEIFDecodedImageCount() - before, c.decodes);
    // A decode that fails after making the announced picture has spent
    // its hundreds of megabytes all the same.
    EXPECT_LT(counter.peakBytes(), size_t(8) << 20);
    if (c.scaledFrom < 0) continue;
    // The same coded pictures as the samples': the same pixels.
    const ImageBitmap& reference = c.av1 ? av1Image : image;
    EXPECT_EQ(HalfAsBrightQuadrants(scaled, reference), c.scaledFrom == 1);
    if (!c.whole) continue;
    ASSERT_EQ(whole.width, reference.width);
    // An alpha of the image's own picture: its luma, dark where it is blue.
    EXPECT_EQ(whole.hasAlpha, c.alpha);
    EXPECT_GE(At(whole, 192, 144)[3], 224);           // white
    EXPECT_EQ(At(whole, 64, 144)[3] < 128, c.alpha);  // blue
    if (!c.alpha) {
      EXPECT_EQ(VisibleDifference(whole, reference), 0);
    }
  }
}

// As some encoders write them: the same sample, the thumbnail's tile or the
// image leading with its own parameter sets, decodes as the sample does.
// (libde265 reads memory of its own that valgrind takes as undefined when
// parameter sets come again: this test is left out of the valgrind run.)
TEST_F(LargeSourceThumbnailTest, HEIFItemsLeadingWithTheirOwnParameterSetsDecodeAsBefore) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  const char* kHEVC = "thumbnail-64x48-of-256x192.heic";
  CGImageSourceStatus status = kCGImageStatusReadingHeader;
  auto original = ImageDecoderCreate(Shared(TestData(kHEVC)), true, status);
  ASSERT_TRUE(original);
  ImageBitmap reference;
  ASSERT_TRUE(original->decodeFrame(0, reference));
  for (const uint32_t item : {2u, 1u}) {
    SCOPED_TRACE(item == 2 ? "the thumbnail's tile" : "the image");
    const Bytes file = Rewritten(
        kHEVC, [&](HEIFLayout& l) { ASSERT_TRUE(HEIFLayoutLeadWithParameterSets(l, item)); });
    auto decoder = ImageDecoderCreate(Shared(file), true, status);
    ASSERT_TRUE(decoder);
    const size_t before = HEIFDecodedImageCount();
    ImageBitmap scaled, whole;
    ASSERT_TRUE(decoder->decodeFrameScaled(0, 64, 48, scaled));
    ASSERT_TRUE(decoder->decodeFrame(0, whole));
    EXPECT_EQ(HEIFDecodedImageCount() - before, 2u);
    EXPECT_TRUE(HalfAsBrightQuadrants(scaled, reference));
    EXPECT_EQ(VisibleDifference(whole, reference), 0);
  }
}

TEST_F(LargeSourceThumbnailTest, AHEIFOfMoreItemsThanAPhotoHoldsIsRefusedBeforeItIsRead) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  // The sample and hidden items enough to make 8501: libheif alone would
  // take seconds to read them, and then decode the image.
  const Bytes file = Rewritten("thumbnail-64x48-of-256x192.heic", [](HEIFLayout& l) {
    for (uint32_t id = 1000; l.items.size() < 8501; ++id)
      l.items.push_back({id, "mime", {}, {}, true});
  });
  CGImageSourceStatus status = kCGImageStatusReadingHeader;
  EXPECT_FALSE(ImageDecoderCreate(Shared(file), true, status));
  EXPECT_EQ(status, kCGImageStatusInvalidData);
}

TEST_F(LargeSourceThumbnailTest, HEIFThumbnailItemsAreTurnedTheWayTheirImageIs) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  CGImageSourceStatus status = kCGImageStatusReadingHeader;
  auto decoder = ImageDecoderCreate(Shared(TestData("oriented-thumbnails.heic")), true, status);
  ASSERT_TRUE(decoder);
  ASSERT_EQ(decoder->frameCount(), 16u);
  for (size_t i = 0; i < 16; ++i) {
    const int orientation = int(i % 8) + 1;
    SCOPED_TRACE(std::to_string(orientation) + (i < 8 ? " (thumbnail as stored)" : " (turned)"));
    ImageBitmap whole, thumbnail;
    ASSERT_TRUE(decoder->decodeFrame(i, whole));
    const bool sideways = orientation >= 5;
    EXPECT_EQ(whole.width, sideways ? 32u : 48u);
    ASSERT_TRUE(decoder->decodeFrameScaled(i, whole.width / 2, whole.height / 2, thumbnail));
    EXPECT_TRUE(HalfAsBrightQuadrants(thumbnail, whole));
  }
}

namespace {

// Whether `scaled`, the grid of `f` decoded at its size (turned), shows
// each tile's colour at the tile's centre: tiles in their places, the
// overhang cut, the turn applied, the colours converted as coded.
testing::AssertionResult ShowsTheTiles(const ImageBitmap& scaled, const HEICGridFixture& f) {
  const bool sideways = f.rotation % 2 == 1;
  const uint32_t shownWidth = sideways ? f.height : f.width;
  const uint32_t shownHeight = sideways ? f.width : f.height;
  if (scaled.empty()) return testing::AssertionFailure() << "nothing decoded";
  for (uint32_t r = 0; r * f.tile < f.height; ++r) {
    for (uint32_t c = 0; c * f.tile < f.width; ++c) {
      // Tiles cut to a sliver by the picture's edge are too thin to sample.
      const uint32_t w = std::min(f.tile, f.width - c * f.tile);
      const uint32_t h = std::min(f.tile, f.height - r * f.tile);
      if (uint64_t(w) * scaled.width < uint64_t(shownWidth) * 8 ||
          uint64_t(h) * scaled.height < uint64_t(shownHeight) * 8) {
        continue;
      }
      // The tile's centre, as stored, then where the turn takes it
      // (anticlockwise quarter turns).
      uint64_t x = c * f.tile + w / 2, y = r * f.tile + h / 2;
      for (int turn = 0; turn < f.rotation; ++turn) {
        const uint64_t across = turn % 2 == 0 ? f.width : f.height;
        const uint64_t turned = across - 1 - x;
        x = y;
        y = turned;
      }
      const uint8_t* p = At(scaled, uint32_t(x * scaled.width / shownWidth),
                            uint32_t(y * scaled.height / shownHeight));
      const uint32_t colour = f.colourOf ? f.colourOf(c, r) : HEICGridPaletteColour(c, r);
      for (int k = 0; k < 3; ++k) {
        const int want = int((colour >> (16 - 8 * k)) & 0xFF);
        if (std::abs(int(p[k]) - want) > 24) {
          return testing::AssertionFailure()
                 << "tile " << c << "," << r << " channel " << k << " is " << int(p[k])
                 << ", not " << want;
        }
      }
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace

// Phones write large photos as grids of 512-pixel tiles. Past the
// full-decode limit, a grid is decoded for a scaled size a row of tiles at
// a time; its full-size bitmap stays refused.
TEST_F(LargeSourceThumbnailTest, HEIFGridsAreDecodedScaledARowOfTilesAtATime) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  struct Case {
    const char* what;
    HEICGridFixture fixture;
    uint32_t width, height;  // asked for
  };
  const Case cases[] = {
      {"at the limit exactly", {.width = 8192, .height = 8192}, 1024, 1024},
      {"two pixels past it", {.width = 8194, .height = 8192}, 1025, 1024},
      {"a tile past it", {.width = 8704, .height = 8192}, 1088, 1024},
      // Turned: each way, below.
      {"past it, turned", {.width = 8192, .height = 8194, .rotation = 1}, 1025, 1024},
      {"past it, a thumbnail of another size", {.width = 8194, .height = 8192,
                                               .thumbnailWidth = 320, .thumbnailHeight = 320},
       512, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The checked builds convert and shrink each pixel many times slower:
    // one case past the limit there.
    if (QX_CHECKED && c.fixture.width != 8194) continue;
    const Bytes heic = MakeHEICGrid(c.fixture);
    ASSERT_FALSE(heic.empty());
    CGImageSourceStatus status = kCGImageStatusReadingHeader;
    auto decoder = ImageDecoderCreate(Shared(heic), true, status);
    ASSERT_TRUE(decoder);
    ImageFrameGeometry geometry;
    ASSERT_TRUE(decoder->frameGeometry(0, geometry));
    EXPECT_EQ(geometry.width, c.fixture.rotation % 2 ? c.fixture.height : c.fixture.width);
    const size_t before = HEIFDecodedImageCount();
    ImageBitmap scaled;
    AllocationCounter counter;
    ASSERT_TRUE(decoder->decodeFrameScaled(0, c.width, c.height, scaled));
    // A few rows of tiles at a time: far less than the picture's planes
    // (4:2:0, a byte and a half a pixel), let alone the picture.
    EXPECT_LT(counter.peakBytes(), size_t(c.fixture.width) * c.fixture.height * 3 / 2 / 4);
    EXPECT_EQ(HEIFDecodedImageCount() - before, 1u);
    EXPECT_TRUE(ShowsTheTiles(scaled, c.fixture));
    if (uint64_t(geometry.width) * geometry.height > kImageMaxPixels) {
      ImageBitmap full;
      EXPECT_FALSE(decoder->decodeFrame(0, full));
    }
  }
}

// Within the limit a grid of more than two rows of tiles is decoded a row
// of tiles at a time too, unless a whole decode is held: both give the
// picture libheif pastes whole.
TEST_F(LargeSourceThumbnailTest, HEIFGridsDecodedByTilesShowWhatAWholeDecodeShows) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  // Tiles of every colour, cut right and bottom, each way round.
  auto hues = [](uint32_t column, uint32_t row) {
    return (uint32_t(40 + 70 * column) << 16) | (uint32_t(200 - 60 * row) << 8) |
           uint32_t((column * 90 + row * 50) % 256);
  };
  for (int rotation = 0; rotation < 4; ++rotation) {
    SCOPED_TRACE(rotation);
    const HEICGridFixture fixture{
        .width = 1100, .height = 1200, .tile = 512, .colourOf = hues, .rotation = rotation};
    const Bytes heic = MakeHEICGrid(fixture);
    ASSERT_FALSE(heic.empty());
    CGImageSourceStatus status = kCGImageStatusReadingHeader;
    auto decoder = ImageDecoderCreate(Shared(heic), true, status);
    ASSERT_TRUE(decoder);
    ImageBitmap whole, tiled, shrunk;
    ASSERT_TRUE(decoder->decodeFrame(0, whole));
    // Not kept by the decoder that made it: the next decode is by tiles.
    decoder->dropScaledDecode();
    const size_t before = HEIFDecodedImageCount();
    ASSERT_TRUE(decoder->decodeFrameScaled(0, whole.width, whole.height, tiled));
    EXPECT_EQ(HEIFDecodedImageCount() - before, 1u);
    EXPECT_LE(VisibleDifference(tiled, whole), 4);
    EXPECT_TRUE(ShowsTheTiles(tiled, fixture));
    // A small one is kept: it makes the same size again, and less, on its
    // own; one larger than kHEIFKeptScaledPixels (as above) is handed out.
    ASSERT_TRUE(decoder->decodeFrameScaled(0, whole.width / 4, whole.height / 4, shrunk));
    EXPECT_EQ(HEIFDecodedImageCount() - before, 2u);
    EXPECT_LE(VisibleDifference(shrunk, ImageBitmapResized(whole, whole.width / 4,
                                                           whole.height / 4)), 4);
    ImageBitmap again, less;
    ASSERT_TRUE(decoder->decodeFrameScaled(0, whole.width / 4, whole.height / 4, again));
    EXPECT_EQ(again.pixels, shrunk.pixels);
    ASSERT_TRUE(decoder->decodeFrameScaled(0, whole.width / 8, whole.height / 8, less));
    EXPECT_EQ(HEIFDecodedImageCount() - before, 2u);
  }
}

// libheif's encoder writes a thumbnail a pixel or two off its image's
// shape (rounded down to even sides); further off, it shows another
// picture.
TEST_F(LargeSourceThumbnailTest, HEIFThumbnailsWithinTwoPixelsOfTheirImagesShapeAreUsed) {
  struct Shape {
    uint32_t width, height, imageWidth, imageHeight;
    bool same;
  };
  const Shape shapes[] = {
      {512, 510, 8194, 8192, true},   // as libheif writes it
      {512, 509, 8194, 8192, false},  // a pixel further
      {64, 48, 256, 192, true},
      {64, 46, 256, 192, true},   // two pixels off: the bound exactly
      {64, 45, 256, 192, false},  // three
      {46, 64, 192, 256, true},
      {45, 64, 192, 256, false},
      {66, 48, 256, 192, true},
      {67, 48, 256, 192, false},
      {64, 64, 256, 192, false},
  };
  for (const Shape& s : shapes) {
    EXPECT_EQ(HEIFThumbnailOfShape(s.width, s.height, s.imageWidth, s.imageHeight), s.same)
        << s.width << "x" << s.height << " of " << s.imageWidth << "x" << s.imageHeight;
  }
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  // Of a grid of the same shape as 8194 x 8192, of fewer tiles.
  for (const uint32_t thumbnailHeight : {510u, 508u}) {
    SCOPED_TRACE(thumbnailHeight);
    const HEICGridFixture fixture{.width = 1026, .height = 1024, .thumbnailWidth = 512,
                                  .thumbnailHeight = thumbnailHeight};
    const Bytes heic = MakeHEICGrid(fixture);
    ASSERT_FALSE(heic.empty());
    CGImageSourceStatus status = kCGImageStatusReadingHeader;
    auto decoder = ImageDecoderCreate(Shared(heic), true, status);
    ASSERT_TRUE(decoder);
    ImageBitmap scaled;
    ASSERT_TRUE(decoder->decodeFrameScaled(0, 256, 255, scaled));
    const uint8_t* centre = At(scaled, 128, 128);
    const bool fromThumbnail = std::abs(int(centre[0]) - 0x40) <= 8 &&
                               std::abs(int(centre[1]) - 0x40) <= 8 &&
                               std::abs(int(centre[2]) - 0x40) <= 8;
    EXPECT_EQ(fromThumbnail, thumbnailHeight == 510);
    if (!fromThumbnail) {
      EXPECT_TRUE(ShowsTheTiles(scaled, fixture));
    }
  }
}

TEST_F(LargeSourceThumbnailTest, DecodersOfOneHEIFFileVersionShareTheDecodeOneHolds) {
  if (!HaveHEVCDecoder()) GTEST_SKIP() << "no HEVC decoder";
  const Bytes heic = TestData("hues-64x48.heic");
  const std::string path = TempPath("shared.heic");
  auto write = [&] {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(heic.data()), std::streamsize(heic.size()));
  };
  write();
  // Two sources decoding at once, each kept until both have their
  // thumbnails, of two sizes: however the threads interleave, one waits for
  // or reuses the other's decode.
  const size_t before = HEIFDecodedImageCount();
  std::barrier both(2);
  auto thumbnailOf = [&](double size) {
    CGImageSourceRef source = CGImageSourceCreateWithURL(path);
    const ImageBitmap thumbnail =
        Pixels(CGImageSourceCreateThumbnailAtIndex(source, 0, KeepingOptions(size, true)));
    EXPECT_EQ(thumbnail.width, uint32_t(size));
    both.arrive_and_wait();
  };
  std::thread first(thumbnailOf, 32.0), second(thumbnailOf, 40.0);
  first.join();
  second.join();
  EXPECT_EQ(HEIFDecodedImageCount() - before, 1u);
  // Once nobody holds it, it is gone: a later source decodes again.
  CGImageSourceRef held = CGImageSourceCreateWithURL(path);
  ASSERT_TRUE(CGImageSourceCreateThumbnailAtIndex(held, 0, KeepingOptions(32, true)));
  EXPECT_EQ(HEIFDecodedImageCount() - before, 2u);
  // The file written again is another version: not served the decode
  // `held` holds of the old one...
  write();
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 10, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  CGImageSourceRef newer = CGImageSourceCreateWithURL(path);
  ASSERT_TRUE(CGImageSourceCreateThumbnailAtIndex(newer, 0, KeepingOptions(32, true)));
  EXPECT_EQ(HEIFDecodedImageCount() - before, 3u);
  // ... while every source of the new one is served what `newer` holds.
  ASSERT_EQ(Thumbnail(CGImageSourceCreateWithURL(path), 24).width, 24u);
  EXPECT_EQ(HEIFDecodedImageCount() - before, 3u);
  std::remove(path.c_str());

  // A lazy image lives as long as its owner likes: it keeps nothing of its
  // decode (past the size limits, a scaled one) for the source's next.
  CGImageSourceRef wide = SourceOf(TestData("two-colours-16484x300.heic"));
  CGImageRef lazy = CGImageSourceCreateImageAtIndex(wide, 0);
  const size_t beforeLazy = HEIFDecodedImageCount();
  ASSERT_EQ(Pixels(lazy).width, kImageMaxDimension);
  ASSERT_EQ(Thumbnail(wide, 64).width, 64u);
  EXPECT_EQ(HEIFDecodedImageCount() - beforeLazy, 2u);
}

TEST_F(LargeSourceThumbnailTest, AJPEGPaddedFarPastItsImageIsReadOnlyAsFarAsItsImage) {
  for (const bool progressive : {false, true}) {
    SCOPED_TRACE(progressive ? "progressive" : "baseline");
    const Bytes jpeg = RawEncodeJPEG(Pattern(64, 48, false), 90, progressive);
    const std::string path = TempPath("padded.jpg");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
    const size_t padded = size_t(256) << 20;  // zeros, never written: the file is sparse
    ASSERT_EQ(truncate(path.c_str(), off_t(padded)), 0);
    AllocationCounter counter;
    CGImageSourceRef source = CGImageSourceCreateWithURL(path);
    std::remove(path.c_str());  // the mapping keeps the file
    ASSERT_TRUE(source);
    EXPECT_EQ(CGImageSourceCopyProperties(source).find(kCGImagePropertyFileSize)->asInt64(),
              int64_t(padded));
    EXPECT_EQ(Thumbnail(source, 8).width, 8u);  // the smallest DCT scale
    EXPECT_EQ(Thumbnail(source, 32).width, 32u);
    // What was read is the image's own bytes and the decoder's buffers: a
    // few MiB at most of the 256.
    EXPECT_LT(counter.peakBytes(), size_t(4) << 20);
    EXPECT_LT(MappedResidentBytes(path), size_t(4) << 20);
  }
}

TEST_F(LargeSourceThumbnailTest, FilesFromTheMappingSizeOnAreMappedNotRead) {
  // A small PNG padded with an ancillary chunk after its data to the size.
  const Bytes small = StoredPNG(90, 60);
  for (size_t size : {kImageFileMappedBytes - 1, kImageFileMappedBytes}) {
    SCOPED_TRACE(size);
    Bytes png(small.begin(), small.end() - 12);  // without IEND
    AppendChunk(png, "paDd", Bytes(size - png.size() - 24, 0));
    AppendChunk(png, "IEND", {});
    ASSERT_EQ(png.size(), size);
    const std::string path = TempPath("edge.png");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    AllocationCounter counter;
    CGImageSourceRef source = CGImageSourceCreateWithURL(path);
    std::remove(path.c_str());
    ASSERT_TRUE(source);
    const bool mapped = size >= kImageFileMappedBytes;
    EXPECT_EQ(counter.peakBytes() >= size, !mapped);
    EXPECT_EQ(Thumbnail(source, 45).width, 45u);
    EXPECT_EQ(CGImageSourceGetType(source), "public.png");
    ASSERT_TRUE(source->data());
    EXPECT_TRUE(*source->data() == png);
  }
}

TEST_F(LargeSourceThumbnailTest, ScaledDecodesLargerThanTheSourceComeFromAWholeDecode) {
  const auto rows = [](uint32_t, uint8_t* row) { TwoColours(30, row, 3); };
  GifFrame frame{0, 0, 30, 20, 0, -1, -1, std::vector<uint8_t>(600, 1)};
  for (const auto& [what, data] :
       {std::pair<const char*, Bytes>{"gif", MakeGif(30, 20, {frame}, -1)},
        {"tiff", MakeTIFF(30, 20, {.rowsPerStrip = 4}, rows)},
        {"heic", TestData("hues-64x48.heic")}}) {
    SCOPED_TRACE(what);
    CGImageSourceStatus status;
    auto decoder = ImageDecoderCreate(Shared(data), true, status);
    if (std::string(what) == "heic" && !HaveHEVCDecoder()) continue;
    ASSERT_TRUE(decoder);
    ImageBitmap out;
    ASSERT_TRUE(decoder->decodeFrameScaled(0, 65, 49, out));
    EXPECT_EQ(out.width, 65u);
    EXPECT_EQ(out.height, 49u);
  }
}

namespace {

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

bool IsMapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(path) != std::string::npos) return true;
  }
  return false;
}

// A SIGBUS of a mapping no image source made: a file of ours, cut short.
void TouchPastTheEndOfAnotherMapping(const std::string& path) {
  WriteFile(path, Bytes(size_t(1) << 16, 7));
  const int fd = ::open(path.c_str(), O_RDWR);
  auto* map = static_cast<volatile uint8_t*>(mmap(nullptr, 1 << 16, PROT_READ, MAP_SHARED, fd, 0));
  if (ftruncate(fd, 0) != 0 || map == MAP_FAILED) std::_Exit(3);
  std::_Exit(map[1 << 15]);
}

// Killed by SIGBUS; a sanitizer's own handler reports it and exits instead.
bool DiedOfBusError(int status) {
  if (QX_CHECKED && WIFEXITED(status)) return WEXITSTATUS(status) != 0;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
}

}  // namespace

TEST_F(LargeSourceThumbnailTest, MappedFilesCutShortFailTheirDecodesAndTheProcessLives) {
  const uint32_t w = 1400, h = 1000;
  const auto rows = [](uint32_t, uint8_t* row) { TwoColours(w, row, 3); };
  const Bytes png = StoredPNG(w, h);
  const Bytes tiff = MakeTIFF(w, h, {.rowsPerStrip = 8, .compression = COMPRESSION_NONE}, rows);
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  struct Case {
    const char* what;
    const Bytes& data;
    size_t cutTo;
    bool removed = false;  // gone from its folder first: only the fault tells
  };
  const Case cases[] = {
      {"png to nothing", png, 0},
      {"png to a page", png, page},
      {"png to half", png, png.size() / 2},
      {"removed png to half", png, png.size() / 2, true},
      // Inside the last page: no fault, the page's tail reads as zeros.
      {"png one byte short", png, png.size() - 1},
      {"tiff to a page", tiff, page},
      {"removed tiff to a page", tiff, page, true},
      {"tiff to half", tiff, tiff.size() / 2},
      {"tiff one byte short", tiff, tiff.size() - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = TempPath("cut");
    ASSERT_GE(c.data.size(), kImageFileMappedBytes);
    WriteFile(path, c.data);
    CGImageSourceRef source = CGImageSourceCreateWithURL(path);
    ASSERT_TRUE(source);
    ASSERT_TRUE(IsMapped(path));
    CGImageRef lazy = CGImageSourceCreateImageAtIndex(source, 0);
    CGImageSourceStatus status;
    auto file = ImageFileBytes::open(path);
    ASSERT_TRUE(file);
    const int fd = ::open(path.c_str(), O_RDWR);
    if (c.removed) std::remove(path.c_str());
    ASSERT_EQ(ftruncate(fd, off_t(c.cutTo)), 0);
    ::close(fd);
    // Each call that reads the file fails on its own; none shows zeros.
    EXPECT_FALSE(ImageDecoderCreateForFile(file, status));
    EXPECT_EQ(status, kCGImageStatusInvalidData);
    EXPECT_EQ(Thumbnail(source, 200).width, 0u);
    const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
    EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source, 0, now));
    EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source, 0));
    EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusInvalidData);
    EXPECT_EQ(CGImageSourceGetStatusAtIndex(source, 0), kCGImageStatusInvalidData);
    EXPECT_FALSE(source->data());
    // Rows before the cut too: the source as a whole is bad data now.
    EXPECT_FALSE(lazy->rowPixelData(0, 8));
    // An image made before the cut decodes after it: as any failed decode,
    // to no pixels at all, never to a black picture of its size.
    EXPECT_FALSE(lazy->pixelData());
    EXPECT_TRUE(lazy->hasNoPixels());
    std::remove(path.c_str());
  }
  // A good file mapped after them decodes.
  const std::string path = TempPath("whole.png");
  WriteFile(path, png);
  CGImageSourceRef source = CGImageSourceCreateWithURL(path);
  std::remove(path.c_str());
  ASSERT_TRUE(source);
  const ImageBitmap thumbnail = Thumbnail(source, 140);
  ASSERT_EQ(thumbnail.width, 140u);
  EXPECT_NEAR(At(thumbnail, 100, 50)[2], 220, 1);
  EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusComplete);
}

TEST_F(LargeSourceThumbnailTest, FilesPastTheWatchedMappingsAreReadInstead) {
  const std::string small = TempPath("small"), large = TempPath("large.png");
  WriteFile(small, Bytes(100, 1));
  WriteFile(large, StoredPNG(1400, 1000));
  std::vector<std::shared_ptr<const ImageFileBytes>> held;
  while (held.size() <= kMappedRangeSlots) {
    auto file = ImageFileBytes::open(small);
    if (!file) break;
    held.push_back(std::move(file));
  }
  EXPECT_EQ(held.size(), kMappedRangeSlots);
  {
    CGImageSourceRef source = CGImageSourceCreateWithURL(large);
    ASSERT_TRUE(source);
    EXPECT_FALSE(IsMapped(large));
    EXPECT_EQ(Thumbnail(source, 140).width, 140u);
  }
  held.pop_back();
  EXPECT_TRUE(ImageFileBytes::open(small));
  held.clear();
  std::remove(small.c_str());
  std::remove(large.c_str());
}

TEST_F(LargeSourceThumbnailTest, ABusErrorOfAnotherMappingGoesWhereItWentBefore) {
  const std::string watched = TempPath("watched"), other = TempPath("other");
  WriteFile(watched, StoredPNG(1400, 1000));
  // The default action: the process dies of it.
  EXPECT_EXIT(
      {
        auto file = ImageFileBytes::open(watched);
        TouchPastTheEndOfAnotherMapping(other);
      },
      DiedOfBusError, "");
  EXPECT_EXIT(
      {
        // Sent, not a fault, though it names an address of a watched file.
        auto file = ImageFileBytes::open(watched);
        siginfo_t info{};
        info.si_signo = SIGBUS;
        info.si_code = SI_QUEUE;
        info.si_addr = const_cast<uint8_t*>(file->data()) + 4096;
        syscall(SYS_rt_sigqueueinfo, getpid(), SIGBUS, &info);
        std::_Exit(0);
      },
      DiedOfBusError, "");
  // A handler installed first still gets it, after a fault of ours is
  // handled.
  EXPECT_EXIT(
      {
        struct sigaction first {};
        first.sa_handler = [](int) { std::_Exit(42); };
        sigaction(SIGBUS, &first, nullptr);
        CGImageSourceRef source = CGImageSourceCreateWithURL(watched);
        if (!source || truncate(watched.c_str(), 4096) != 0) std::_Exit(2);
        if (Thumbnail(source, 100).width != 0) std::_Exit(1);
        TouchPastTheEndOfAnotherMapping(other);
      },
      testing::ExitedWithCode(42), "");
  std::remove(watched.c_str());
  std::remove(other.c_str());
}

}  // namespace large_source_thumbnail_test
