// Scrolling the picker's asset grid over a 10,000-asset album from top to
// bottom, with 0, 1,000 and 5,000 assets selected (cell configuration, the
// selection lookups of each shown cell, the preheat window's changes),
// against computing the grid layout's attributes for the same screens
// alone. Thumbnails are requested but never answered (the media provider
// records nothing), so the main thread's own work is what is measured.
//
// Then the cells' images themselves: the file-backed provider answering the
// grid's requests (opportunistic, aspect fill, the cell's size in pixels on
// the default phone screen: 388 x 388) for 20 photos of 6000 x 4000, as
// JPEG against HEIC written as phones write it: a grid of 512 x 512 tiles
// with or without a thumbnail item. libheif 1.15 cannot write grid images,
// so the bench lays the file out itself around tiles libheif encodes. The
// thumbnail is 640 pixels wide (it covers a cell, which is 582 x 388 in
// aspect fill) or 320 (covering only the degraded image that comes first).
// Each pass over the 20 cells runs in a process of its own (see
// RunPassInChild). Counters: CPU time of every thread per cell, wall time
// per pass, the peak resident memory of the process that made the pass and
// its growth over what that process held before it asked for the cells.
#include <benchmark/benchmark.h>
#include <libheif/heif.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "AKImagePickerController/picker/AKAssetGroupDetailVC.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHFileMediaProvider.h"
#include "platform/photos/PHImageManager.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr int kAssets = 10000;
constexpr double kStep = 200;  // points scrolled between two frames

// Thumbnails are asked for and forgotten.
class SilentProvider : public PHMediaProvider {
 public:
  void requestImage(const PHImageRequest&, PHImageResultHandler) override {}
  void requestImageData(const PHImageRequest&, PHImageDataResultHandler) override {}
  void requestAVAsset(const PHVideoRequest&, PHVideoResultHandler) override {}
  void cancelRequest(PHImageRequestID) override {}
  void startCaching(const std::vector<PHAssetPtr>&, CGSize, PHImageContentMode,
                    const PHImageRequestOptionsPtr&) override {}
  void stopCaching(const std::vector<PHAssetPtr>&, CGSize, PHImageContentMode,
                   const PHImageRequestOptionsPtr&) override {}
  void stopCachingAll() override {}
};

// A library folder of 10,000 small PNG files, made once per process.
void makeLibrary() {
  static bool made = [] {
    char pattern[] = "/tmp/qx-picker-grid-bench-XXXXXX";
    std::string root = mkdtemp(pattern);
    std::string library = root + "/Library";
    NSFileManager::defaultManager()->createDirectoryAtPath(library, true);
    auto pixels = std::make_shared<Bytes>(16 * 16 * 4, uint8_t(128));
    auto image = CGImage::create(16, 16, 8, 32, 64, kCGImageAlphaNoneSkipLast, pixels);
    std::string sample = root + "/sample.png";
    auto dest = CGImageDestinationCreateWithURL(sample, "public.png", 1);
    CGImageDestinationAddImage(dest, image, Value());
    CGImageDestinationFinalize(dest);
    Bytes bytes;
    ReadFileContents(sample, bytes);
    for (int i = 0; i < kAssets; ++i) {
      WriteFileAtomically(library + "/P" + std::to_string(i) + ".png", bytes.data(), bytes.size());
    }
    setenv("QX_MAIN_BUNDLE", QX_SOURCE_DIR "/resources/Runner.app", 0);
    setenv("QX_PHOTO_LIBRARY", library.c_str(), 1);
    setenv("QX_PHOTO_AUTHORIZATION", "authorized", 1);
    PHImageManager::setDefaultMediaProvider(std::make_shared<SilentProvider>());
    registerAKImagePickerScreenClasses();
    return true;
  }();
  (void)made;
}

struct Screen {
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<AKImagePickerController> picker;
  std::shared_ptr<AKAssetGroupDetailVC> grid;
};

// A picker on screen over the library with `selected` assets selected,
// spread evenly over the album.
Screen showPicker(int selected) {
  makeLibrary();
  Screen s;
  s.picker = std::make_shared<AKImagePickerController>();
  s.window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
  s.window->setRootViewController(s.picker);
  s.window->makeKeyAndVisible();
  NSRunLoop::mainRunLoop().runUntilIdle();
  s.grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(s.picker->topViewController());
  while (!s.grid->selectedGroupId() ||
         s.grid->collectionView()->numberOfItemsInSection(0) < kAssets) {
    NSRunLoop::mainRunLoop().runOnce(0.05);
  }
  auto manager = s.picker->groupDataManager();
  auto group = manager->fetchGroup(*s.grid->selectedGroupId());
  std::vector<AKAssetPtr> chosen;
  for (int i = 0; i < selected; ++i)
    chosen.push_back(manager->fetchAsset(group, int64_t(i) * kAssets / selected));
  s.picker->selectWithAssets(chosen);
  s.window->layoutIfNeeded();
  return s;
}

void BM_GridScrollTopToBottom(benchmark::State& state) {
  auto screen = showPicker(int(state.range(0)));
  auto cv = screen.grid->collectionView();
  double end = cv->contentSize().height - cv->bounds().size.height;
  int64_t frames = 0;
  for (auto _ : state) {
    for (double y = 0; y <= end; y += kStep) {
      cv->setContentOffset(CGPointMake(0, y), false);
      cv->layoutIfNeeded();
      ++frames;
    }
    state.PauseTiming();
    cv->setContentOffset(CGPointZero, false);
    cv->layoutIfNeeded();
    state.ResumeTiming();
  }
  state.counters["frames"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GridScrollTopToBottom)->Arg(0)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_LayoutAttributesTopToBottom(benchmark::State& state) {
  auto screen = showPicker(0);
  auto cv = screen.grid->collectionView();
  auto layout = cv->collectionViewLayout();
  double end = cv->contentSize().height - cv->bounds().size.height;
  CGSize size = cv->bounds().size;
  size_t seen = 0;
  for (auto _ : state) {
    for (double y = 0; y <= end; y += kStep) {
      auto attributes =
          layout->layoutAttributesForElementsInRect(CGRectMake(0, y, size.width, size.height));
      seen += attributes.size();
      benchmark::DoNotOptimize(attributes);
    }
  }
  benchmark::DoNotOptimize(seen);
}
BENCHMARK(BM_LayoutAttributesTopToBottom)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- cells of large photos

constexpr int kPhotos = 20;
constexpr uint32_t kPhotoWidth = 6000, kPhotoHeight = 4000, kTileSide = 512;

enum PhotoKind { kJPEG, kTiledWithCoveringThumbnail, kTiledWithPhoneThumbnail, kTiledNoThumbnail };

// A photo-like picture: smooth colour ramps with a little grain, which
// codecs neither waste bits on nor squeeze to nothing.
void PhotoRow(uint32_t y, uint32_t x0, uint32_t width, uint32_t height, uint32_t fullWidth,
              uint8_t* rgb) {
  for (uint32_t x = 0; x < width; ++x, rgb += 3) {
    const uint32_t gx = x0 + x;
    const uint32_t grain = (gx * 2654435761u ^ y * 40503u) >> 29;
    rgb[0] = uint8_t(gx * 255 / fullWidth + grain);
    rgb[1] = uint8_t(y * 255 / height + grain);
    rgb[2] = uint8_t(128 + 100 * std::sin(double(gx + y) / 300));
  }
}

heif_image* PhotoPart(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, uint32_t step = 1) {
  heif_image* image = nullptr;
  heif_image_create(int(w), int(h), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, int(w), int(h), 8);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  std::vector<uint8_t> row(size_t(kPhotoWidth) * 3);
  for (uint32_t y = 0; y < h; ++y) {
    // Past the photo's edge (the last tiles), its last row and column repeat.
    const uint32_t sy = std::min(y0 + y * step, kPhotoHeight - 1);
    PhotoRow(sy, 0, kPhotoWidth, kPhotoHeight, kPhotoWidth, row.data());
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t sx = std::min(x0 + x * step, kPhotoWidth - 1);
      std::memcpy(plane + size_t(y) * stride + size_t(x) * 3, &row[size_t(sx) * 3], 3);
    }
  }
  return image;
}

void Put16(Bytes& b, uint32_t v) { AppendBE16(b, v); }
void Put32(Bytes& b, uint32_t v) { AppendBE32(b, v); }
void PutTag(Bytes& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

Bytes Box(const char* type, const Bytes& body) {
  Bytes b;
  Put32(b, uint32_t(body.size() + 8));
  PutTag(b, type);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes FullBox(const char* type, uint8_t version, uint32_t flags, const Bytes& body) {
  Bytes b = {version, uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)};
  b.insert(b.end(), body.begin(), body.end());
  return Box(type, b);
}

// The boxes of `data` (type, body), end to end.
std::vector<std::pair<std::string, Bytes>> ReadBoxes(const uint8_t* data, size_t size) {
  std::vector<std::pair<std::string, Bytes>> boxes;
  for (size_t pos = 0; pos + 8 <= size;) {
    const size_t length = ReadBE32(data + pos);
    if (length < 8 || length > size - pos) break;
    boxes.emplace_back(std::string(reinterpret_cast<const char*>(data + pos + 4), 4),
                       Bytes(data + pos + 8, data + pos + length));
    pos += length;
  }
  return boxes;
}

const Bytes* Find(const std::vector<std::pair<std::string, Bytes>>& boxes, const char* type) {
  for (const auto& [t, body] : boxes) {
    if (t == type) return &body;
  }
  return nullptr;
}

// An image coded by libheif: its decoder configuration (the body of its
// 'hvcC' box) and its bitstream, taken out of the file libheif writes.
struct Coded {
  Bytes config;
  Bytes stream;
  uint32_t width = 0, height = 0;
};

heif_error WriteToBytes(heif_context*, const void* data, size_t size, void* userdata) {
  auto* out = static_cast<Bytes*>(userdata);
  out->insert(out->end(), static_cast<const uint8_t*>(data),
              static_cast<const uint8_t*>(data) + size);
  return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

Coded Encode(heif_encoder* encoder, heif_image* image) {
  heif_context* context = heif_context_alloc();
  heif_context_encode_image(context, image, encoder, nullptr, nullptr);
  Bytes file;
  heif_writer writer{1, WriteToBytes};
  heif_context_write(context, &writer, &file);
  heif_context_free(context);
  Coded coded;
  coded.width = uint32_t(heif_image_get_width(image, heif_channel_interleaved));
  coded.height = uint32_t(heif_image_get_height(image, heif_channel_interleaved));
  // libheif writes one item: its iloc has one extent, its ipco one hvcC.
  const auto top = ReadBoxes(file.data(), file.size());
  const Bytes* meta = Find(top, "meta");
  if (!meta) return coded;
  const auto inner = ReadBoxes(meta->data() + 4, meta->size() - 4);
  if (const Bytes* iprp = Find(inner, "iprp")) {
    const auto properties = ReadBoxes(iprp->data(), iprp->size());
    if (const Bytes* ipco = Find(properties, "ipco")) {
      if (const Bytes* hvcC = Find(ReadBoxes(ipco->data(), ipco->size()), "hvcC")) {
        coded.config = *hvcC;
      }
    }
  }
  const Bytes* iloc = Find(inner, "iloc");
  if (!iloc || iloc->size() < 8) return coded;
  const uint8_t* l = iloc->data();
  const int version = l[0], offsetSize = l[4] >> 4, lengthSize = l[4] & 15, baseSize = l[5] >> 4,
            indexSize = version >= 1 ? l[5] & 15 : 0;
  size_t pos = 6 + (version < 2 ? 2 : 4);  // item count
  pos += version < 2 ? 2 : 4;              // item id
  if (version >= 1) pos += 2;              // construction method
  pos += 2;                                // data reference
  auto read = [&](int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | l[pos++];
    return v;
  };
  const uint64_t base = read(baseSize);
  pos += 2 + indexSize;  // extent count, extent index
  const uint64_t offset = base + read(offsetSize), length = read(lengthSize);
  if (offset + length <= file.size()) coded.stream.assign(&file[offset], &file[offset + length]);
  return coded;
}

// A HEIC file of a grid of the tiles (row by row) showing width x height,
// with `thumbnail` as its thumbnail item when it has a stream.
Bytes GridFile(const std::vector<Coded>& tiles, uint32_t columns, uint32_t rows, uint32_t width,
               uint32_t height, const Coded& thumbnail) {
  const bool hasThumbnail = !thumbnail.stream.empty();
  const uint32_t gridID = 1, thumbnailID = uint32_t(tiles.size()) + 2;
  Bytes grid = {0, 0, uint8_t(rows - 1), uint8_t(columns - 1)};
  Put16(grid, width);
  Put16(grid, height);
  // Properties: each distinct tile configuration once, then the sizes.
  Bytes ipco;
  std::map<std::string, uint32_t> configs;
  uint32_t next = 1;
  std::vector<uint32_t> tileConfig;
  for (const Coded& tile : tiles) {
    auto [it, added] = configs.emplace(std::string(tile.config.begin(), tile.config.end()), next);
    if (added) {
      Bytes box = Box("hvcC", tile.config);
      ipco.insert(ipco.end(), box.begin(), box.end());
      ++next;
    }
    tileConfig.push_back(it->second);
  }
  auto ispe = [](uint32_t w, uint32_t h) {
    Bytes b;
    Put32(b, w);
    Put32(b, h);
    return FullBox("ispe", 0, 0, b);
  };
  auto add = [&](const Bytes& box) {
    ipco.insert(ipco.end(), box.begin(), box.end());
    return next++;
  };
  const uint32_t tileSize = add(ispe(kTileSide, kTileSide));
  const uint32_t gridSize = add(ispe(width, height));
  const uint32_t thumbConfig = hasThumbnail ? add(Box("hvcC", thumbnail.config)) : 0;
  const uint32_t thumbSize = hasThumbnail ? add(ispe(thumbnail.width, thumbnail.height)) : 0;

  Bytes ipma, iinf, dimg, items;
  const uint32_t count = uint32_t(tiles.size()) + 1 + (hasThumbnail ? 1 : 0);
  Put32(ipma, count);
  Put16(iinf, count);
  // Tiles are hidden items: only the grid is an image of its own.
  auto describe = [&](uint32_t id, const char* type, std::vector<uint32_t> properties,
                      bool hidden = false) {
    Bytes infe;
    Put16(infe, id);
    Put16(infe, 0);
    PutTag(infe, type);
    infe.push_back(0);
    Bytes box = FullBox("infe", 2, hidden ? 1 : 0, infe);
    iinf.insert(iinf.end(), box.begin(), box.end());
    Put16(ipma, id);
    ipma.push_back(uint8_t(properties.size()));
    for (uint32_t p : properties) Put16(ipma, 0x8000 | p);
  };
  describe(gridID, "grid", {gridSize});
  Put16(dimg, gridID);
  Put16(dimg, uint32_t(tiles.size()));
  for (size_t i = 0; i < tiles.size(); ++i) {
    describe(uint32_t(i) + 2, "hvc1", {tileConfig[i], tileSize}, true);
    Put16(dimg, uint32_t(i) + 2);
  }
  if (hasThumbnail) describe(thumbnailID, "hvc1", {thumbConfig, thumbSize});
  Bytes iref = Box("dimg", dimg);
  if (hasThumbnail) {
    Bytes thmb;
    Put16(thmb, thumbnailID);
    Put16(thmb, 1);
    Put16(thmb, gridID);
    const Bytes box = Box("thmb", thmb);
    iref.insert(iref.end(), box.begin(), box.end());
  }
  // The media data: the grid's description, the tiles, the thumbnail.
  std::vector<const Bytes*> data = {&grid};
  for (const Coded& tile : tiles) data.push_back(&tile.stream);
  if (hasThumbnail) data.push_back(&thumbnail.stream);

  Bytes ftyp;
  PutTag(ftyp, "heic");
  Put32(ftyp, 0);
  PutTag(ftyp, "mif1");
  PutTag(ftyp, "heic");
  ftyp = Box("ftyp", ftyp);
  auto meta = [&](uint32_t mdatStart) {
    Bytes hdlr(4, 0);
    PutTag(hdlr, "pict");
    hdlr.insert(hdlr.end(), 13, 0);
    Bytes pitm;
    Put16(pitm, gridID);
    Bytes iloc = {0x44, 0x00};  // 4-byte offsets and lengths, no base offset
    Put16(iloc, count);
    uint32_t offset = mdatStart;
    for (uint32_t i = 0; i < count; ++i) {
      Put16(iloc, i + 1);
      Put16(iloc, 0);
      Put16(iloc, 1);
      Put32(iloc, offset);
      Put32(iloc, uint32_t(data[i]->size()));
      offset += uint32_t(data[i]->size());
    }
    Bytes ipcoBox = Box("ipco", ipco), ipmaBox = FullBox("ipma", 0, 1, ipma);
    Bytes iprp = ipcoBox;
    iprp.insert(iprp.end(), ipmaBox.begin(), ipmaBox.end());
    Bytes body;
    for (const Bytes& box :
         {FullBox("hdlr", 0, 0, hdlr), FullBox("pitm", 0, 0, pitm), FullBox("iloc", 0, 0, iloc),
          FullBox("iinf", 0, 0, iinf), FullBox("iref", 0, 0, iref), Box("iprp", iprp)}) {
      body.insert(body.end(), box.begin(), box.end());
    }
    return FullBox("meta", 0, 0, body);
  };
  const size_t metaSize = meta(0).size();
  Bytes file = ftyp;
  const Bytes metaBox = meta(uint32_t(ftyp.size() + metaSize + 8));
  file.insert(file.end(), metaBox.begin(), metaBox.end());
  size_t mdatSize = 8;
  for (const Bytes* d : data) mdatSize += d->size();
  Put32(file, uint32_t(mdatSize));
  PutTag(file, "mdat");
  for (const Bytes* d : data) file.insert(file.end(), d->begin(), d->end());
  return file;
}

// One photo of the kind, made once per machine: encoding 96 tiles takes
// a while.
std::string PhotoFile(PhotoKind kind) {
  const std::string dir = "/tmp/qx-picker-grid-bench-photos-v3";
  std::filesystem::create_directories(dir);
  const char* names[] = {"photo.jpg", "tiled-thumb640.heic", "tiled-thumb320.heic", "tiled.heic"};
  const std::string path = dir + "/" + names[kind];
  if (std::filesystem::exists(path)) return path;
  Bytes bytes;
  if (kind == kJPEG) {
    auto pixels = std::make_shared<Bytes>(size_t(kPhotoWidth) * kPhotoHeight * 4, 255);
    std::vector<uint8_t> rgb(size_t(kPhotoWidth) * 3);
    for (uint32_t y = 0; y < kPhotoHeight; ++y) {
      PhotoRow(y, 0, kPhotoWidth, kPhotoHeight, kPhotoWidth, rgb.data());
      uint8_t* out = pixels->data() + size_t(y) * kPhotoWidth * 4;
      for (uint32_t x = 0; x < kPhotoWidth; ++x) std::memcpy(out + x * 4, &rgb[x * 3], 3);
    }
    auto image = CGImage::create(kPhotoWidth, kPhotoHeight, 8, 32, kPhotoWidth * 4,
                                 kCGImageAlphaNoneSkipLast, pixels);
    auto out = std::make_shared<Bytes>();
    auto destination = CGImageDestinationCreateWithData(out, "public.jpeg", 1);
    CGImageDestinationAddImage(destination, image,
                               Value::map({{kCGImageDestinationLossyCompressionQuality, 0.9}}));
    if (!CGImageDestinationFinalize(destination)) return {};
    bytes = *out;
  } else {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code !=
        heif_error_Ok) {
      heif_context_free(context);
      return {};
    }
    heif_encoder_set_lossy_quality(encoder, 80);
    const uint32_t columns = (kPhotoWidth + kTileSide - 1) / kTileSide;
    const uint32_t rows = (kPhotoHeight + kTileSide - 1) / kTileSide;
    std::vector<Coded> tiles;
    for (uint32_t r = 0; r < rows; ++r) {
      for (uint32_t c = 0; c < columns; ++c) {
        heif_image* tile = PhotoPart(c * kTileSide, r * kTileSide, kTileSide, kTileSide);
        tiles.push_back(Encode(encoder, tile));
        heif_image_release(tile);
      }
    }
    Coded thumbnail;
    if (kind != kTiledNoThumbnail) {
      const uint32_t w = kind == kTiledWithCoveringThumbnail ? 640 : 320;
      const uint32_t h = w * kPhotoHeight / kPhotoWidth;
      heif_image* small = PhotoPart(0, 0, w, h, kPhotoWidth / w);
      thumbnail = Encode(encoder, small);
      heif_image_release(small);
    }
    heif_encoder_release(encoder);
    heif_context_free(context);
    bytes = GridFile(tiles, columns, rows, kPhotoWidth, kPhotoHeight, thumbnail);
  }
  if (!WriteFileAtomically(path, bytes.data(), bytes.size())) return {};
  return path;
}

// A library folder of 20 copies of the photo, a day apart.
std::string LargePhotoLibrary(PhotoKind kind) {
  const std::string photo = PhotoFile(kind);
  if (photo.empty()) return {};
  const std::string dir = "/tmp/qx-picker-grid-bench-photos-v3/library-" + std::to_string(kind);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  for (int i = 0; i < kPhotos; ++i) {
    const std::string copy =
        dir + "/P" + std::to_string(i) + std::filesystem::path(photo).extension().string();
    std::filesystem::copy_file(photo, copy);
  }
  return dir;
}

double CPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ResidentMiB() {
  std::ifstream in("/proc/self/status");
  const std::string prefix = "VmRSS:";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
  }
  return 0;
}

// Set (to the photos' kind) in the environment of a child that makes one
// pass; the library's folder is in QX_PHOTO_LIBRARY.
constexpr const char* kPassVariable = "QX_PICKER_GRID_CELLS_PASS";

// One pass, in the child: the grid's 20 cells asked for at once from a new
// provider, until each has its final image. Writes "cpu wall resident
// missing" to standard output: the CPU seconds of every thread and the wall
// seconds of the pass, the MiB resident before it, and how many cells got
// no image.
int RunPass() {
  setenv("QX_MAIN_BUNDLE", QX_SOURCE_DIR "/resources/Runner.app", 0);
  setenv("QX_PHOTO_AUTHORIZATION", "authorized", 1);
  auto assets = PHAsset::fetchAssetsWithOptions(nullptr);
  if (assets->count() != kPhotos) return 2;
  // The grid's cell on the default screen, in pixels, as the grid asks.
  auto screen = UIScreen::mainScreen();
  const double width = screen->bounds().size.width, columns = std::floor(width / 100);
  const double side = (width - (columns - 1)) / columns * screen->scale();
  auto provider = std::make_shared<PHFileMediaProvider>();
  const double resident = ResidentMiB(), cpuBefore = CPUSeconds();
  const auto start = std::chrono::steady_clock::now();
  dispatch_semaphore_t finals = dispatch_semaphore_create(0);
  auto missing = std::make_shared<std::atomic<int>>(0);  // cells left without an image
  for (int64_t i = 0; i < assets->count(); ++i) {
    PHImageRequest request{PHImageRequestID(i + 1), assets->objectAtIndex(i),
                           CGSizeMake(side, side), PHImageContentModeAspectFill,
                           std::make_shared<PHImageRequestOptions>()};
    provider->requestImage(request, [finals, missing](const UIImagePtr& image, const Value& info) {
      const Value* degraded = info.find(PHImageResultIsDegradedKey);
      if (image && degraded && degraded->asBool()) return;
      if (!image) ++*missing;
      dispatch_semaphore_signal(finals);
    });
  }
  for (int i = 0; i < kPhotos; ++i) dispatch_semaphore_wait(finals, DISPATCH_TIME_FOREVER);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%f %f %f %d\n", CPUSeconds() - cpuBefore, wall, resident, missing->load());
  std::fflush(stdout);
  // Queue workers may still be winding down: nothing is torn down.
  std::_Exit(0);
}

struct Pass {
  std::string error;  // empty when the pass was made
  double cpu = 0, wall = 0;
  double residentMiB = 0;  // before the cells were asked for
  double peakMiB = 0;
};

// A pass made in a process of its own, started afresh from this program,
// whose peak resident memory (wait4's ru_maxrss) is then the pass's alone.
// Measured in this process, a row's peak would hide behind what earlier
// rows and passes left resident: the allocator keeps freed heap, so a later
// pass reuses it without the resident size growing, and /proc's peak only
// ever grows. A row's numbers would then depend on which rows ran before it.
Pass RunPassInChild(PhotoKind kind, const std::string& library) {
  Pass pass;
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind(kPassVariable, 0) != 0 && v.rfind("QX_PHOTO_LIBRARY=", 0) != 0)
      variables.push_back(v);
  }
  variables.push_back(std::string(kPassVariable) + "=" + std::to_string(int(kind)));
  variables.push_back("QX_PHOTO_LIBRARY=" + library);
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return {"no pipe"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t child = 0;
  const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, size_t(n));
  close(out[0]);
  if (spawned != 0) return {"cannot start the pass"};
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return {"the pass failed"};
  }
  int missing = 0;
  if (std::sscanf(said.c_str(), "%lf %lf %lf %d", &pass.cpu, &pass.wall, &pass.residentMiB,
                  &missing) != 4) {
    return {"the pass said nothing"};
  }
  if (missing) return {"a cell got no image"};
  pass.peakMiB = double(usage.ru_maxrss) / 1024.0;  // KiB
  return pass;
}

void BM_GridCellsOfLargePhotos(benchmark::State& state) {
  const auto kind = PhotoKind(state.range(0));
  const std::string library = LargePhotoLibrary(kind);
  if (library.empty()) {
    state.SkipWithError(kind == kJPEG ? "cannot write the JPEG" : "no HEVC encoder in libheif");
    return;
  }
  double cpu = 0, peak = 0, grown = 0;
  for (auto _ : state) {
    const Pass pass = RunPassInChild(kind, library);
    if (!pass.error.empty()) {
      state.SkipWithError(pass.error.c_str());
      break;
    }
    state.SetIterationTime(pass.wall);
    cpu += pass.cpu;
    peak = std::max(peak, pass.peakMiB);
    grown = std::max(grown, pass.peakMiB - pass.residentMiB);
  }
  state.counters["cpu_ms_per_cell"] = 1000 * cpu / double(state.iterations() * kPhotos);
  state.counters["peak_MiB"] = peak;
  state.counters["peak_growth_MiB"] = grown;
  state.counters["file_MiB"] =
      double(std::filesystem::file_size(PhotoFile(kind))) / (1024.0 * 1024.0);
}
BENCHMARK(BM_GridCellsOfLargePhotos)
    ->ArgName("kind")  // 0 JPEG, 1 tiled HEIC + 640 thumbnail, 2 + 320 thumbnail, 3 no thumbnail
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kPassVariable)) return RunPass();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
