// The image caches over bare baselines, in one run: a memory-cache hit
// contended from 8 threads against a hash map under one mutex; disk-cache
// writes and reads of 10,000 small entries against plain open/write/rename
// and read loops; expiry and size of a 100,000-file folder against a bare
// directory walk with stat; blur and resize of a 12-megapixel image, reported
// per megapixel.

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "image_loading/cache/ILDiskCache.h"
#include "image_loading/cache/ILMemoryCache.h"
#include "image_loading/transformers/UIImageTransform.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr int kKeys = 1000;
constexpr int kEntries = 10000;
constexpr int kFolderFiles = 100000;

std::string makeTempFolder(const char* tag) {
  std::string pattern = std::string("/tmp/qx-bench-") + tag + "-XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  return pattern;
}

void removeFolder(const std::string& path) {
  if (std::system(("rm -rf '" + path + "'").c_str()) != 0) std::abort();
}

std::string key(int i) { return "https://example.com/images/" + std::to_string(i) + ".png"; }

// ---- Memory cache hit, 8 threads ----

std::shared_ptr<ILMemoryCache> g_memoryCache;
std::unordered_map<std::string, std::shared_ptr<NSObject>> g_map;
std::mutex g_mapLock;

void BM_MemoryCacheHit(benchmark::State& state) {
  if (state.thread_index() == 0) {
    auto config = std::make_shared<ILImageCacheConfig>();
    config->shouldUseWeakMemoryCache = true;
    g_memoryCache = std::make_shared<ILMemoryCache>(config);
    for (int i = 0; i < kKeys; ++i) g_memoryCache->setObject(std::make_shared<UIImage>(), key(i), 1);
  }
  int i = state.thread_index() * 97;
  std::vector<std::string> keys;
  for (int k = 0; k < kKeys; ++k) keys.push_back(key(k));
  for (auto _ : state) {
    benchmark::DoNotOptimize(g_memoryCache->objectForKey(keys[i++ % kKeys]));
  }
  if (state.thread_index() == 0) g_memoryCache.reset();
}
BENCHMARK(BM_MemoryCacheHit)->Threads(8)->UseRealTime();

void BM_BaselineMutexMapHit(benchmark::State& state) {
  if (state.thread_index() == 0) {
    for (int i = 0; i < kKeys; ++i) g_map[key(i)] = std::make_shared<UIImage>();
  }
  int i = state.thread_index() * 97;
  std::vector<std::string> keys;
  for (int k = 0; k < kKeys; ++k) keys.push_back(key(k));
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(g_mapLock);
    benchmark::DoNotOptimize(g_map.find(keys[i++ % kKeys])->second);
  }
  if (state.thread_index() == 0) g_map.clear();
}
BENCHMARK(BM_BaselineMutexMapHit)->Threads(8)->UseRealTime();

// ---- Disk cache, 10,000 small entries ----

const NSDataPtr& smallEntry() {
  static const NSDataPtr data = NSData::dataWithBytes(Bytes(512, 0x5a));
  return data;
}

void BM_DiskCacheWrite10k(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const std::string folder = makeTempFolder("write");
    ILDiskCache cache(folder, std::make_shared<ILImageCacheConfig>());
    state.ResumeTiming();
    for (int i = 0; i < kEntries; ++i) cache.setData(smallEntry(), key(i));
    state.PauseTiming();
    removeFolder(folder);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_DiskCacheWrite10k)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void plainWrite(const std::string& folder, int i, bool sync) {
  const std::string path = folder + "/" + std::to_string(i);
  const std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, smallEntry()->bytes(), smallEntry()->length()) < 0) std::abort();
  if (sync) ::fsync(fd);
  ::close(fd);
  ::rename(tmp.c_str(), path.c_str());
}

void BM_BaselineOpenWriteRename10k(benchmark::State& state) {
  const bool sync = state.range(0) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string folder = makeTempFolder("plain");
    state.ResumeTiming();
    for (int i = 0; i < kEntries; ++i) plainWrite(folder, i, sync);
    state.PauseTiming();
    removeFolder(folder);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_BaselineOpenWriteRename10k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->Iterations(1)->UseRealTime();

void BM_DiskCacheRead10k(benchmark::State& state) {
  const std::string folder = makeTempFolder("read");
  ILDiskCache cache(folder, std::make_shared<ILImageCacheConfig>());
  for (int i = 0; i < kEntries; ++i) plainWrite(folder, i, false);
  for (int i = 0; i < kEntries; ++i) {
    ::rename((folder + "/" + std::to_string(i)).c_str(), cache.cachePathForKey(key(i)).c_str());
  }
  for (auto _ : state) {
    for (int i = 0; i < kEntries; ++i) benchmark::DoNotOptimize(cache.dataForKey(key(i)));
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  removeFolder(folder);
}
BENCHMARK(BM_DiskCacheRead10k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BaselineRead10k(benchmark::State& state) {
  const std::string folder = makeTempFolder("plainread");
  for (int i = 0; i < kEntries; ++i) plainWrite(folder, i, false);
  char buffer[4096];
  for (auto _ : state) {
    for (int i = 0; i < kEntries; ++i) {
      int fd = ::open((folder + "/" + std::to_string(i)).c_str(), O_RDONLY | O_CLOEXEC);
      benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
      ::close(fd);
    }
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  removeFolder(folder);
}
BENCHMARK(BM_BaselineRead10k)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- A 100,000-file folder ----

struct BigFolder {
  std::string path = makeTempFolder("big");
  BigFolder() {
    for (int i = 0; i < kFolderFiles; ++i) plainWrite(path, i, false);
  }
  ~BigFolder() { removeFolder(path); }
};

BigFolder& bigFolder() {
  static BigFolder* folder = new BigFolder();
  return *folder;
}

void BM_DiskCacheSizeAndExpiry100k(benchmark::State& state) {
  auto config = std::make_shared<ILImageCacheConfig>();
  config->maxDiskAge = 1e9;  // nothing is old enough: the walk without deletions
  config->maxDiskSize = 0;
  ILDiskCache cache(bigFolder().path, config);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.totalSize());
    cache.removeExpiredData();
  }
  state.SetItemsProcessed(state.iterations() * kFolderFiles);
}
BENCHMARK(BM_DiskCacheSizeAndExpiry100k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BaselineWalkWithStat100k(benchmark::State& state) {
  const std::string& path = bigFolder().path;
  for (auto _ : state) {
    uint64_t total = 0;
    for (int pass = 0; pass < 2; ++pass) {  // as size, then expiry: two walks
      DIR* dir = ::opendir(path.c_str());
      while (dirent* entry = ::readdir(dir)) {
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
          total += static_cast<uint64_t>(st.st_size);
        }
      }
      ::closedir(dir);
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kFolderFiles);
}
BENCHMARK(BM_BaselineWalkWithStat100k)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- 12-megapixel transforms ----

UIImagePtr twelveMegapixels() {
  static const UIImagePtr image = [] {
    const size_t w = 4000, h = 3000;
    auto bytes = std::make_shared<Bytes>(w * h * 4);
    for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = static_cast<uint8_t>(i * 31 >> 3);
    return UIImage::imageWithCGImage(CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaLast, bytes));
  }();
  return image;
}

void BM_Blur12MP(benchmark::State& state) {
  auto image = twelveMegapixels();
  for (auto _ : state) benchmark::DoNotOptimize(il_blurredImageWithRadius(image, 4));
  state.counters["s_per_MP"] = benchmark::Counter(
      12.0 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Blur12MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Resize12MPToHalf(benchmark::State& state) {
  auto image = twelveMegapixels();
  for (auto _ : state) {
    benchmark::DoNotOptimize(il_resizedImageWithSize(image, CGSize{2000, 1500}, 1));
  }
  state.counters["s_per_MP"] = benchmark::Counter(
      12.0 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Resize12MPToHalf)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
