// Downloads through the image downloader against the same transfers made
// with curl's multi interface alone, from one keep-alive HTTP server on
// 127.0.0.1: 1,000 small images and 10 large (8 MB) ones, at most six
// transfers in flight on both sides. Curl runs bare, once more with the
// options every session transfer sets, the like-for-like peer, and with
// those options and its handles kept between transfers, as the session
// keeps its own. The
// downloader's images are decoded lazily (ILDownloadAvoidDecodeImage), so
// what is compared is the transfer path: operations, the session thread,
// delegate queues, token bookkeeping.
// Then a memory-cache hit through the image manager's whole load path,
// against the bare memory-cache look-up.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/cache/ILImageCacheDefine.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "image_loading/manager/ILRemoteImageManager.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr size_t kSmallCount = 1000;
constexpr size_t kLargeCount = 10;
constexpr size_t kLargeBytes = 8u << 20;
constexpr size_t kInFlight = 6;

// A PNG of w x h with varied pixels (so that it does not compress to nothing).
std::string pngBody(size_t w, size_t h) {
  auto bytes = std::make_shared<Bytes>(w * h * 4);
  uint32_t seed = 12345;
  for (auto& b : *bytes) {
    seed = seed * 1103515245 + 12345;
    b = static_cast<uint8_t>(seed >> 16);
  }
  for (size_t i = 3; i < bytes->size(); i += 4) (*bytes)[i] = 255;
  CGImageRef image = CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaNoneSkipLast, bytes);
  auto out = std::make_shared<Bytes>();
  CGImageDestinationRef destination = CGImageDestinationCreateWithData(out, "public.png", 1);
  CGImageDestinationAddImage(destination, image, Value());
  CGImageDestinationFinalize(destination);
  return std::string(reinterpret_cast<const char*>(out->data()), out->size());
}

// HTTP/1.1 with keep-alive, one thread per connection; every path gets the
// small body except those under /large/.
class BenchServer {
 public:
  BenchServer() : small_(pngBody(16, 16)), large_(kLargeBytes, '\0') {
    const std::string png = pngBody(64, 64);
    for (size_t i = 0; i < large_.size(); ++i) large_[i] = png[i % png.size()];
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
    listen(listener_, 128);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~BenchServer() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : clients_) shutdown(fd, SHUT_RDWR);
    for (auto& thread : threads_) thread.join();
    for (int fd : clients_) close(fd);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void acceptLoop() {
    while (!stopping_) {
      int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      // Head and body go out as two writes: without this the body waits
      // for the client's delayed acknowledgement of the head.
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard<std::mutex> lock(mutex_);
      clients_.push_back(client);
      threads_.emplace_back([this, client] {
        pthread_setname_np(pthread_self(), "bench-server");
        serve(client);
      });
    }
  }
  void serve(int client) {
    std::string buffer;
    char chunk[8192];
    for (;;) {
      size_t end;
      while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
      }
      const bool large = buffer.find(" /large/") != std::string::npos;
      buffer.erase(0, end + 4);
      const std::string& body = large ? large_ : small_;
      std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n";
      if (!sendAll(client, head) || !sendAll(client, body)) return;
    }
  }
  static bool sendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  std::string small_;
  std::string large_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::thread> threads_;
};

BenchServer& server() {
  static BenchServer instance;
  return instance;
}

// Process CPU time and context switches over a run, per transfer, as
// counters: the wall time of a shared machine says little, these say what a
// transfer costs. They include the in-process server's share, which is the
// same for every client. Every transfer row reports the same counters, the
// failed transfers among them: the CSV output wants one set of columns.
class CostCounters {
 public:
  CostCounters() { getrusage(RUSAGE_SELF, &start_); }
  void report(benchmark::State& state, size_t perIteration, size_t failures) const {
    state.counters["failures"] = static_cast<double>(failures);
    rusage end{};
    getrusage(RUSAGE_SELF, &end);
    const double transfers = static_cast<double>(state.iterations()) * static_cast<double>(perIteration);
    state.counters["cpu_us_each"] = 0;
    state.counters["switches_each"] = 0;
    if (transfers <= 0) return;
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    const double cpu = seconds(end.ru_utime) - seconds(start_.ru_utime) + seconds(end.ru_stime) -
                       seconds(start_.ru_stime);
    const double switches = static_cast<double>(end.ru_nvcsw - start_.ru_nvcsw + end.ru_nivcsw -
                                                start_.ru_nivcsw);
    state.counters["cpu_us_each"] = cpu * 1e6 / transfers;
    state.counters["switches_each"] = switches / transfers;
  }

 private:
  rusage start_{};
};

// Each call names URLs no earlier call did, across the calls that Google
// Benchmark makes of one benchmark too, so that nothing is ever served from
// a cache: every round of every run is the same work for each side.
std::vector<std::string> urls(const char* kind, size_t count) {
  static int64_t round = 0;
  ++round;
  std::vector<std::string> list;
  list.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    list.push_back(server().url(std::string("/") + kind + "/" + std::to_string(i) + ".png?r=" +
                                std::to_string(round)));
  }
  return list;
}

struct Transfer {
  CURL* easy = nullptr;
  std::string body;
};

// Gathers the body as the session does, reserving the announced length.
size_t appendBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  if (transfer->body.empty()) {
    curl_off_t length = -1;
    curl_easy_getinfo(transfer->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0) transfer->body.reserve(static_cast<size_t>(length));
  }
  transfer->body.append(data, size * count);
  return size * count;
}

// What every session transfer asks of curl besides the URL: compressed
// bodies accepted, the cookie jar, the head read line by line, and no more
// than six connections per host.
struct SessionLikeOptions {
  CURLSH* share = nullptr;
  curl_slist* fields = nullptr;
  // Finished handles kept for the next transfers with their options, as the
  // session keeps its own; empty when each transfer makes a new handle.
  std::vector<CURL*>* spares = nullptr;
};

size_t ignoreHeaderLine(char*, size_t size, size_t count, void*) { return size * count; }

// The same transfers with curl alone: one multi handle kept across rounds
// (its connections stay open, as the session's do), six transfers at a time,
// each body gathered in memory.
// Returns the transfers that failed or were not answered with 200.
size_t curlFetchAll(CURLM* multi, const std::vector<std::string>& list,
                    const SessionLikeOptions* like) {
  size_t failures = 0;
  std::vector<Transfer> transfers(list.size());
  size_t next = 0, running = 0, done = 0;
  std::vector<CURL*>* spares = like ? like->spares : nullptr;
  auto add = [&] {
    const bool reused = spares && !spares->empty();
    CURL* easy = reused ? spares->back() : curl_easy_init();
    if (reused) spares->pop_back();
    transfers[next].easy = easy;
    curl_easy_setopt(easy, CURLOPT_URL, list[next].c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfers[next]);
    if (!reused) {
      curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody);
    }
    if (like && !reused) {
      curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
      curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
      curl_easy_setopt(easy, CURLOPT_SHARE, like->share);
      curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
      curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, ignoreHeaderLine);
      curl_easy_setopt(easy, CURLOPT_HTTPHEADER, like->fields);
    }
    curl_multi_add_handle(multi, easy);
    ++next;
    ++running;
  };
  while (next < list.size() && running < kInFlight) add();
  while (done < list.size()) {
    int active = 0;
    curl_multi_perform(multi, &active);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      long status = 0;
      curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
      if (message->data.result != CURLE_OK || status != 200) ++failures;
      curl_multi_remove_handle(multi, message->easy_handle);
      if (spares) {
        spares->push_back(message->easy_handle);
      } else {
        curl_easy_cleanup(message->easy_handle);
      }
      --running;
      ++done;
      if (next < list.size()) add();
    }
    if (done < list.size()) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  return failures;
}

void runCurl(benchmark::State& state, const char* kind, size_t count, size_t bytes,
             bool sessionLike = false, bool keepHandles = false) {
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> spares;
  // Keeps its connections through the quiet end of a round, as the session does.
  curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 64L);
  SessionLikeOptions like;
  if (sessionLike) {
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(kInFlight));
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    like.share = curl_share_init();
    curl_share_setopt(like.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    // The downloader's own fields.
    like.fields = curl_slist_append(like.fields, "Accept: image/*,*/*;q=0.8");
    if (keepHandles) like.spares = &spares;
  }
  size_t failures = 0;
  const CostCounters cost;
  for (auto _ : state)
    failures += curlFetchAll(multi, urls(kind, count), sessionLike ? &like : nullptr);
  cost.report(state, count, failures);
  for (CURL* easy : spares) curl_easy_cleanup(easy);
  curl_multi_cleanup(multi);
  curl_slist_free_all(like.fields);
  if (like.share) curl_share_cleanup(like.share);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count * bytes));
}

void runDownloader(benchmark::State& state, const char* kind, size_t count, size_t bytes,
                   ILDownloadExecutionOrder order = ILDownloadFIFOExecutionOrder) {
  auto config = ILRemoteImageDownloaderConfig::defaultDownloaderConfig()->copy();
  config->executionOrder = order;
  auto downloader = ILRemoteImageDownloader::create(config);
  auto queue = std::make_shared<ILCallbackQueue>(dispatch_get_global_queue(DispatchQoS::Default));
  queue->setPolicy(ILCallbackQueuePolicyInvoke);
  const ILRemoteImageContext context = Value::map(
      {{ILRemoteImageContextCallbackQueue, Value(std::static_pointer_cast<NSObject>(queue))}});
  size_t failures = 0;
  const CostCounters cost;
  for (auto _ : state) {
    auto finished = dispatch_semaphore_create(0);
    auto remaining = std::make_shared<std::atomic<size_t>>(count);
    auto failed = std::make_shared<std::atomic<size_t>>(0);
    for (const std::string& url : urls(kind, count)) {
      downloader->downloadImageWithURL(
          NSURL::URLWithString(url), ILDownloadAvoidDecodeImage, context, nullptr,
          [finished, remaining, failed](UIImagePtr image, NSDataPtr, NSErrorPtr, bool done) {
            if (!done) return;
            if (!image) ++*failed;
            if (--*remaining == 0) dispatch_semaphore_signal(finished);
          });
    }
    dispatch_semaphore_wait(finished, DISPATCH_TIME_FOREVER);
    failures += *failed;
    state.PauseTiming();
    // The start and stop notifications wait for the main loop.
    NSRunLoop::mainRunLoop().runUntilIdle();
    state.ResumeTiming();
  }
  cost.report(state, count, failures);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count * bytes));
}

void BM_CurlMulti_1000Small(benchmark::State& state) {
  runCurl(state, "small", kSmallCount, 0);
}
BENCHMARK(BM_CurlMulti_1000Small)->Unit(benchmark::kMillisecond)->UseRealTime();

// The like-for-like peer of the session and the downloader: curl doing the
// same transfers with the options each session transfer sets.
void BM_CurlMultiSessionOptions_1000Small(benchmark::State& state) {
  runCurl(state, "small", kSmallCount, 0, /*sessionLike=*/true);
}
BENCHMARK(BM_CurlMultiSessionOptions_1000Small)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same, each finished handle kept for a later transfer as the session
// keeps its own: the handle's making and freeing (a sixth of a small
// transfer in curl) is then on neither side.
void BM_CurlMultiSessionOptionsKeptHandles_1000Small(benchmark::State& state) {
  runCurl(state, "small", kSmallCount, 0, /*sessionLike=*/true, /*keepHandles=*/true);
}
BENCHMARK(BM_CurlMultiSessionOptionsKeptHandles_1000Small)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Downloader_1000Small(benchmark::State& state) {
  runDownloader(state, "small", kSmallCount, 0);
}
BENCHMARK(BM_Downloader_1000Small)->Unit(benchmark::kMillisecond)->UseRealTime();

// Last in first out, as the gallery's downloader runs: 250, 500 and 1,000
// requested at once, the newest first. Each waiting download waits for every
// newer one, so past the first six they run one at a time: the time is that
// of the transfers in a row, and should grow in proportion to the count.
void BM_Downloader_Small_LIFO(benchmark::State& state) {
  runDownloader(state, "small", static_cast<size_t>(state.range(0)), 0,
                ILDownloadLIFOExecutionOrder);
}
BENCHMARK(BM_Downloader_Small_LIFO)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The URL session alone (no downloader), each body gathered by the session:
// how much of the downloader's time is the session's own. Every task is
// resumed at once and the session's per-host limit of six holds the rest
// back, as the curl peer is handed the whole list and keeps six running:
// on both sides the next transfer starts on the transfer thread the moment
// one ends.
void runSession(benchmark::State& state, const char* kind, size_t count) {
  auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration.HTTPMaximumConnectionsPerHost = static_cast<int>(kInFlight);
  auto session = NSURLSession::sessionWithConfiguration(configuration);
  auto failed = std::make_shared<std::atomic<size_t>>(0);
  const CostCounters cost;
  for (auto _ : state) {
    auto finished = dispatch_semaphore_create(0);
    auto remaining = std::make_shared<std::atomic<size_t>>(count);
    for (const std::string& url : urls(kind, count)) {
      session
          ->dataTaskWithURL(NSURL::URLWithString(url),
                            [remaining, finished, failed](NSDataPtr, NSHTTPURLResponsePtr response,
                                                          NSErrorPtr error) {
                              if (error || !response || response->statusCode() != 200) ++*failed;
                              if (--*remaining == 0) dispatch_semaphore_signal(finished);
                            })
          ->resume();
    }
    dispatch_semaphore_wait(finished, DISPATCH_TIME_FOREVER);
  }
  cost.report(state, count, *failed);
}

void BM_Session_1000Small(benchmark::State& state) { runSession(state, "small", kSmallCount); }
BENCHMARK(BM_Session_1000Small)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same with six tasks at a time, each completion handler starting the
// next: every slot then stays empty for the trip to the delegate queue and
// back, the price of refilling from the handler.
void runSessionChained(benchmark::State& state, const char* kind, size_t count) {
  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::defaultSessionConfiguration());
  auto failed = std::make_shared<std::atomic<size_t>>(0);
  const CostCounters cost;
  for (auto _ : state) {
    const auto list = urls(kind, count);
    auto finished = dispatch_semaphore_create(0);
    auto next = std::make_shared<std::atomic<size_t>>(0);
    auto remaining = std::make_shared<std::atomic<size_t>>(count);
    auto start = std::make_shared<std::function<void()>>();
    *start = [session, &list, next, remaining, finished, failed, start] {
      const size_t index = (*next)++;
      if (index >= list.size()) return;
      session
          ->dataTaskWithURL(NSURL::URLWithString(list[index]),
                            [remaining, finished, failed, start](
                                NSDataPtr, NSHTTPURLResponsePtr response, NSErrorPtr error) {
                              if (error || !response || response->statusCode() != 200) ++*failed;
                              // The next one first: once the count is out,
                              // nobody touches `start` any more.
                              (*start)();
                              if (--*remaining == 0) dispatch_semaphore_signal(finished);
                            })
          ->resume();
    };
    for (size_t i = 0; i < kInFlight; ++i) (*start)();
    dispatch_semaphore_wait(finished, DISPATCH_TIME_FOREVER);
    *start = nullptr;  // it holds itself
  }
  cost.report(state, count, *failed);
}

void BM_SessionChained_1000Small(benchmark::State& state) {
  runSessionChained(state, "small", kSmallCount);
}
BENCHMARK(BM_SessionChained_1000Small)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CurlMulti_10Large8MB(benchmark::State& state) {
  runCurl(state, "large", kLargeCount, kLargeBytes);
}
BENCHMARK(BM_CurlMulti_10Large8MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Downloader_10Large8MB(benchmark::State& state) {
  runDownloader(state, "large", kLargeCount, kLargeBytes);
}
BENCHMARK(BM_Downloader_10Large8MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the download operation does with a small body once it has arrived:
// the decode for its caller, images decoded lazily as in the downloads above.
void BM_DecodeSmallDownloadedPNG(benchmark::State& state) {
  const std::string body = pngBody(16, 16);
  const NSDataPtr data = NSData::dataWithBytes(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  const NSURLPtr url = NSURL::URLWithString(server().url("/small/decode.png"));
  const ILRemoteImageOptions options = ILImageOptionsFromDownloaderOptions(ILDownloadAvoidDecodeImage);
  const ILRemoteImageContext context;
  const Value decodeOptions = ILImageDecodeOptionsFromContext(context, options, url->absoluteString());
  size_t images = 0;
  for (auto _ : state) {
    images += ILImageCacheDecodeImageDataWithDecodeOptions(data, decodeOptions, options, context) != nullptr;
  }
  if (images != static_cast<size_t>(state.iterations())) state.SkipWithError("a decode failed");
}
BENCHMARK(BM_DecodeSmallDownloadedPNG)->Unit(benchmark::kMicrosecond);

// A load whose image is in the memory cache, on the main thread, as a view
// asks for it: options, failed-URL check, cache key, the query, the
// completion.
void BM_ManagerMemoryHit(benchmark::State& state) {
  auto cache = ILImageCache::create("bench-manager", "/tmp/qx-bench-manager-cache");
  auto manager = ILRemoteImageManager::create(cache, ILRemoteImageDownloader::create());
  const std::string url = "https://images.example/hit.png";
  auto image = UIImage::imageWithCGImage(
      CGImage::create(8, 8, 8, 32, 32, kCGImageAlphaNoneSkipLast, std::make_shared<Bytes>(256)));
  cache->storeImageToMemory(image, url);
  const NSURLPtr nsurl = NSURL::URLWithString(url);
  size_t hits = 0;
  for (auto _ : state) {
    manager->loadImageWithURL(nsurl, 0, nullptr,
                              [&hits](UIImagePtr image, NSDataPtr, NSErrorPtr, ILImageCacheKind,
                                      bool, NSURLPtr) { hits += image != nullptr; });
  }
  if (hits != static_cast<size_t>(state.iterations())) {
    state.SkipWithError("a load missed the memory cache");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ManagerMemoryHit)->Unit(benchmark::kMicrosecond);

void BM_MemoryCacheLookupBaseline(benchmark::State& state) {
  auto cache = ILImageCache::create("bench-lookup", "/tmp/qx-bench-manager-cache");
  const std::string url = "https://images.example/hit.png";
  cache->storeImageToMemory(
      UIImage::imageWithCGImage(CGImage::create(8, 8, 8, 32, 32, kCGImageAlphaNoneSkipLast,
                                                std::make_shared<Bytes>(256))),
      url);
  for (auto _ : state) benchmark::DoNotOptimize(cache->imageFromMemoryCacheForKey(url));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemoryCacheLookupBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
