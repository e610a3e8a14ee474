// 400 px thumbnails of large photo-like sources (gradients, texture and
// grain, made here with the formats' own libraries, row by row), each made
// by a fresh process so that its peak memory is its own: this program run
// as a child (CGImageSourceCreateWithURL, then the thumbnail written as a
// JPEG) against `vipsthumbnail -s 400 -o x.jpg` (one thread; a comparison
// peer, skipped when not installed). Each iteration runs every side in turn,
// so they share the machine's state; pin the program to one core (taskset)
// and the children stay on it. Times are the children's CPU time (user +
// system, start-up included; the *_net figures subtract each side's time
// for a 64x48 sample of the same format). Counters are medians, with the
// spread (min-max) of the ratios:
//   ours_ms, vips_ms, ratio (+ ratio_min, ratio_max), ours_net_ms,
//   vips_net_ms, net_ratio
//   ours_MB, vips_MB, mem_ratio   peak resident set (getrusage maxrss)
//   full_ms, full_ratio           within the full-size limits only: a full
//                                 decode (CGImageSourceCreateImageAtIndex,
//                                 immediate) plus ImageBitmapResized, in a
//                                 child the same way; full_ratio = ours/full
// Samples are kept in /tmp (bigthumb-*) between runs: the 100-megapixel
// ones take minutes to encode. A child's peak counts this process's memory
// at its start (a few megabytes: samples are written by children too).

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <jpeglib.h>
#include <libheif/heif.h>
#include <png.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"

extern char** environ;

namespace {

constexpr double kSide = 400;

// One row of the photo, RGB.
class Photo {
 public:
  Photo(uint32_t w, uint32_t h) : w_(w), h_(h), across_(w) {
    for (uint32_t x = 0; x < w; ++x) across_[x] = std::sin(x * 0.031f);
  }
  void row(uint32_t y, uint8_t* rgb) const {
    const float down = std::cos(y * 0.027f), v = float(y) / h_;
    for (uint32_t x = 0; x < w_; ++x, rgb += 3) {
      uint32_t n = x * 73856093u ^ y * 19349663u;
      n ^= n >> 13;
      n *= 0x5bd1e995u;
      n ^= n >> 15;
      const float grain = float(int(n & 15) - 8), u = float(x) / w_;
      const float texture = 18 * across_[x] * down;
      const float c[3] = {40 + 170 * u + texture + grain,
                          60 + 140 * v + 30 * std::sin(u * 9) + texture * 0.5f + grain,
                          200 - 150 * u * v + texture + grain};
      for (int i = 0; i < 3; ++i) rgb[i] = uint8_t(std::clamp(c[i], 0.0f, 255.0f));
    }
  }

 private:
  uint32_t w_, h_;
  std::vector<float> across_;
};

bool WritePNG(const std::string& path, uint32_t w, uint32_t h) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const Photo photo(w, h);
  std::vector<uint8_t> row(size_t(w) * 3);
  for (uint32_t y = 0; y < h; ++y) {
    photo.row(y, row.data());
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

bool WriteJPEG(const std::string& path, uint32_t w, uint32_t h) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 85, TRUE);
  jpeg_start_compress(&c, TRUE);
  const Photo photo(w, h);
  std::vector<uint8_t> row(size_t(w) * 3);
  while (c.next_scanline < h) {
    photo.row(c.next_scanline, row.data());
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return std::fclose(f) == 0;
}

// 8-bit indices over a 6x7x6 colour cube.
bool WriteGIF(const std::string& path, uint32_t w, uint32_t h) {
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  if (!gif) return false;
  ColorMapObject* map = GifMakeMapObject(256, nullptr);
  for (int i = 0; i < 252; ++i) {
    map->Colors[i] = {GifByteType((i / 42) * 51), GifByteType((i / 6 % 7) * 42),
                      GifByteType((i % 6) * 51)};
  }
  bool ok = EGifPutScreenDesc(gif, int(w), int(h), 8, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, int(w), int(h), false, nullptr) == GIF_OK;
  GifFreeMapObject(map);
  const Photo photo(w, h);
  std::vector<uint8_t> rgb(size_t(w) * 3), line(w);
  for (uint32_t y = 0; ok && y < h; ++y) {
    photo.row(y, rgb.data());
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* p = &rgb[size_t(x) * 3];
      line[x] = uint8_t((p[0] * 6 / 256) * 42 + (p[1] * 7 / 256) * 6 + p[2] * 6 / 256);
    }
    ok = EGifPutLine(gif, line.data(), int(w)) == GIF_OK;
  }
  return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

// As the product writes TIFF: RGB, LZW with the horizontal predictor.
bool WriteTIFF(const std::string& path, uint32_t w, uint32_t h) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif) return false;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  const Photo photo(w, h);
  std::vector<uint8_t> row(size_t(w) * 3);
  bool ok = true;
  for (uint32_t y = 0; ok && y < h; ++y) {
    photo.row(y, row.data());
    ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
  }
  TIFFClose(tif);
  return ok;
}

bool WriteHEIC(const std::string& path, uint32_t w, uint32_t h) {
  heif_init(nullptr);
  heif_image* image = nullptr;
  if (heif_image_create(int(w), int(h), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image)
          .code != heif_error_Ok) {
    return false;
  }
  heif_image_add_plane(image, heif_channel_interleaved, int(w), int(h), 8);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  const Photo photo(w, h);
  for (uint32_t y = 0; y < h; ++y) photo.row(y, plane + size_t(y) * stride);
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  bool ok = heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code ==
            heif_error_Ok;
  if (ok) {
    heif_encoder_set_lossy_quality(encoder, 80);
    heif_encoder_set_parameter(encoder, "preset", "ultrafast");
    ok = heif_context_encode_image(context, image, encoder, nullptr, nullptr).code ==
             heif_error_Ok &&
         heif_context_write_to_file(context, path.c_str()).code == heif_error_Ok;
    heif_encoder_release(encoder);
  }
  heif_context_free(context);
  heif_image_release(image);
  return ok;
}

struct Run {
  double cpuMs = NAN;
  double peakMB = NAN;
};

struct Format {
  const char* name;
  const char* extension;
  bool (*write)(const std::string&, uint32_t, uint32_t);
};

const Format kFormats[] = {{"PNG", "png", WritePNG},
                           {"GIF", "gif", WriteGIF},
                           {"TIFF", "tif", WriteTIFF},
                           {"HEIC", "heic", WriteHEIC},
                           {"JPEG", "jpg", WriteJPEG}};

// Writes a sample (in a child: see SampleOf); 0 when written.
int MakeSample(const std::string& extension, uint32_t w, uint32_t h, const std::string& path) {
  for (const Format& f : kFormats) {
    if (extension == f.extension) return f.write(path, w, h) ? 0 : 1;
  }
  return 2;
}

// Runs a program to its end; NAN figures when it fails.
Run Spawn(const std::string& program, std::vector<std::string> args, bool oneThread) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
  if (oneThread) env.push_back("VIPS_CONCURRENCY=1");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return {};
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  Run r;
  r.cpuMs = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  r.peakMB = double(usage.ru_maxrss) / 1024;
  return r;
}

std::string SelfPath();
Run Spawn(const std::string& program, std::vector<std::string> args, bool oneThread);

// The sample's path, written once (kept between runs); "" when it cannot be.
// It is written by a child process: a child's peak memory counts its
// parent's at the time it is started, so this process never holds more than
// a few rows.
std::string SampleOf(const Format& format, uint32_t w, uint32_t h) {
  const std::string path =
      "/tmp/bigthumb-" + std::to_string(w) + "x" + std::to_string(h) + "." + format.extension;
  if (access(path.c_str(), R_OK) == 0) return path;
  const std::string partial = path + ".partial-" + std::to_string(getpid());
  if (std::isnan(Spawn(SelfPath(),
                       {"BigThumbnailBench", "--make", format.extension, std::to_string(w),
                        std::to_string(h), partial},
                       false)
                     .cpuMs) ||
      std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    return "";
  }
  return path;
}

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : "";
}

bool HaveVips() { return access("/usr/bin/vipsthumbnail", X_OK) == 0; }

Run Ours(const std::string& path, const char* mode) {
  return Spawn(SelfPath(), {"BigThumbnailBench", mode, path, path + "-ours.jpg"}, false);
}

Run Vips(const std::string& path) {
  const std::string out = path + "-vips.jpg";
  const Run r =
      Spawn("/usr/bin/vipsthumbnail", {"vipsthumbnail", path, "-s", "400", "-o", out}, true);
  std::remove(out.c_str());
  return r;
}

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void BigThumbnail(benchmark::State& state, const Format& format, uint32_t w, uint32_t h) {
  const std::string path = SampleOf(format, w, h), tiny = SampleOf(format, 64, 48);
  if (path.empty() || tiny.empty()) {
    state.SkipWithError("the sample cannot be written");
    return;
  }
  const bool vips = HaveVips();
  const bool full = uint64_t(w) * h <= kImageMaxPixels;
  std::vector<double> ours, oursNet, oursMB, peer, peerNet, peerMB, fullMs, ratio, netRatio;
  for (auto _ : state) {
    const Run o = Ours(path, "--thumbnail"), oTiny = Ours(tiny, "--thumbnail");
    if (std::isnan(o.cpuMs)) {
      state.SkipWithError("no thumbnail");
      return;
    }
    ours.push_back(o.cpuMs);
    oursMB.push_back(o.peakMB);
    oursNet.push_back(o.cpuMs - oTiny.cpuMs);
    if (vips) {
      const Run v = Vips(path), vTiny = Vips(tiny);
      peer.push_back(v.cpuMs);
      peerMB.push_back(v.peakMB);
      peerNet.push_back(v.cpuMs - vTiny.cpuMs);
      ratio.push_back(o.cpuMs / v.cpuMs);
      netRatio.push_back(oursNet.back() / peerNet.back());
    }
    if (full) fullMs.push_back(Ours(path, "--full").cpuMs);
  }
  state.counters["ours_ms"] = Median(ours);
  state.counters["ours_net_ms"] = Median(oursNet);
  state.counters["ours_MB"] = Median(oursMB);
  state.counters["vips_ms"] = Median(peer);
  state.counters["vips_net_ms"] = Median(peerNet);
  state.counters["vips_MB"] = Median(peerMB);
  state.counters["ratio"] = Median(ratio);
  state.counters["ratio_min"] = ratio.empty() ? NAN : *std::min_element(ratio.begin(), ratio.end());
  state.counters["ratio_max"] = ratio.empty() ? NAN : *std::max_element(ratio.begin(), ratio.end());
  state.counters["net_ratio"] = Median(netRatio);
  state.counters["mem_ratio"] = Median(oursMB) / Median(peerMB);
  state.counters["full_ms"] = Median(fullMs);
  state.counters["full_ratio"] = Median(ours) / Median(fullMs);
}

// The child's work: 0 once the thumbnail is written.
int Child(const std::string& mode, const std::string& path, const std::string& out) {
  auto source = CGImageSourceCreateWithURL(path);
  if (!source) return 2;
  ImageBitmap thumbnail;
  if (mode == "--thumbnail") {
    const Value options = Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                                      {kCGImageSourceCreateThumbnailWithTransform, true},
                                      {kCGImageSourceThumbnailMaxPixelSize, kSide}});
    CGImageRef image = CGImageSourceCreateThumbnailAtIndex(source, 0, options);
    if (!image || !ImageBitmapFromCGImage(image, thumbnail)) return 3;
  } else {
    CGImageRef image = CGImageSourceCreateImageAtIndex(
        source, 0, Value::map({{kCGImageSourceShouldCacheImmediately, true}}));
    ImageBitmap bitmap;
    if (!image || !ImageBitmapFromCGImage(image, bitmap)) return 3;
    image.reset();
    uint32_t tw = 0, th = 0;
    ImageBitmapFitSize(bitmap.width, bitmap.height, kSide, tw, th);
    thumbnail = ImageBitmapResized(bitmap, tw, th);
  }
  auto destination = CGImageDestinationCreateWithURL(out, "public.jpeg", 1);
  CGImageDestinationAddImage(destination, ImageBitmapMakeCGImage(std::move(thumbnail), ""),
                             Value::map({{kCGImageDestinationLossyCompressionQuality, 0.85}}));
  const bool ok = CGImageDestinationFinalize(destination);
  std::remove(out.c_str());
  return ok ? 0 : 4;
}

void Register() {
  for (const Format& f : kFormats) {
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{4000, 3000}, {12000, 8400}}) {
      const std::string name =
          std::string("BigThumbnail/") + f.name + "/" + std::to_string(w) + "x" + std::to_string(h);
      benchmark::RegisterBenchmark(name.c_str(), BigThumbnail, f, w, h)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(5);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 &&
      (std::strcmp(argv[1], "--thumbnail") == 0 || std::strcmp(argv[1], "--full") == 0)) {
    return Child(argv[1], argv[2], argv[3]);
  }
  if (argc == 6 && std::strcmp(argv[1], "--make") == 0) {
    return MakeSample(argv[2], uint32_t(std::stoul(argv[3])), uint32_t(std::stoul(argv[4])),
                      argv[5]);
  }
  Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
