// Hostile inputs rebuilt in memory and answered the way a user of the system
// meets them: each must be answered within a second, within 800 MB for the
// large files and 100 MB for the small bombs, whole or fed in pieces.
//
// Every case runs in a child process of its own, so that its peak memory is
// its own: the child builds the input, resets its peak resident size
// (/proc/self/clear_refs), runs the case and reports the wall time and the
// peak above what it held before the case started. Counters per case:
//   wall_s      median wall time of the case over the iterations (each
//               iteration's is also the benchmark's manual time)
//   worst_wall_s  the slowest iteration
//   cpu_s       median CPU time of all the child's threads over the case: the
//               work itself, whatever the machine's load leaves of its cores
//   peak_MB     highest peak resident memory above the child's start-of-case
//               level
//   target_s, target_MB  what the case must stay within
//   within      1 when the median time and the peak meet the targets and
//               every answer is the expected refusal (or reply); 0 otherwise
//   answered    1 when the answer was the expected one
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/FlutterJSONDriver.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSURL.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIPasteboard.h"
#include "plugins/pasteboard/PasteboardPlugin.h"
#include "plugins/shared_preferences_foundation/SharedPreferencesPlugin.h"

namespace {

constexpr double kTargetSeconds = 1.0;
constexpr double kLargeFileMB = 800;
constexpr double kSmallBombMB = 100;
// A case that has not ended by then is killed and reported as missed.
constexpr unsigned kCaseTimeoutSeconds = 120;

// ---- measuring a case in a child process -----------------------------------

struct CaseReport {
  double seconds = 0;
  double cpuSeconds = 0;  // every thread of the child, over the case
  double peakMB = 0;
  int answered = 0;
  char note[160] = {};
};

long StatusKB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
      return std::atol(line.c_str() + length + 1);
    }
  }
  return -1;
}

double ProcessCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Makes VmHWM start again from the current resident size.
bool ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return bool(clear);
}

// What a case does: `prepare` builds its input (not measured) and returns the
// measured part, which says whether the answer was the expected one.
using CaseRun = std::function<bool(std::string& note)>;
using CasePrepare = std::function<CaseRun()>;

// Runs the case in a fresh child; the parent stays free of the platform's
// threads, so every child starts from the same single-threaded state.
CaseReport RunIsolated(const CasePrepare& prepare) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    alarm(kCaseTimeoutSeconds);
    CaseReport report;
    CaseRun run = prepare();
    if (!ResetPeakResident()) std::snprintf(report.note, sizeof report.note, "no clear_refs");
    const long before = StatusKB("VmRSS");
    const double cpuBefore = ProcessCPUSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::string note;
    report.answered = run(note) ? 1 : 0;
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.cpuSeconds = ProcessCPUSeconds() - cpuBefore;
    report.peakMB = double(StatusKB("VmHWM") - before) / 1024.0;
    run = nullptr;  // what the case started (a server) ends with it
    if (!note.empty()) std::snprintf(report.note, sizeof report.note, "%s", note.c_str());
    ssize_t written = write(fds[1], &report, sizeof report);
    _exit(written == ssize_t(sizeof report) ? 0 : 1);
  }
  close(fds[1]);
  CaseReport report;
  const ssize_t got = child > 0 ? read(fds[0], &report, sizeof report) : -1;
  close(fds[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  if (got != ssize_t(sizeof report)) {
    report = CaseReport();
    std::snprintf(report.note, sizeof report.note, "child ended without a report (status %d)", status);
    report.seconds = kCaseTimeoutSeconds;
  }
  return report;
}

// Over the iterations: the median and the worst wall time, the highest peak,
// and whether every answer was the expected one.
void Measure(benchmark::State& state, double targetMB, const CasePrepare& prepare) {
  std::vector<double> walls, cpus;
  double peakMB = 0;
  bool answered = true;
  CaseReport last;
  for (auto _ : state) {
    last = RunIsolated(prepare);
    state.SetIterationTime(last.seconds);
    walls.push_back(last.seconds);
    cpus.push_back(last.cpuSeconds);
    peakMB = std::max(peakMB, last.peakMB);
    answered = answered && last.answered;
  }
  if (walls.empty()) return;
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  const double median = walls[walls.size() / 2];
  state.counters["wall_s"] = median;
  state.counters["worst_wall_s"] = walls.back();
  state.counters["cpu_s"] = cpus[cpus.size() / 2];
  state.counters["peak_MB"] = peakMB;
  state.counters["target_s"] = kTargetSeconds;
  state.counters["target_MB"] = targetMB;
  state.counters["answered"] = answered ? 1 : 0;
  state.counters["within"] = answered && median <= kTargetSeconds && peakMB <= targetMB ? 1 : 0;
  if (last.note[0]) state.SetLabel(last.note);
}

// ---- inputs -----------------------------------------------------------------

void AppendBE32(Bytes& out, uint32_t v) {
  out.insert(out.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}
void AppendLE24(Bytes& out, uint32_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)}); }
void AppendLE32(Bytes& out, uint32_t v) {
  AppendLE24(out, v);
  out.push_back(uint8_t(v >> 24));
}

void AppendPNGChunk(Bytes& out, const char* type, const Bytes& data) {
  AppendBE32(out, uint32_t(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  AppendBE32(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

// A GIF of `frames` one-pixel frames on a side x side canvas: a quarter of a
// megabyte holds ten thousand frames on 64 megapixels.
NSDataPtr TinyFramesGIF(uint16_t side, int frames) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', uint8_t(side), uint8_t(side >> 8), uint8_t(side), uint8_t(side >> 8),
               0x80, 0, 0, 0, 0, 0, 255, 0, 0};
  for (int i = 0; i < frames; ++i) {
    const uint16_t x = uint16_t(i % side);
    gif.insert(gif.end(), {0x21, 0xF9, 4, 4, 10, 0, 0, 0});
    gif.insert(gif.end(), {0x2C, uint8_t(x), uint8_t(x >> 8), 0, 0, 1, 0, 1, 0, 0});
    gif.insert(gif.end(), {2, 2, 0x4C, 0x01, 0});
  }
  gif.push_back(0x3B);
  return NSData::dataWithBytes(std::move(gif));
}

void AppendRiffChunk(Bytes& out, const char* fourcc, const Bytes& data) {
  out.insert(out.end(), fourcc, fourcc + 4);
  AppendLE32(out, uint32_t(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  if (data.size() % 2) out.push_back(0);
}

// The smallest lossless WebP bitstream (VP8L) of one pixel, encoded by the
// platform's own encoder, without its RIFF header.
Bytes OnePixelVP8L() {
  auto bytes = std::make_shared<Bytes>(Bytes{255, 0, 0, 255});
  CGImageRef pixel = CGImage::create(1, 1, 8, 32, 4, kCGImageAlphaNoneSkipLast, bytes);
  auto out = std::make_shared<Bytes>();
  CGImageDestinationRef destination = CGImageDestinationCreateWithData(out, "org.webmproject.webp", 1);
  CGImageDestinationAddImage(destination, pixel,
                             Value::map({{kCGImageDestinationLossyCompressionQuality, 1.0}}));
  CGImageDestinationFinalize(destination);
  return Bytes(out->begin() + 12, out->end());
}

// An animated WebP on a side x side canvas of `frames` one-pixel frames.
NSDataPtr AnimatedWebPOfTinyFrames(uint32_t side, int frames) {
  const Bytes pixel = OnePixelVP8L();
  Bytes chunks;
  Bytes vp8x = {0x02, 0, 0, 0};
  AppendLE24(vp8x, side - 1);
  AppendLE24(vp8x, side - 1);
  AppendRiffChunk(chunks, "VP8X", vp8x);
  AppendRiffChunk(chunks, "ANIM", {0, 0, 0, 0, 0, 0});
  for (int i = 0; i < frames; ++i) {
    Bytes anmf;
    AppendLE24(anmf, uint32_t(i % 64));
    AppendLE24(anmf, 0);
    AppendLE24(anmf, 0);
    AppendLE24(anmf, 0);
    AppendLE24(anmf, 100);
    anmf.push_back(0);
    anmf.insert(anmf.end(), pixel.begin(), pixel.end());
    AppendRiffChunk(chunks, "ANMF", anmf);
  }
  Bytes webp = {'R', 'I', 'F', 'F'};
  AppendLE32(webp, uint32_t(4 + chunks.size()));
  webp.insert(webp.end(), {'W', 'E', 'B', 'P'});
  webp.insert(webp.end(), chunks.begin(), chunks.end());
  return NSData::dataWithBytes(std::move(webp));
}

// A PNG header announcing 8192x8192 RGBA.
Bytes PNGHead() {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  AppendBE32(ihdr, 8192);
  AppendBE32(ihdr, 8192);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendPNGChunk(png, "IHDR", ihdr);
  return png;
}

// About 2 KB: 8192x8192 RGBA announced, the image data 64 rows of zeros.
NSDataPtr PNGBomb() {
  Bytes png = PNGHead();
  Bytes rows(size_t(64) * (8192 * 4 + 1), 0);
  uLongf size = compressBound(uLong(rows.size()));
  Bytes deflated(size);
  compress2(deflated.data(), &size, rows.data(), uLong(rows.size()), 9);
  deflated.resize(size);
  AppendPNGChunk(png, "IDAT", deflated);
  AppendPNGChunk(png, "IEND", {});
  return NSData::dataWithBytes(std::move(png));
}

// gzip of `prefix` followed by `zeros` zero bytes.
std::string GzipOf(const Bytes& prefix, uint64_t zeros) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string out;
  Bytes buffer(1 << 16);
  const Bytes block(1 << 20, 0);
  auto feed = [&](const uint8_t* data, size_t size, int flush) {
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = uInt(size);
    do {
      z.next_out = buffer.data();
      z.avail_out = uInt(buffer.size());
      deflate(&z, flush);
      out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - z.avail_out);
    } while (z.avail_out == 0);
  };
  feed(prefix.data(), prefix.size(), Z_NO_FLUSH);
  for (uint64_t left = zeros; left > 0;) {
    const size_t size = size_t(std::min<uint64_t>(left, block.size()));
    left -= size;
    feed(block.data(), size, Z_NO_FLUSH);
  }
  feed(nullptr, 0, Z_FINISH);
  deflateEnd(&z);
  return out;
}

// ---- the cases ----------------------------------------------------------------

Value Thumbnails64() {
  return Value::map({{kILImageCoderDecodeThumbnailPixelSize, ILImageCoderSizeValue({64, 64})}});
}

// The 250 KB GIF of ten thousand frames on 64 megapixels.
void BM_GIF10kFramesOn64MP_ThumbnailOfEveryFrame(benchmark::State& state) {
  Measure(state, kLargeFileMB, [] {
    NSDataPtr gif = TinyFramesGIF(8192, 10000);
    return CaseRun([gif](std::string& note) {
      UIImagePtr image = ILImageGIFCoder::sharedCoder()->decodedImageWithData(gif, Thumbnails64());
      note = std::to_string(gif->length() / 1024) + " KB, " + (image ? "decoded" : "refused");
      return image == nullptr;
    });
  });
}
BENCHMARK(BM_GIF10kFramesOn64MP_ThumbnailOfEveryFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_GIF10kFramesOn64MP_EagerDecode(benchmark::State& state) {
  Measure(state, kLargeFileMB, [] {
    NSDataPtr gif = TinyFramesGIF(8192, 10000);
    return CaseRun([gif](std::string& note) {
      UIImagePtr image = ILImageGIFCoder::sharedCoder()->decodedImageWithData(
          gif, Value::map({{kILImageCoderDecodeUseLazyDecoding, false}}));
      note = image ? "decoded" : "refused";
      return image == nullptr;
    });
  });
}
BENCHMARK(BM_GIF10kFramesOn64MP_EagerDecode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Lazily every frame is kept undrawn until it shows.
void BM_GIF10kFramesOn64MP_LazyDecode(benchmark::State& state) {
  Measure(state, kLargeFileMB, [] {
    NSDataPtr gif = TinyFramesGIF(8192, 10000);
    return CaseRun([gif](std::string& note) {
      UIImagePtr image = ILImageGIFCoder::sharedCoder()->decodedImageWithData(gif, Value());
      const size_t frames = image && image->images() ? image->images()->size() : 0;
      note = std::to_string(frames) + " lazy frames";
      return frames == 10000;
    });
  });
}
BENCHMARK(BM_GIF10kFramesOn64MP_LazyDecode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The 64-megapixel animated WebP of 999 one-pixel frames.
// The same frames on a canvas their data can fill are read: the refusal is
// the canvas's, not a malformed file's.
bool TinyFramesWebPIsReadable() {
  UIImagePtr small = ILImageAWebPCoder::sharedCoder()->decodedImageWithData(
      AnimatedWebPOfTinyFrames(128, 999), Value());
  return small && small->images() && small->images()->size() == 999;
}

void BM_AnimatedWebP64MP_Whole(benchmark::State& state) {
  Measure(state, kLargeFileMB, [] {
    NSDataPtr webp = AnimatedWebPOfTinyFrames(8192, 999);
    const bool readable = TinyFramesWebPIsReadable();
    return CaseRun([webp, readable](std::string& note) {
      UIImagePtr image = ILImageAWebPCoder::sharedCoder()->decodedImageWithData(webp, Value());
      note = std::to_string(webp->length() / 1024) + " KB, " + (image ? "decoded" : "refused") +
             (readable ? "" : ", but the 128x128 version is unreadable too");
      return image == nullptr && readable;
    });
  });
}
BENCHMARK(BM_AnimatedWebP64MP_Whole)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Through a progressive coder, an update per piece and an image asked after
// each, as a download shows its image while it arrives.
bool FeedInPieces(const std::shared_ptr<ILProgressiveImageCoder>& coder, const NSDataPtr& data,
                  size_t pieces, std::string& note) {
  size_t images = 0;
  for (size_t i = 1; i <= pieces; ++i) {
    const size_t size = data->length() * i / pieces;
    coder->updateIncrementalData(NSData::dataWithBytes(data->bytes(), size), i == pieces);
    if (coder->incrementalDecodedImageWithOptions(Value())) ++images;
  }
  note = std::to_string(data->length()) + " bytes in " + std::to_string(pieces) + " pieces, " +
         std::to_string(images) + " images";
  return images == 0;
}

void BM_AnimatedWebP64MP_InHalves(benchmark::State& state) {
  Measure(state, kLargeFileMB, [] {
    NSDataPtr webp = AnimatedWebPOfTinyFrames(8192, 999);
    return CaseRun([webp](std::string& note) {
      return FeedInPieces(ILImageAWebPCoder::sharedCoder()->initIncrementalWithOptions(Value()), webp, 2,
                          note);
    });
  });
}
BENCHMARK(BM_AnimatedWebP64MP_InHalves)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The 2 KB PNG bomb, 64 bytes at a time, through the progressive APNG and
// WebP coders.
void BM_PNGBomb2KB_APNGCoderInPieces(benchmark::State& state) {
  Measure(state, kSmallBombMB, [] {
    NSDataPtr bomb = PNGBomb();
    return CaseRun([bomb](std::string& note) {
      return FeedInPieces(ILImageAPNGCoder::sharedCoder()->initIncrementalWithOptions(Value()), bomb,
                          (bomb->length() + 63) / 64, note);
    });
  });
}
BENCHMARK(BM_PNGBomb2KB_APNGCoderInPieces)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_PNGBomb2KB_WebPCoderInPieces(benchmark::State& state) {
  Measure(state, kSmallBombMB, [] {
    NSDataPtr bomb = PNGBomb();
    return CaseRun([bomb](std::string& note) {
      return FeedInPieces(ILImageAWebPCoder::sharedCoder()->initIncrementalWithOptions(Value()), bomb,
                          (bomb->length() + 63) / 64, note);
    });
  });
}
BENCHMARK(BM_PNGBomb2KB_WebPCoderInPieces)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// ---- a gzip response inflating far past the body limit --------------------

// Serves `response` to every connection on 127.0.0.1 from a process of its
// own (so that its memory is not the case's), until destroyed.
class OneResponseServer {
 public:
  explicit OneResponseServer(const std::string& response) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 16);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the case
      serve(response);
    }
    close(listener_);
  }
  ~OneResponseServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string url(const char* path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  [[noreturn]] void serve(const std::string& response) {
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, size_t(got));
      }
      for (size_t sent = 0; sent < response.size();) {
        const ssize_t put = send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) break;
        sent += size_t(put);
      }
      close(client);
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

std::string GzipImageResponse(uint64_t inflatedBytes) {
  const Bytes head = PNGHead();
  const std::string body = GzipOf(head, inflatedBytes - head.size());
  return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Encoding: gzip\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void MeasureGzipDownload(benchmark::State& state, uint64_t inflatedBytes) {
  // Built once, in the parent: deflating gigabytes takes seconds.
  const std::string response = GzipImageResponse(inflatedBytes);
  Measure(state, kLargeFileMB, [&response] {
    auto server = std::make_shared<OneResponseServer>(response);
    return CaseRun([server, bodyKB = response.size() / 1024](std::string& note) {
      std::atomic<bool> done{false};
      NSErrorPtr failure;
      UIImagePtr image;
      auto downloader = ILRemoteImageDownloader::sharedDownloader();
      downloader->downloadImageWithURL(NSURL::URLWithString(server->url("/bomb.png")), 0, nullptr,
                                       [&](UIImagePtr i, NSDataPtr, NSErrorPtr e, bool finished) {
                                         if (!finished) return;
                                         image = i;
                                         failure = e;
                                         done = true;
                                       });
      while (!done) NSRunLoop::mainRunLoop().runOnce(0.001);
      note = std::to_string(bodyKB) + " KB gzip, " +
             (failure ? "error " + std::to_string(failure->code()) : std::string(image ? "image" : "nothing"));
      return !image && failure && failure->domain() == NSURLErrorDomain &&
             failure->code() == NSURLErrorDataLengthExceedsMaximum;
    });
  });
}

void BM_GzipResponseInflatingTo2GiB_Download(benchmark::State& state) {
  MeasureGzipDownload(state, uint64_t{2} << 30);
}
BENCHMARK(BM_GzipResponseInflatingTo2GiB_Download)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// 256 KB of gzip: just past the limit once inflated.
void BM_Gzip256KBResponse_Download(benchmark::State& state) {
  MeasureGzipDownload(state, uint64_t{256} * 1030 * 1024);
}
BENCHMARK(BM_Gzip256KBResponse_Download)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// ---- the pasteboard's 64-megapixel image read --------------------------------

constexpr size_t kPhotoSide = 8000;

// A photo-like frame: smooth light, edges, and sensor noise of a few levels.
std::shared_ptr<Bytes> PhotoPixels() {
  auto pixels = std::make_shared<Bytes>(kPhotoSide * kPhotoSide * 4);
  uint32_t seed = 1;
  for (size_t y = 0; y < kPhotoSide; ++y) {
    for (size_t x = 0; x < kPhotoSide; ++x) {
      seed = seed * 1103515245 + 12345;
      const int noise = int((seed >> 16) % 5) - 2;
      const double light = 110 + 60 * std::sin(double(x) * 0.003) + 40 * std::cos(double(y) * 0.002) +
                           double((x / 310 + y / 190) % 2) * 30;
      uint8_t* p = &(*pixels)[(y * kPhotoSide + x) * 4];
      for (int c = 0; c < 3; ++c) p[c] = uint8_t(std::clamp(int(light) + c * 15 + noise, 0, 255));
      p[3] = 255;
    }
  }
  return pixels;
}

// One "image" call answered on the main thread; a PNG is the expected answer.
bool ReadPasteboardImage(std::string& note) {
  PasteboardPlugin plugin;
  std::atomic<bool> done{false};
  size_t bytes = 0;
  bool png = false;
  plugin.handleMethodCall(FlutterMethodCall::methodCallWithMethodName("image", Value()),
                          FlutterResult(FlutterResult::Sink([&](FlutterReply reply) {
                            if (reply.value.isBytes()) {
                              const Bytes& b = reply.value.asBytes();
                              bytes = b.size();
                              png = bytes > 8 && b[1] == 'P' && b[2] == 'N' && b[3] == 'G';
                            }
                            done = true;
                          })));
  while (!done) NSRunLoop::mainRunLoop().runOnce(0.001);
  note = "PNG of " + std::to_string(bytes / 1000) + " KB";
  return png;
}

void BM_Pasteboard64MPImageRead(benchmark::State& state) {
  Measure(state, kLargeFileMB, [] {
    UIPasteboard::generalPasteboard()->setImage(UIImage::imageWithCGImage(
        CGImage::create(kPhotoSide, kPhotoSide, 8, 32, kPhotoSide * 4,
                        kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big, PhotoPixels())));
    return CaseRun(ReadPasteboardImage);
  });
}
BENCHMARK(BM_Pasteboard64MPImageRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The 250 KB GIF of ten thousand frames on 64 megapixels, copied as a GIF:
// the read answers the first frame, on its whole canvas, as PNG.
void BM_Pasteboard250KBGIFOn64MPImageRead(benchmark::State& state) {
  Measure(state, 600, [] {
    UIPasteboard::generalPasteboard()->setItems(
        {{{Value("com.compuserve.gif"), Value::bytes(TinyFramesGIF(8192, 10000)->vector())}}});
    return CaseRun(ReadPasteboardImage);
  });
}
BENCHMARK(BM_Pasteboard250KBGIFOn64MPImageRead)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// ---- the preferences' set of a list nested 126 deep --------------------------

std::string NestedListJSON(int levels) {
  return std::string(size_t(levels - 1), '[') + "\"leaf\"" + std::string(size_t(levels - 1), ']');
}

void BM_PreferencesSetOfListNested126Deep(benchmark::State& state) {
  Measure(state, kSmallBombMB, [] {
    char home[] = "/tmp/qx-hostile-bench-XXXXXX";
    if (mkdtemp(home)) setenv("QX_APP_HOME", home, 1);
    return CaseRun([](std::string& note) {
      auto engine = FlutterEngine::create();
      SharedPreferencesPlugin::registerWithRegistrar(engine->registrarForPlugin("SharedPreferencesPlugin"));
      std::atomic<int> replies{0};
      std::string lines;
      std::mutex mutex;
      auto driver = FlutterJSONDriver::create(engine, [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines += line + "\n";
        ++replies;
      });
      const std::string api = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";
      const std::string options = R"({"$custom":129,"value":[null]})";
      driver->handleLine(R"({"id":1,"channel":")" + api + R"(set","message":["fits",)" +
                         NestedListJSON(126) + "," + options + "]}");
      driver->handleLine(R"({"id":2,"channel":")" + api + R"(set","message":["deep",)" +
                         NestedListJSON(127) + "," + options + "]}");
      driver->handleLine(R"({"id":3,"channel":")" + api + R"(getAll","message":[null,)" + options + "]}");
      while (replies < 3) NSRunLoop::mainRunLoop().runOnce(0.001);
      engine->destroyContext();
      std::lock_guard<std::mutex> lock(mutex);
      const bool fitsStored = lines.find(R"({"id":1,"reply":[null]})") != std::string::npos;
      const bool deepRefused = lines.find(R"({"id":2,"reply":["Argument Error")") != std::string::npos;
      const bool listed = lines.find(R"({"id":3,"reply":[{"fits":)") != std::string::npos &&
                          lines.find("\"deep\"") == std::string::npos;
      note = std::string(fitsStored ? "126 stored" : "126 NOT stored") + (deepRefused ? ", 127 refused" : ", 127 NOT refused") +
             (listed ? ", getAll answers" : ", getAll wrong");
      return fitsStored && deepRefused && listed;
    });
  });
}
BENCHMARK(BM_PreferencesSetOfListNested126Deep)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
