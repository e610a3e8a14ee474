#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DownloaderTestSupport.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLCache.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIImage.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace downloader_network_test {

namespace {

using il_test::DownloadRecord;
using il_test::DownloadRecordPtr;
using il_test::RunMainLoopUntil;

// The most body the downloader takes from one download (after the content
// coding is undone): the largest frame the decoders take.
constexpr uint64_t kBodyLimit = uint64_t{256} << 20;

// What the network brings: TLS, redirects, slow and lying servers,
// credentials and the URL cache, through the downloader.
class DownloaderNetworkTest : public PlatformTest {
 protected:
  void TearDown() override {
    for (const auto& downloader : {plain, other}) {
      if (downloader) {
        EXPECT_TRUE(RunMainLoopUntil([&] { return downloader->currentDownloadCount() == 0; }));
      }
    }
    plain.reset();
    other.reset();
    PlatformTest::TearDown();
  }
  static bool waitForFinal(const DownloadRecordPtr& record) {
    return RunMainLoopUntil([&] { return record->finals() >= 1; });
  }
  static DownloadRecordPtr fetch(const ILRemoteImageDownloaderPtr& downloader,
                                 const std::string& url, ILDownloadOptions options = 0,
                                 const ILRemoteImageContext& context = Value()) {
    auto record = std::make_shared<DownloadRecord>();
    downloader->downloadImageWithURL(NSURL::URLWithString(url), options, context,
                                     record->progressBlock(), record->completedBlock());
    EXPECT_TRUE(waitForFinal(record));
    // One transfer at a time: the next caller of a URL starts afresh.
    EXPECT_TRUE(RunMainLoopUntil([&] { return downloader->currentDownloadCount() == 0; }));
    return record;
  }
  // For transfers of hundreds of megabytes: several rounds of the bounded wait.
  static DownloadRecordPtr fetchLarge(const ILRemoteImageDownloaderPtr& downloader, const std::string& url) {
    auto record = std::make_shared<DownloadRecord>();
    downloader->downloadImageWithURL(NSURL::URLWithString(url), 0, Value(), record->progressBlock(),
                                     record->completedBlock());
    bool finished = false;
    for (int round = 0; round < 6 && !finished; ++round) finished = waitForFinal(record);
    EXPECT_TRUE(finished);
    EXPECT_TRUE(RunMainLoopUntil([&] { return downloader->currentDownloadCount() == 0; }));
    return record;
  }
  static ScriptedResponse png(size_t w = 4, size_t h = 3) {
    return ScriptedResponse(200, {{"Content-Type", "image/png"}}, il_test::PNGBody(w, h));
  }

  LoopbackHttpServer server;
  ILRemoteImageDownloaderPtr plain = ILRemoteImageDownloader::create();
  ILRemoteImageDownloaderPtr other;
};

TEST_F(DownloaderNetworkTest, SelfSignedServerIsRefusedUnlessAllowed) {
  LoopbackHttpServer secure{LoopbackHttpServer::Transport::Https};
  secure.script("/a.png", png());
  auto refused = fetch(plain, secure.url("/a.png"));
  ASSERT_NE(refused->error, nullptr);
  EXPECT_EQ(refused->error->domain(), NSURLErrorDomain);
  EXPECT_EQ(refused->error->code(), NSURLErrorServerCertificateUntrusted);
  EXPECT_EQ(secure.requests().size(), 0u);

  auto allowed = fetch(plain, secure.url("/a.png"), ILDownloadAllowInvalidCertificates);
  EXPECT_EQ(allowed->error, nullptr);
  ASSERT_NE(allowed->image, nullptr);
  EXPECT_EQ(allowed->image->size().width, 4);
  EXPECT_EQ(secure.requests().size(), 1u);
}

TEST_F(DownloaderNetworkTest, RedirectsAreFollowedAndMetricsReachTheToken) {
  server.script("/old.png", ScriptedResponse(302, {{"Location", "/new.png"}}, "moved"));
  server.script("/new.png", png(6, 2));
  auto record = std::make_shared<DownloadRecord>();
  auto token = plain->downloadImageWithURL(NSURL::URLWithString(server.url("/old.png")), 0,
                                           record->progressBlock(), record->completedBlock());
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_NE(record->image, nullptr);
  EXPECT_EQ(record->image->size().width, 6);
  drainMainLoop();
  ASSERT_NE(token->metrics(), nullptr);
  EXPECT_EQ(token->metrics()->redirectCount(), 1);
  EXPECT_EQ(token->response()->URL()->absoluteString(), server.url("/new.png"));
}

TEST_F(DownloaderNetworkTest, OnlyTwoHundredsAreAcceptedByDefault) {
  // An image body under a status outside 200-299 is no image: 300 is the
  // first status past the range, and is not followed as a redirect.
  for (int status : {300, 304, 404}) {
    std::string path = "/status" + std::to_string(status) + ".png";
    ScriptedResponse answer = png();
    answer.status = status;
    if (status == 300) answer.headers.push_back({"Location", "/elsewhere.png"});
    server.script(path, answer);
    auto record = fetch(plain, server.url(path));
    ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidDownloadStatusCode))
        << status;
    EXPECT_EQ(record->error->userInfo().find(ILRemoteImageErrorDownloadStatusCodeKey)->asInt64(),
              status);
    EXPECT_EQ(record->image, nullptr);
  }
  server.script("/status299.png", [&] {
    ScriptedResponse answer = png();
    answer.status = 299;
    return answer;
  }());
  auto edge = fetch(plain, server.url("/status299.png"));
  EXPECT_EQ(edge->error, nullptr);
  EXPECT_NE(edge->image, nullptr);
  EXPECT_EQ(server.requestCount("/elsewhere.png"), 0u);
}

TEST_F(DownloaderNetworkTest, SilentServerTimesOutAndTheDefaultTimeoutStands) {
  auto config = ILRemoteImageDownloaderConfig::defaultDownloaderConfig()->copy();
  config->downloadTimeout = 0;
  other = ILRemoteImageDownloader::create(config);
  auto operation = other->createDownloaderOperationWithUrl(
      NSURL::URLWithString(server.url("/x.png")), 0, Value());
  EXPECT_EQ(operation->request()->timeoutInterval(), 15.0);
  EXPECT_EQ(operation->request()->cachePolicy(),
            NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  EXPECT_FALSE(operation->request()->HTTPShouldHandleCookies());

  other->config()->setMaxConcurrentDownloads(6);
  auto shortConfig = config->copy();
  shortConfig->downloadTimeout = 1;
  other = ILRemoteImageDownloader::create(shortConfig);
  ScriptedResponse silent;
  silent.hang = true;
  server.script("/silent.png", silent);
  auto record = fetch(other, server.url("/silent.png"));
  ASSERT_NE(record->error, nullptr);
  EXPECT_EQ(record->error->code(), NSURLErrorTimedOut);
  EXPECT_FALSE(other->shouldBlockFailedURL(nullptr, record->error));
}

TEST_F(DownloaderNetworkTest, ProgressiveStagesComeBeforeTheWholeImage) {
  // Large enough that three quarters of the file hold rows to show: a stage
  // is a picture of what has come, never a blank one.
  NSDataPtr jpeg = il_test::StillFile("public.jpeg", il_test::PatternImage(512, 512));
  ScriptedResponse slow(200, {{"Content-Type", "image/jpeg"}},
                        std::string(reinterpret_cast<const char*>(jpeg->bytes()), jpeg->length()));
  slow.chunkSize = jpeg->length() * 3 / 4;
  slow.bodyGate = "rest";
  server.script("/slow.jpg", slow);
  auto record = std::make_shared<DownloadRecord>();
  plain->downloadImageWithURL(NSURL::URLWithString(server.url("/slow.jpg")), ILDownloadProgressive,
                              record->progressBlock(), record->completedBlock());
  ASSERT_TRUE(RunMainLoopUntil([&] {
    std::lock_guard<std::mutex> lock(record->mutex);
    return record->completions >= 1;
  }));
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    EXPECT_EQ(record->finalCompletions, 0);
    ASSERT_NE(record->image, nullptr);
    EXPECT_TRUE(il_isIncremental(*record->image));
    EXPECT_TRUE(il_test::Near(il_test::PixelAt(record->image->CGImage(), 0, 0), {255, 255, 0, 255}));
    EXPECT_EQ(record->data, nullptr);
  }
  server.openGate("rest");
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_NE(record->image, nullptr);
  EXPECT_FALSE(il_isIncremental(*record->image));
  EXPECT_EQ(record->data->length(), jpeg->length());
  // The stage and the end: each known-length report stays within the length.
  for (const auto& [received, expected] : record->progress) {
    EXPECT_EQ(expected, static_cast<int64_t>(jpeg->length()));
    EXPECT_LE(received, expected);
  }
}

TEST_F(DownloaderNetworkTest, LyingLengthsNeitherReserveNorOverrun) {
  // A claim past what fits in memory reserves nothing, and one past the
  // body limit is refused outright; a claim within it that the body falls
  // short of ends as a lost connection.
  ScriptedResponse huge(200, {{"Content-Type", "image/png"}}, il_test::PNGBody());
  huge.claimedLength = uint64_t{1} << 40;
  server.script("/huge.png", huge);
  auto record = fetch(plain, server.url("/huge.png"));
  ASSERT_NE(record->error, nullptr);
  EXPECT_EQ(record->error->code(), NSURLErrorDataLengthExceedsMaximum);
  huge.claimedLength = kBodyLimit;
  server.script("/large.png", huge);
  record = fetch(plain, server.url("/large.png"));
  ASSERT_NE(record->error, nullptr);
  EXPECT_EQ(record->error->code(), NSURLErrorNetworkConnectionLost);
  for (const auto& [received, expected] : record->progress) {
    EXPECT_GT(expected, 0);
    EXPECT_LE(received, expected);
  }

  // A short claim ends the body where the claim says.
  ScriptedResponse tiny(200, {{"Content-Type", "image/png"}}, il_test::PNGBody());
  tiny.claimedLength = 8;
  server.script("/tiny.png", tiny);
  record = fetch(plain, server.url("/tiny.png"));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorBadImageData));
}

// `prefix` followed by `zeros` zero bytes, gzip-coded: a body of a few
// hundred kilobytes on the wire that inflates to anything.
std::string GzipOf(const std::string& prefix, uint64_t zeros) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out;
  std::vector<unsigned char> buffer(1 << 16);
  const std::vector<unsigned char> block(1 << 20, 0);
  auto feed = [&](const unsigned char* data, size_t size, int flush) {
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    do {
      stream.next_out = buffer.data();
      stream.avail_out = static_cast<uInt>(buffer.size());
      deflate(&stream, flush);
      out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  };
  feed(reinterpret_cast<const unsigned char*>(prefix.data()), prefix.size(), Z_NO_FLUSH);
  for (uint64_t left = zeros; left > 0;) {
    const size_t size = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    left -= size;
    feed(block.data(), size, Z_NO_FLUSH);
  }
  feed(nullptr, 0, Z_FINISH);
  deflateEnd(&stream);
  return out;
}

TEST_F(DownloaderNetworkTest, BodiesPastTheLimitEndTheDownloadWithAnError) {
  constexpr uint64_t kLimit = kBodyLimit;
  // A gzip-coded image is inflated as it arrives and decodes.
  server.script("/coded.png", ScriptedResponse(200, {{"Content-Type", "image/png"}, {"Content-Encoding", "gzip"}},
                                               GzipOf(il_test::PNGBody(5, 2), 0)));
  auto coded = fetch(plain, server.url("/coded.png"));
  EXPECT_EQ(coded->error, nullptr);
  ASSERT_NE(coded->image, nullptr);
  EXPECT_EQ(coded->image->size().width, 5);

  // A length announced past the limit is refused before the body comes.
  ScriptedResponse announced(200, {{"Content-Type", "image/png"}}, il_test::PNGBody());
  announced.fillerLength = kLimit;
  server.script("/announced.png", announced);
  auto refused = fetch(plain, server.url("/announced.png"));
  ASSERT_NE(refused->error, nullptr);
  EXPECT_EQ(refused->error->code(), NSURLErrorDataLengthExceedsMaximum);
  EXPECT_TRUE(refused->progress.empty());
}

TEST_F(DownloaderNetworkTest, AGzipBodyThatInflatesPastTheLimitIsRefused) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a quarter of a gigabyte through the thread sanitizer outlasts the test's waits";
#endif
  constexpr uint64_t kLimit = kBodyLimit;
  // A quarter of a megabyte that inflates to the limit is still taken...
  const std::string image = il_test::PNGBody();
  server.script("/full.png", ScriptedResponse(200, {{"Content-Type", "image/png"}, {"Content-Encoding", "gzip"}},
                                              GzipOf(image, kLimit - image.size())));
  auto full = fetchLarge(plain, server.url("/full.png"));
  EXPECT_EQ(full->error, nullptr);
  EXPECT_NE(full->image, nullptr);
  ASSERT_NE(full->data, nullptr);
  EXPECT_EQ(full->data->length(), kLimit);
  full.reset();

  // ...and one byte more is refused once the limit is passed, the process
  // going on.
  const std::string bomb = GzipOf(image, kLimit - image.size() + 1);
  ASSERT_LT(bomb.size(), 1u << 20);
  server.script("/bomb.png",
                ScriptedResponse(200, {{"Content-Type", "image/png"}, {"Content-Encoding", "gzip"}}, bomb));
  auto inflated = fetchLarge(plain, server.url("/bomb.png"));
  ASSERT_NE(inflated->error, nullptr);
  EXPECT_EQ(inflated->error->domain(), NSURLErrorDomain);
  EXPECT_EQ(inflated->error->code(), NSURLErrorDataLengthExceedsMaximum);
  EXPECT_EQ(inflated->image, nullptr);
  // What arrives after the refusal is dropped, not gathered afresh.
  for (size_t i = 1; i < inflated->progress.size(); ++i) {
    EXPECT_GE(inflated->progress[i].first, inflated->progress[i - 1].first);
  }
  // A URL whose body is too large is not worth asking for again.
  EXPECT_TRUE(plain->shouldBlockFailedURL(NSURL::URLWithString(server.url("/bomb.png")), inflated->error));
}

TEST_F(DownloaderNetworkTest, ABodyLargerThanItsFirstBufferComesBackWhole) {
  // An image followed by 20 MB that are all different: without a length the
  // body outgrows its first buffer twice; with one, partial decodes read it
  // while it is still in pieces. Either way every byte comes back in order.
  std::string body = il_test::PNGBody(5, 2);
  uint32_t seed = 3;
  while (body.size() < (size_t{20} << 20)) {
    seed = seed * 1103515245 + 12345;
    body.push_back(char(seed >> 23));
  }
  ScriptedResponse unknown(200, {{"Content-Type", "image/png"}}, body, true);
  unknown.chunkSize = 64 << 10;
  server.script("/unknown.png", unknown);
  server.script("/known.png", ScriptedResponse(200, {{"Content-Type", "image/png"}}, body));
  for (const char* path : {"/unknown.png", "/known.png"}) {
    auto record = std::make_shared<DownloadRecord>();
    plain->downloadImageWithURL(NSURL::URLWithString(server.url(path)), ILDownloadProgressive, Value(),
                                record->progressBlock(), record->completedBlock());
    ASSERT_TRUE(waitForFinal(record)) << path;
    EXPECT_EQ(record->error, nullptr) << path;
    EXPECT_NE(record->image, nullptr) << path;
    ASSERT_NE(record->data, nullptr) << path;
    EXPECT_TRUE(record->data->length() == body.size() &&
                std::memcmp(record->data->bytes(), body.data(), body.size()) == 0)
        << path;
  }
}

TEST_F(DownloaderNetworkTest, CredentialsFromTheConfig) {
  ScriptedResponse guarded = png();
  guarded.basicUserPassword = std::make_pair("ann", "s3cret");
  server.script("/private.png", guarded);
  auto record = fetch(plain, server.url("/private.png"));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidDownloadStatusCode));
  EXPECT_EQ(record->error->userInfo().find(ILRemoteImageErrorDownloadStatusCodeKey)->asInt64(), 401);

  auto config = ILRemoteImageDownloaderConfig::defaultDownloaderConfig()->copy();
  config->username = "ann";
  config->password = "s3cret";
  other = ILRemoteImageDownloader::create(config);
  record = fetch(other, server.url("/private.png"));
  EXPECT_EQ(record->error, nullptr);
  EXPECT_NE(record->image, nullptr);

  // A refused credential is not offered again.
  auto wrong = config->copy();
  wrong->password = "guess";
  other = ILRemoteImageDownloader::create(wrong);
  const size_t before = server.requests().size();
  record = fetch(other, server.url("/private.png"));
  ASSERT_NE(record->error, nullptr);
  EXPECT_LE(server.requests().size(), before + 2);
}

TEST_F(DownloaderNetworkTest, URLCacheOnlyWhenAskedAndUnchangedBodiesAreNotDeliveredAgain) {
  auto urlCache = std::make_shared<NSURLCache>(4 << 20);
  auto config = ILRemoteImageDownloaderConfig::defaultDownloaderConfig()->copy();
  NSURLSessionConfiguration session = NSURLSessionConfiguration::defaultSessionConfiguration();
  session.URLCache = urlCache;
  config->sessionConfiguration = session;
  other = ILRemoteImageDownloader::create(config);
  ScriptedResponse tagged = png();
  tagged.etag = "\"v1\"";
  server.script("/tagged.png", tagged);
  const std::string url = server.url("/tagged.png");
  const auto request = NSURLRequest::requestWithURL(NSURL::URLWithString(url));

  fetch(other, url);
  EXPECT_EQ(urlCache->cachedResponseForRequest(request), nullptr);

  auto stored = fetch(other, url, ILDownloadUseURLCache);
  EXPECT_NE(stored->image, nullptr);
  ASSERT_NE(urlCache->cachedResponseForRequest(request), nullptr);

  // The same bytes again: "not modified", not a second delivery.
  auto again = fetch(other, url, ILDownloadUseURLCache | ILDownloadIgnoreCachedResponse);
  ASSERT_TRUE(ILIsRemoteImageError(again->error, ILRemoteImageErrorCacheNotModified));
  EXPECT_EQ(again->error->localizedDescription(), "Downloaded image is not modified and ignored");
  EXPECT_EQ(again->image, nullptr);
}

TEST_F(DownloaderNetworkTest, HooksChangeRequestResponseAndBytes) {
  server.script("/a.png", png());
  // Headers added by a request modifier, from the context.
  auto modifier = ILRemoteImageDownloaderRequestModifier::modifierWithHeaders({{"X-Extra", "1"}});
  auto record = fetch(plain, server.url("/a.png"), 0,
                      Value::map({{ILRemoteImageContextDownloadRequestModifier,
                                   Value(std::static_pointer_cast<NSObject>(modifier))}}));
  EXPECT_NE(record->image, nullptr);
  EXPECT_EQ(server.requests().back().headers.at("X-Extra"), "1");
  EXPECT_EQ(server.requests().back().method, "GET");
  // Requests share the downloader's header map: a modifier's change stays in
  // its own request.
  EXPECT_FALSE(plain->valueForHTTPHeaderField("X-Extra").has_value());
  server.script("/a2.png", png());
  fetch(plain, server.url("/a2.png"));
  EXPECT_EQ(server.requests().back().headers.count("X-Extra"), 0u);

  // A response modifier on the downloader: a 200 read as a 404, or as nothing.
  // (Paths of their own: a finished transfer still decoding would take a
  // new caller of its URL in.)
  server.script("/b.png", png());
  server.script("/c.png", png());
  plain->setResponseModifier(ILRemoteImageDownloaderResponseModifier::modifierWithStatusCode(404));
  record = fetch(plain, server.url("/b.png"));
  EXPECT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidDownloadStatusCode))
      << (record->error ? record->error->description() : "no error");
  plain->setResponseModifier(ILRemoteImageDownloaderResponseModifier::responseModifierWithBlock(
      [](const NSHTTPURLResponsePtr&) -> NSHTTPURLResponsePtr { return nullptr; }));
  record = fetch(plain, server.url("/c.png"));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidDownloadResponse));
  EXPECT_EQ(record->error->localizedDescription(),
            "Download marked as failed because response is nil");
  plain->setResponseModifier(nullptr);

  // Base64 text with line breaks decrypts to the image.
  const std::string bytes = il_test::PNGBody(3, 3);
  std::string text = Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  text.insert(text.size() / 2, "\r\n");
  server.script("/coded.png", ScriptedResponse(200, {}, text));
  plain->setDecryptor(ILRemoteImageDownloaderDecryptor::base64Decryptor());
  record = fetch(plain, server.url("/coded.png"));
  ASSERT_NE(record->image, nullptr);
  EXPECT_EQ(record->image->size().width, 3);
  // Bytes that are no Base64 at all fail as missing data.
  server.script("/plain.png", png());
  plain->setDecryptor(ILRemoteImageDownloaderDecryptor::decryptorWithBlock(
      [](const NSDataPtr&, const NSHTTPURLResponsePtr&) -> NSDataPtr { return nullptr; }));
  record = fetch(plain, server.url("/plain.png"));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorBadImageData));
  EXPECT_EQ(record->error->localizedDescription(), "Image data is nil");
}

TEST_F(DownloaderNetworkTest, UserAgentIsTransliteratedToASCII) {
  TempFolder folder;
  {
    std::ofstream info(folder.path() + "/Info.json");
    info << R"({"CFBundleExecutable": "Bildschau Größe", "CFBundleShortVersionString": "2.1"})";
  }
  ScriptedLocations::installed().setMainBundlePath(folder.path());
  other = ILRemoteImageDownloader::create();
  ScriptedLocations::installed().setMainBundlePath("");
  const std::string agent = other->valueForHTTPHeaderField("User-Agent").value_or("");
  EXPECT_EQ(agent.rfind("Bildschau Grosse/2.1 (", 0), 0u) << agent;
  for (unsigned char c : agent) EXPECT_LT(c, 0x80);
  server.script("/a.png", png());
  fetch(other, server.url("/a.png"));
  EXPECT_EQ(server.requests().back().headers.at("User-Agent"), agent);
}

TEST_F(DownloaderNetworkTest, InvalidatingLetsRunningTransfersFinishOrCancelsThem) {
  ScriptedResponse held = png();
  held.gate = "go";
  server.script("/held.png", held);
  other = ILRemoteImageDownloader::create();
  auto finishing = std::make_shared<DownloadRecord>();
  other->downloadImageWithURL(NSURL::URLWithString(server.url("/held.png")),
                              finishing->completedBlock());
  ASSERT_TRUE(server.waitForRequests(1));
  other->invalidateSessionAndCancel(false);
  server.openGate("go");
  ASSERT_TRUE(waitForFinal(finishing));
  EXPECT_NE(finishing->image, nullptr);

  auto second = ILRemoteImageDownloader::create();
  server.script("/hang.png", [] {
    ScriptedResponse r;
    r.hang = true;
    return r;
  }());
  auto cancelled = std::make_shared<DownloadRecord>();
  second->downloadImageWithURL(NSURL::URLWithString(server.url("/hang.png")),
                               cancelled->completedBlock());
  ASSERT_TRUE(server.waitForRequests(2));
  second->invalidateSessionAndCancel(true);
  ASSERT_TRUE(waitForFinal(cancelled));
  ASSERT_NE(cancelled->error, nullptr);
  EXPECT_EQ(cancelled->error->code(), NSURLErrorCancelled);
  EXPECT_TRUE(RunMainLoopUntil([&] { return second->currentDownloadCount() == 0; }));

  // The shared downloader keeps its session whatever is asked.
  ILRemoteImageDownloader::sharedDownloader()->invalidateSessionAndCancel(true);
  auto shared = fetch(ILRemoteImageDownloader::sharedDownloader(), server.url("/held.png"));
  EXPECT_NE(shared->image, nullptr);
}

}  // namespace

}  // namespace downloader_network_test
