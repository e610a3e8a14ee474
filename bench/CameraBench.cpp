// The camera's photo road against what it should stay close to:
//  - splicing a GPS dictionary into a 5 MB JPEG (through the image
//    destination) against a plain copy of the file's bytes;
//  - shutter to delivered, cropped image for a 12-megapixel frame against
//    decoding that frame's JPEG alone;
//  - opening a camera whose source is a 16000 x 16000 PNG still (past the
//    image decode limits), with the growth of the peak resident memory.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <zlib.h>

#include "AKCamera/AKCamera.h"
#include "AKCamera/AKCameraPhotoCapturer.h"
#include "platform/avfoundation/AVCaptureHardware.h"
#include "platform/foundation/NSData.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

constexpr size_t kW = 4032, kH = 3024;

// A 12-megapixel photo-like picture: gradients with grain, so the JPEG is
// as large as a camera's.
std::shared_ptr<const Bytes> EncodePhoto(double quality) {
  auto px = std::make_shared<Bytes>(kW * kH * 4);
  uint32_t seed = 12345;
  for (size_t y = 0; y < kH; ++y) {
    for (size_t x = 0; x < kW; ++x) {
      seed = seed * 1664525u + 1013904223u;
      uint8_t* p = &(*px)[(y * kW + x) * 4];
      const int grain = int(seed >> 27) - 16;
      p[0] = uint8_t(std::clamp(int(x * 255 / kW) + grain, 0, 255));
      p[1] = uint8_t(std::clamp(int(y * 255 / kH) + grain, 0, 255));
      p[2] = uint8_t(std::clamp(128 + grain * 2, 0, 255));
      p[3] = 255;
    }
  }
  auto image = CGImage::create(kW, kH, 8, 32, kW * 4, kCGImageAlphaNoneSkipLast, px);
  auto out = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(out, "public.jpeg", 1);
  CGImageDestinationAddImage(dest, image,
                             Value::map({{kCGImageDestinationLossyCompressionQuality, quality}}));
  CGImageDestinationFinalize(dest);
  return out;
}

const std::shared_ptr<const Bytes>& FiveMegabyteJPEG() {
  static auto jpeg = EncodePhoto(0.93);
  return jpeg;
}

ValueMap GPSMetadata() {
  CLLocation fix({-33.8688, 151.2093}, 12, 5, 5, 1704239998.25);
  ValueMap metadata;
  ValueMapSet(metadata, kCGImagePropertyGPSDictionary, Value(AKCameraGPSDictionary(fix, nullptr)));
  return metadata;
}

void BM_SpliceGPSInto5MBJPEG(benchmark::State& state) {
  const auto& jpeg = FiveMegabyteJPEG();
  const Value options = Value::map({{kCGImageDestinationMetadata, Value(GPSMetadata())},
                                    {kCGImageDestinationMergeMetadata, true}});
  for (auto _ : state) {
    auto out = std::make_shared<Bytes>();
    auto dest = CGImageDestinationCreateWithData(out, "public.jpeg", 1);
    if (!CGImageDestinationCopyImageSource(dest, CGImageSourceCreateWithBytes(jpeg), options)) {
      state.SkipWithError("splice failed");
      break;
    }
    benchmark::DoNotOptimize(out->data());
  }
  state.counters["MB"] = double(jpeg->size()) / 1e6;
}
BENCHMARK(BM_SpliceGPSInto5MBJPEG)->Unit(benchmark::kMillisecond);

void BM_SpliceBaseline_CopyBytes(benchmark::State& state) {
  const auto& jpeg = FiveMegabyteJPEG();
  for (auto _ : state) {
    auto out = std::make_shared<Bytes>(*jpeg);
    benchmark::DoNotOptimize(out->data());
  }
}
BENCHMARK(BM_SpliceBaseline_CopyBytes)->Unit(benchmark::kMillisecond);

// The 12-megapixel frame as the camera's source: a JPEG still.
const std::string& FramePath() {
  static std::string path = [] {
    const auto& jpeg = FiveMegabyteJPEG();
    std::string p = "/tmp/qx-camera-bench-" + std::to_string(getpid()) + ".jpg";
    std::FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(jpeg->data(), 1, jpeg->size(), f);
    std::fclose(f);
    return p;
  }();
  return path;
}

// Waits for the capturer's delivery, which develops the photo as the screen does.
struct Road {
  AVCaptureSessionPtr session;
  AVCapturePhotoOutputPtr output;
};

Road& CameraRoad() {
  static Road road = [] {
    setenv("QX_CAMERA_SOURCE", FramePath().c_str(), 1);
    Road r;
    auto device = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
    auto input = AVCaptureDeviceInput::deviceInputWithDevice(device, nullptr);
    r.session = std::make_shared<AVCaptureSession>();
    r.session->addInput(input);
    r.output = std::make_shared<AVCapturePhotoOutput>();
    r.session->addOutput(r.output);
    r.session->startRunning();
    return r;
  }();
  return road;
}

void BM_ShutterToCroppedImage12MP(benchmark::State& state) {
  Road& road = CameraRoad();
  // What a 375 x 667 preview with aspect fill shows of a 4:3 landscape frame.
  const CGRect visible = CGRectMake(0.342, 0, 0.316, 1);
  for (auto _ : state) {
    auto capturer = std::make_shared<AKCameraPhotoCapturer>();
    capturer->gpsMetadata = ValueMapFind(GPSMetadata(), kCGImagePropertyGPSDictionary)->asMap();
    auto done = dispatch_semaphore_create(0);
    UIImagePtr delivered;
    capturer->didCaptureWithImageData = [&](std::shared_ptr<Bytes> data) {
      std::optional<ValueMap> metadata;
      delivered = AKCamera::developPhoto(data, visible, metadata);
      if (delivered) benchmark::DoNotOptimize(delivered->CGImage()->pixelData()->data());
      dispatch_semaphore_signal(done);
    };
    capturer->didFail = [&](const NSErrorPtr&) { dispatch_semaphore_signal(done); };
    road.output->capturePhotoWithSettings(AVCapturePhotoSettings::photoSettings(), capturer);
    dispatch_semaphore_wait(done, DISPATCH_TIME_FOREVER);
    if (!delivered) {
      state.SkipWithError("no photo");
      break;
    }
  }
}
BENCHMARK(BM_ShutterToCroppedImage12MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ShutterBaseline_DecodeJPEG(benchmark::State& state) {
  const auto& jpeg = FiveMegabyteJPEG();
  for (auto _ : state) {
    UIImagePtr image = UIImage::imageWithData(NSData::dataWithBytes(Bytes(*jpeg)));
    benchmark::DoNotOptimize(image->CGImage()->pixelData()->data());
  }
}
BENCHMARK(BM_ShutterBaseline_DecodeJPEG)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------- large still

double ResidentMiB(const char* key) {
  std::ifstream in("/proc/self/status");
  const std::string prefix = key;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
  }
  return 0;
}

void PutChunk(std::FILE* f, const char* type, const Bytes& data) {
  auto be = [](uint32_t v) {
    return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  };
  Bytes chunk = be(uint32_t(data.size()));
  chunk.insert(chunk.end(), type, type + 4);
  chunk.insert(chunk.end(), data.begin(), data.end());
  const Bytes crc = be(uint32_t(crc32(0, chunk.data() + 4, uInt(chunk.size() - 4))));
  chunk.insert(chunk.end(), crc.begin(), crc.end());
  std::fwrite(chunk.data(), 1, chunk.size(), f);
}

// A flat grey 16000 x 16000 RGB PNG, deflated row by row.
const std::string& LargeStillPath() {
  static std::string path = [] {
    constexpr uint32_t side = 16000;
    std::string p = "/tmp/qx-camera-bench-large-" + std::to_string(getpid()) + ".png";
    std::FILE* f = std::fopen(p.c_str(), "wb");
    const uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::fwrite(signature, 1, sizeof signature, f);
    PutChunk(f, "IHDR", {0, 0, 0x3E, 0x80, 0, 0, 0x3E, 0x80, 8, 2, 0, 0, 0});
    Bytes row(1 + side * 3, 128), out(1 << 20);
    row[0] = 0;
    z_stream z{};
    deflateInit(&z, Z_BEST_SPEED);
    Bytes idat;
    for (uint32_t y = 0; y < side; ++y) {
      z.next_in = row.data();
      z.avail_in = uInt(row.size());
      const int flush = y + 1 == side ? Z_FINISH : Z_NO_FLUSH;
      do {
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        deflate(&z, flush);
        idat.insert(idat.end(), out.data(), out.data() + (out.size() - z.avail_out));
      } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    PutChunk(f, "IDAT", idat);
    PutChunk(f, "IEND", {});
    std::fclose(f);
    return p;
  }();
  return path;
}

void BM_OpenCameraOnA16000SquarePNG(benchmark::State& state) {
  const std::string& path = LargeStillPath();
  double grown = 0;
  for (auto _ : state) {
    std::ofstream("/proc/self/clear_refs") << "5";  // a new peak from here
    const double before = ResidentMiB("VmRSS:");
    NSErrorPtr error;
    auto source = AVOpenCaptureSource(path, error);
    if (!source) {
      state.SkipWithError("the source did not open");
      break;
    }
    benchmark::DoNotOptimize(source->frameAt(0, error));
    grown = std::max(grown, ResidentMiB("VmHWM:") - before);
    state.counters["frame_px"] = source->dimensions().width * source->dimensions().height;
  }
  state.counters["peak_growth_MiB"] = grown;
}
BENCHMARK(BM_OpenCameraOnA16000SquarePNG)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(FramePath().c_str());
  return 0;
}
