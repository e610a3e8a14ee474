#include <gtest/gtest.h>

#include <map>

#include "SessionRecording.h"
#include "platform/foundation/PlatformClock.h"
#include "support/TestEnvironment.h"

namespace nsurl_cache_test {

namespace {

NSURLRequestPtr requestFor(const std::string& url, NSURLRequestCachePolicy policy) {
  return std::make_shared<NSURLRequest>(NSURL::URLWithString(url), policy);
}

NSCachedURLResponsePtr cachedText(const std::string& url, const std::string& text,
                                  NSURLCacheStoragePolicy policy = NSURLCacheStoragePolicy::Allowed) {
  auto response = std::make_shared<NSHTTPURLResponse>(NSURL::URLWithString(url), 200, NSHTTPHeaderFields{});
  return std::make_shared<NSCachedURLResponse>(response, NSData::dataWithBytes(text.data(), text.size()), policy);
}

using NSURLCacheTest = PlatformTest;

TEST_F(NSURLCacheTest, KeepsTheMostRecentlyUsedWithinItsCapacity) {
  NSURLCache cache(2000);
  auto a = NSURLRequest::requestWithURL(NSURL::URLWithString("http://127.0.0.1/a"));
  auto b = NSURLRequest::requestWithURL(NSURL::URLWithString("http://127.0.0.1/b"));
  auto c = NSURLRequest::requestWithURL(NSURL::URLWithString("http://127.0.0.1/c"));
  cache.storeCachedResponse(cachedText("http://127.0.0.1/a", std::string(600, 'a')), a);
  cache.storeCachedResponse(cachedText("http://127.0.0.1/b", std::string(600, 'b')), b);
  ASSERT_NE(cache.cachedResponseForRequest(a), nullptr);  // a is now the most recent
  cache.storeCachedResponse(cachedText("http://127.0.0.1/c", std::string(600, 'c')), c);
  EXPECT_NE(cache.cachedResponseForRequest(a), nullptr);
  EXPECT_EQ(cache.cachedResponseForRequest(b), nullptr);
  EXPECT_NE(cache.cachedResponseForRequest(c), nullptr);
  EXPECT_LE(cache.currentMemoryUsage(), 2000u);

  // Replacing an entry releases what the old one took.
  uint64_t before = cache.currentMemoryUsage();
  cache.storeCachedResponse(cachedText("http://127.0.0.1/a", std::string(100, 'a')), a);
  EXPECT_EQ(cache.currentMemoryUsage(), before - 500);

  const uint64_t usage = cache.currentMemoryUsage();
  auto big = NSURLRequest::requestWithURL(NSURL::URLWithString("http://127.0.0.1/big"));
  cache.storeCachedResponse(cachedText("http://127.0.0.1/big", std::string(5000, 'x')), big);
  EXPECT_EQ(cache.cachedResponseForRequest(big), nullptr) << "an entry larger than the cache is left out";
  EXPECT_EQ(cache.currentMemoryUsage(), usage);
  EXPECT_NE(cache.cachedResponseForRequest(a), nullptr) << "an entry larger than the cache evicts nothing";
  cache.storeCachedResponse(cachedText("http://127.0.0.1/b", "b", NSURLCacheStoragePolicy::NotAllowed), b);
  EXPECT_EQ(cache.cachedResponseForRequest(b), nullptr);

  cache.setMemoryCapacity(800);
  EXPECT_LE(cache.currentMemoryUsage(), 800u);
  EXPECT_NE(cache.cachedResponseForRequest(a), nullptr);
  cache.removeCachedResponseForRequest(a);
  EXPECT_EQ(cache.cachedResponseForRequest(a), nullptr);
  EXPECT_EQ(cache.currentMemoryUsage(), 0u) << "a was all that fitted";
  cache.removeAllCachedResponses();
  EXPECT_EQ(cache.currentMemoryUsage(), 0u);
  EXPECT_EQ(cache.cachedResponseForRequest(c), nullptr);

  // Many entries: exactly the most recent ones that fit stay, and each key
  // answers its own response.
  constexpr int kFit = 40;
  auto url = [](int i) { return "http://127.0.0.1/many/" + std::to_string(i) + ".png?r=1"; };
  auto store = [&](int i) {
    cache.storeCachedResponse(cachedText(url(i), std::string(100, static_cast<char>('a' + i % 26))),
                              NSURLRequest::requestWithURL(NSURL::URLWithString(url(i))));
  };
  cache.setMemoryCapacity(1u << 20);
  store(0);
  const uint64_t each = cache.currentMemoryUsage();
  cache.setMemoryCapacity(kFit * each);
  for (int i = 1; i < 3 * kFit; ++i) store(i);
  EXPECT_EQ(cache.currentMemoryUsage(), kFit * each);
  for (int i = 0; i < 3 * kFit; ++i) {
    auto found =
        cache.cachedResponseForRequest(NSURLRequest::requestWithURL(NSURL::URLWithString(url(i))));
    if (i < 2 * kFit) {
      EXPECT_EQ(found, nullptr) << i;
    } else {
      ASSERT_NE(found, nullptr) << i;
      EXPECT_EQ(found->response()->URL()->absoluteString(), url(i));
      EXPECT_EQ(found->data()->bytes()[0], static_cast<uint8_t>('a' + i % 26));
    }
  }
}

TEST_F(NSURLCacheTest, AccountsForHeadersFitsExactlyAndForgetsEverythingWhenCleared) {
  auto request = [](const std::string& url) {
    return NSURLRequest::requestWithURL(NSURL::URLWithString(url));
  };
  const std::string a = "http://127.0.0.1/edge/a.png";
  const std::string b = "http://127.0.0.1/edge/b.png";

  // An empty body still takes room, and headers add to it.
  NSURLCache sizing(1u << 20);
  sizing.storeCachedResponse(cachedText(a, ""), request(a));
  const uint64_t bare = sizing.currentMemoryUsage();
  EXPECT_GT(bare, 0u);
  auto withHeaders = std::make_shared<NSHTTPURLResponse>(
      NSURL::URLWithString(a), 200,
      NSHTTPHeaderFields{{"Content-Type", "image/png"}, {"ETag", "\"v1\""}});
  sizing.storeCachedResponse(std::make_shared<NSCachedURLResponse>(withHeaders, nullptr),
                             request(a));
  EXPECT_GT(sizing.currentMemoryUsage(), bare) << "headers count towards the usage";

  // An entry exactly as large as the cache is kept, and the next one of the
  // same size takes its place.
  sizing.storeCachedResponse(cachedText(a, std::string(300, 'a')), request(a));
  const uint64_t cost = sizing.currentMemoryUsage();
  NSURLCache exact(cost);
  exact.storeCachedResponse(cachedText(a, std::string(300, 'a')), request(a));
  EXPECT_NE(exact.cachedResponseForRequest(request(a)), nullptr)
      << "an entry that fills the cache exactly fits";
  EXPECT_EQ(exact.currentMemoryUsage(), cost);
  exact.storeCachedResponse(cachedText(b, std::string(300, 'b')), request(b));
  EXPECT_EQ(exact.cachedResponseForRequest(request(a)), nullptr);
  ASSERT_NE(exact.cachedResponseForRequest(request(b)), nullptr);
  EXPECT_EQ(exact.currentMemoryUsage(), cost);

  // Clearing forgets every key and all the usage; the cache works as new after.
  exact.removeAllCachedResponses();
  EXPECT_EQ(exact.currentMemoryUsage(), 0u);
  EXPECT_EQ(exact.cachedResponseForRequest(request(b)), nullptr);
  EXPECT_FALSE(exact.storedAtForRequest(request(b)).has_value());
  exact.storeCachedResponse(cachedText(b, std::string(300, 'c')), request(b));
  auto found = exact.cachedResponseForRequest(request(b));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->data()->bytes()[0], static_cast<uint8_t>('c'));
  EXPECT_EQ(exact.currentMemoryUsage(), cost);
}

// A stored response reads back as it went in, whichever way it was stored:
// status, every field with its value, the URL (the key's, its own, none),
// the storage policy and the body; and it costs the same either way.
TEST_F(NSURLCacheTest, StoredResponsesReadBackWhole) {
  const std::string key = "http://127.0.0.1/read/back.png?size=2";
  struct Case {
    const char* name;
    bool response;
    const char* url;  // null: the response has none
    int64_t status;
    NSHTTPHeaderFields fields;
    NSURLCacheStoragePolicy policy;
    std::string body;
  };
  const Case cases[] = {
      {"plain",
       true,
       "http://127.0.0.1/read/back.png?size=2",
       200,
       {{"Content-Type", "image/png; charset=utf-8"}, {"Content-Length", "4"}, {"ETag", "\"e\""}},
       NSURLCacheStoragePolicy::Allowed,
       "body"},
      {"redirected",
       true,
       "http://127.0.0.1/read/other.png",
       203,
       {{"X-Empty", ""}, {"a", "1"}},
       NSURLCacheStoragePolicy::AllowedInMemoryOnly,
       ""},
      {"no URL", true, nullptr, 410, {}, NSURLCacheStoragePolicy::Allowed, std::string(3, '\0')},
      {"no response", false, nullptr, 0, {}, NSURLCacheStoragePolicy::AllowedInMemoryOnly, "x"},
      {"largest copied",
       true,
       "http://127.0.0.1/read/back.png?size=2",
       200,
       {{"ETag", "\"l\""}},
       NSURLCacheStoragePolicy::Allowed,
       std::string(NSURLCache::kBodyCopyLimit, 'c')},
      {"smallest held",
       true,
       nullptr,
       200,
       {},
       NSURLCacheStoragePolicy::Allowed,
       std::string(NSURLCache::kBodyCopyLimit, 'h') + "\x01"},
  };
  auto request = NSURLRequest::requestWithURL(NSURL::URLWithString(key));
  for (const Case& c : cases) {
    auto response = c.response
                        ? std::make_shared<NSHTTPURLResponse>(
                              c.url ? NSURL::URLWithString(c.url) : nullptr, c.status, c.fields)
                        : nullptr;
    auto body = NSData::dataWithBytes(c.body.data(), c.body.size());
    uint64_t expectedCost = c.body.size() + 256;
    for (const auto& [name, value] : c.fields) expectedCost += name.size() + value.size();
    for (bool whole : {true, false}) {
      NSURLCache cache(1u << 20);
      if (whole) {
        cache.storeCachedResponse(std::make_shared<NSCachedURLResponse>(response, body, c.policy),
                                  request);
      } else {
        cache.storeResponse(response.get(), body, c.policy, request);
      }
      SCOPED_TRACE(std::string(c.name) + (whole ? " stored whole" : " stored from parts"));
      EXPECT_EQ(cache.currentMemoryUsage(), expectedCost);
      auto found =
          cache.cachedResponseForRequest(NSURLRequest::requestWithURL(NSURL::URLWithString(key)));
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->storagePolicy(), c.policy);
      ASSERT_NE(found->data(), nullptr);
      EXPECT_EQ(Bytes(found->data()->bytes(), found->data()->bytes() + found->data()->length()),
                Bytes(c.body.begin(), c.body.end()));
      EXPECT_EQ(found->data() == body, c.body.size() > NSURLCache::kBodyCopyLimit)
          << "only a body larger than the limit is held rather than copied";
      if (!c.response) {
        EXPECT_EQ(found->response(), nullptr);
        continue;
      }
      ASSERT_NE(found->response(), nullptr);
      EXPECT_EQ(found->response()->statusCode(), c.status);
      EXPECT_EQ(found->response()->URL() ? found->response()->URL()->absoluteString() : "(none)",
                c.url ? c.url : "(none)");
      EXPECT_EQ(found->response()->allHeaderFields(), c.fields);
      EXPECT_EQ(found->response()->MIMEType(), response->MIMEType());
      EXPECT_EQ(found->response()->textEncodingName(), response->textEncodingName());
      EXPECT_EQ(found->response()->expectedContentLength(), response->expectedContentLength());
    }
  }
}

// Entries of every size, copied or held, in the cache's own memory or past
// it, stored over evicted and removed ones and after clears: each reads
// back as its own latest version, and the usage is the sum of what is kept.
TEST_F(NSURLCacheTest, EntriesOfEverySizeReadBackWholeThroughReuseOfTheirMemory) {
  const size_t limit = NSURLCache::kBodyCopyLimit;
  const size_t sizes[] = {0, 1, 63, 64, 65, 700, limit - 1, limit, limit + 1, 8000, 9000, 20000};
  auto url = [](int i) { return "http://127.0.0.1/arena/" + std::to_string(i) + ".png"; };
  auto request = [&](int i) { return NSURLRequest::requestWithURL(NSURL::URLWithString(url(i))); };
  auto bodyOf = [](int i, int version, size_t size) {
    std::string body(size, '\0');
    for (size_t b = 0; b < size; ++b) body[b] = static_cast<char>(i * 7 + version * 13 + b);
    return body;
  };
  NSURLCache cache(64 * 1024);
  struct Stored {
    int step;
    size_t size;
    std::string version;
  };
  std::map<int, Stored> latest;
  auto check = [&](int step) {
    uint64_t usage = 0;
    for (const auto& [i, stored] : latest) {
      SCOPED_TRACE("step " + std::to_string(step) + " entry " + std::to_string(i));
      if (!cache.storedAtForRequest(request(i))) continue;
      auto found = cache.cachedResponseForRequest(request(i));
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->response()->valueForHTTPHeaderField("X-Version"), stored.version);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(found->data()->bytes()),
                            found->data()->length()),
                bodyOf(i, stored.step, stored.size));
      usage += stored.size + 256 + std::string("X-Version").size() + stored.version.size();
    }
    EXPECT_EQ(cache.currentMemoryUsage(), usage) << "step " << step;
    EXPECT_LE(usage, cache.memoryCapacity());
  };
  for (int step = 0; step < 600; ++step) {
    const int i = (step * 5) % 23;
    if (step % 97 == 96) {
      cache.removeAllCachedResponses();
      EXPECT_EQ(cache.currentMemoryUsage(), 0u);
    } else if (step % 11 == 10) {
      cache.removeCachedResponseForRequest(request(i));
      EXPECT_FALSE(cache.storedAtForRequest(request(i)));
    } else if (step % 151 == 150) {
      cache.setMemoryCapacity(step % 2 ? 16 * 1024 : 64 * 1024);
    } else {
      const size_t size = sizes[step % std::size(sizes)];
      const std::string body = bodyOf(i, step, size);
      // Sweeps the blocks of copied bodies and long fields across the
      // largest size the cache's memory serves, at every size step.
      const std::string version =
          step % 3 ? std::to_string(step) : std::to_string(step) + std::string(3900 + step, 'v');
      auto response = std::make_shared<NSHTTPURLResponse>(
          NSURL::URLWithString(url(i)), 200, NSHTTPHeaderFields{{"X-Version", version}});
      cache.storeResponse(response.get(), NSData::dataWithBytes(body.data(), body.size()),
                          NSURLCacheStoragePolicy::Allowed, request(i));
      latest[i] = {step, size, version};
      const uint64_t cost = size + 256 + std::string("X-Version").size() + version.size();
      EXPECT_EQ(cache.storedAtForRequest(request(i)).has_value(), cost <= cache.memoryCapacity())
          << "step " << step;
    }
    check(step);
  }
}

class NSURLSessionCacheTest : public SessionTest {};

// Stores, replacements, removals and evictions in a long mixed run, checked
// against a plain set after each step: every kept key is found with its own
// body, every other one is not, across the index's growth and the runs of
// keys that share slots.
TEST_F(NSURLCacheTest, EveryKeptKeyIsFoundThroughRemovalsReplacementsAndGrowth) {
  auto url = [](int i) { return "http://127.0.0.1/index/" + std::to_string(i) + ".png"; };
  auto request = [&](int i) { return NSURLRequest::requestWithURL(NSURL::URLWithString(url(i))); };
  NSURLCache cache(1u << 30);
  std::map<int, char> kept;
  auto check = [&](const char* step, int upTo) {
    for (int i = 0; i < upTo; ++i) {
      auto found = cache.cachedResponseForRequest(request(i));
      auto it = kept.find(i);
      if (it == kept.end()) {
        EXPECT_EQ(found, nullptr) << step << " " << i;
        EXPECT_FALSE(cache.storedAtForRequest(request(i)).has_value()) << step << " " << i;
      } else {
        ASSERT_NE(found, nullptr) << step << " " << i;
        EXPECT_EQ(found->data()->bytes()[0], static_cast<uint8_t>(it->second)) << step << " " << i;
      }
    }
  };
  struct Step {
    const char* name;
    int from, to, stride;
    bool remove;
    char body;
  };
  const Step steps[] = {
      {"first eight", 0, 8, 1, false, 'a'},  // the first table, half full
      {"ninth grows", 8, 9, 1, false, 'a'},    {"hundreds", 9, 600, 1, false, 'b'},
      {"every third out", 0, 600, 3, true, 0}, {"replaced", 1, 600, 5, false, 'c'},
      {"runs emptied", 100, 400, 1, true, 0},  {"refilled", 0, 700, 2, false, 'd'},
      {"all but one out", 0, 698, 1, true, 0},
  };
  for (const Step& step : steps) {
    for (int i = step.from; i < step.to; i += step.stride) {
      if (step.remove) {
        cache.removeCachedResponseForRequest(request(i));
        kept.erase(i);
      } else {
        cache.storeCachedResponse(cachedText(url(i), std::string(4, step.body)), request(i));
        kept[i] = step.body;
      }
    }
    check(step.name, 710);
  }
  // Evicting from the least recent end leaves the index whole too.
  const uint64_t each = cache.currentMemoryUsage() / kept.size();
  cache.setMemoryCapacity(each * 3);
  for (int i = 0; i < 40; ++i) {
    cache.storeCachedResponse(cachedText(url(i), std::string(4, 'e')), request(i));
  }
  kept = {{37, 'e'}, {38, 'e'}, {39, 'e'}};
  check("evicted", 710);
}

TEST_F(NSURLSessionCacheTest, FreshResponsesAreServedThenRevalidatedWhenStale) {
  ScriptedResponse image(200, {{"Cache-Control", "max-age=60"}, {"Content-Type", "image/png"}}, "pixels v1");
  image.etag = "\"v1\"";
  server.script("/image", image);

  load(server.url("/image"));
  ASSERT_EQ(delegate->proposals.size(), 1u);
  load(server.url("/image"));
  EXPECT_EQ(server.requestCount("/image"), 1u) << "a fresh response comes from the cache";
  EXPECT_EQ(delegate->body, "pixels v1pixels v1");
  EXPECT_EQ(delegate->proposals.size(), 1u) << "a cached answer is not offered again";
  const auto& fromCache = delegate->metrics.back()->transactionMetrics();
  ASSERT_EQ(fromCache.size(), 1u);
  EXPECT_EQ(fromCache[0].resourceFetchType, NSURLSessionTaskMetricsResourceFetchType::LocalCache);

  PlatformClock::advance(61);
  delegate->body.clear();
  auto revalidated = load(server.url("/image"));
  EXPECT_EQ(server.requestCount("/image"), 2u);
  EXPECT_EQ(server.requests().back().headers["If-None-Match"], "\"v1\"");
  EXPECT_EQ(revalidated->error(), nullptr);
  EXPECT_EQ(revalidated->response()->statusCode(), 200) << "a 304 to the session's own validators is not seen";
  EXPECT_EQ(delegate->body, "pixels v1");

  // The 304 started a new freshness period.
  load(server.url("/image"));
  EXPECT_EQ(server.requestCount("/image"), 2u);

  // No-cache, from the server or in the request, asks the server every
  // time, however long the rest of the headers say the answer keeps.
  ScriptedResponse checked(200, {{"Cache-Control", "no-cache, max-age=600"}}, "checked");
  checked.etag = "\"c\"";
  server.script("/checked", checked);
  load(server.url("/checked"));
  load(server.url("/checked"));
  EXPECT_EQ(server.requestCount("/checked"), 2u);
  EXPECT_EQ(server.requests().back().headers["If-None-Match"], "\"c\"");
  for (const char* field : {"Cache-Control", "Pragma"}) {
    auto asked = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(server.url("/image")));
    asked->setValueForHTTPHeaderField("no-cache", field);
    load(asked);
  }
  EXPECT_EQ(server.requestCount("/image"), 4u);
}

TEST_F(NSURLSessionCacheTest, FreshnessComesFromExpiresOrLastModified) {
  const std::string date = "Mon, 07 Dec 2026 12:00:00 GMT";
  server.script("/expires", {200, {{"Date", date}, {"Expires", "Mon, 07 Dec 2026 12:01:40 GMT"}}, "e"});
  server.script("/modified",
                {200, {{"Date", date}, {"Last-Modified", "Mon, 07 Dec 2026 11:43:20 GMT"}}, "m"});
  server.script("/garbled", {200, {{"Date", date}, {"Expires", "soon"}}, "g"});
  auto loadAll = [&] {
    for (const char* path : {"/expires", "/modified", "/garbled"}) load(server.url(path));
  };
  loadAll();
  loadAll();
  EXPECT_EQ(server.requestCount("/expires"), 1u);
  EXPECT_EQ(server.requestCount("/modified"), 1u) << "a tenth of 1000 s since the last change";
  EXPECT_EQ(server.requestCount("/garbled"), 2u) << "an unreadable Expires is already past";

  PlatformClock::advance(99);
  loadAll();
  EXPECT_EQ(server.requestCount("/expires"), 1u);
  EXPECT_EQ(server.requestCount("/modified"), 1u);
  PlatformClock::advance(2);
  loadAll();
  EXPECT_EQ(server.requestCount("/expires"), 2u);
  EXPECT_EQ(server.requestCount("/modified"), 2u);
  std::vector<LoggedRequest> modified, expires;
  for (const LoggedRequest& request : server.requests()) {
    if (request.path == "/modified") modified.push_back(request);
    if (request.path == "/expires") expires.push_back(request);
  }
  ASSERT_EQ(modified.size(), 2u);
  EXPECT_EQ(modified[1].headers["If-Modified-Since"], "Mon, 07 Dec 2026 11:43:20 GMT");
  EXPECT_EQ(expires[1].headers.count("If-Modified-Since"), 0u) << "nothing to validate with";
}

TEST_F(NSURLSessionCacheTest, PoliciesDecideWhetherTheCacheIsRead) {
  server.script("/image", {200, {{"Cache-Control", "max-age=600"}}, "pixels"});
  load(server.url("/image"));

  load(requestFor(server.url("/image"), NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData));
  EXPECT_EQ(server.requestCount("/image"), 2u);
  PlatformClock::advance(601);
  load(requestFor(server.url("/image"), NSURLRequestCachePolicy::ReturnCacheDataElseLoad));
  EXPECT_EQ(server.requestCount("/image"), 2u) << "stale data is good enough for this policy";

  auto missing = load(requestFor(server.url("/never-loaded"), NSURLRequestCachePolicy::ReturnCacheDataDontLoad));
  ASSERT_NE(missing->error(), nullptr);
  EXPECT_EQ(missing->error()->code(), NSURLErrorResourceUnavailable);
  EXPECT_EQ(server.requestCount("/never-loaded"), 0u);

  // A request's own conditional header gets the server's 304 as it is.
  auto conditional = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(server.url("/tagged")));
  conditional->setCachePolicy(NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  conditional->setValueForHTTPHeaderField("\"t\"", "If-None-Match");
  ScriptedResponse tagged(200, {}, "tagged");
  tagged.etag = "\"t\"";
  server.script("/tagged", tagged);
  auto notModified = load(conditional);
  EXPECT_EQ(notModified->response()->statusCode(), 304);
}

TEST_F(NSURLSessionCacheTest, TheDelegateDecidesWhatIsStored) {
  server.script("/kept", {200, {}, "kept"});
  server.script("/refused", {200, {}, "refused"});
  server.script("/private", {200, {{"Cache-Control", "no-store"}}, "private"});
  server.script("/big", {200, {}, std::string(NSURLCache::sharedURLCache()->memoryCapacity() / 10, 'x')});
  server.script("/missing", {404, {}, "gone"});
  auto cache = NSURLCache::sharedURLCache();

  delegate->onCache = [](const NSCachedURLResponsePtr& proposed) {
    bool refuse = proposed->response()->URL()->path() == "/refused";
    return refuse ? NSCachedURLResponsePtr() : proposed;
  };
  for (const char* path : {"/kept", "/refused", "/private", "/big", "/missing"}) load(server.url(path));

  ASSERT_EQ(delegate->proposals.size(), 2u) << "only small, storable successes are offered";
  EXPECT_EQ(delegate->proposals[0]->response()->URL()->absoluteString(), server.url("/kept"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(delegate->proposals[0]->data()->bytes()),
                        delegate->proposals[0]->data()->length()),
            "kept");
  EXPECT_NE(cache->cachedResponseForRequest(NSURLRequest::requestWithURL(NSURL::URLWithString(server.url("/kept")))),
            nullptr);
  EXPECT_EQ(cache->cachedResponseForRequest(
                NSURLRequest::requestWithURL(NSURL::URLWithString(server.url("/refused")))),
            nullptr);
  EXPECT_EQ(delegate->errors, std::vector<NSErrorPtr>(5, nullptr));

  // A session without a cache neither reads nor offers.
  NSURLSessionConfiguration uncached = NSURLSessionConfiguration::defaultSessionConfiguration();
  uncached.URLCache = nullptr;
  session = NSURLSession::sessionWithConfiguration(uncached, delegate, queue);
  load(server.url("/kept"));
  EXPECT_EQ(server.requestCount("/kept"), 2u);
  EXPECT_EQ(delegate->proposals.size(), 2u);
}

TEST_F(NSURLSessionCacheTest, CompletionHandlerBodiesAreStoredWithinTheCachesShareBeforeTheHandlerRuns) {
  // A twentieth of 2,000 bytes: bodies up to 100 bytes are stored.
  auto cache = std::make_shared<NSURLCache>(2000);
  NSURLSessionConfiguration configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration.URLCache = cache;
  auto handlerSession = NSURLSession::sessionWithConfiguration(configuration);
  auto chunked = [](size_t length) {
    ScriptedResponse response(200, {{"Cache-Control", "max-age=600"}}, std::string(length, 'b'), true);
    response.chunkSize = 40;  // the share is only exceeded by a later chunk
    return response;
  };
  server.script("/fits", chunked(100));
  server.script("/over", chunked(101));

  struct Seen {
    std::string body;
    bool storedBefore = false;
  };
  auto fetch = [&](const std::string& path) {
    auto request = NSURLRequest::requestWithURL(NSURL::URLWithString(server.url(path)));
    auto seen = std::make_shared<Seen>();
    Outcome outcome;
    auto record = outcome.handler();
    handlerSession
        ->dataTaskWithRequest(request,
                              [&, seen, request](NSDataPtr data, NSHTTPURLResponsePtr response, NSErrorPtr error) {
                                seen->storedBefore = cache->cachedResponseForRequest(request) != nullptr;
                                seen->body = data ? std::string(reinterpret_cast<const char*>(data->bytes()),
                                                                data->length())
                                                  : "";
                                record(data, response, error);
                              })
        ->resume();
    EXPECT_TRUE(outcome.wait());
    return seen;
  };

  auto fits = fetch("/fits");
  EXPECT_EQ(fits->body, std::string(100, 'b'));
  EXPECT_TRUE(fits->storedBefore) << "stored before the handler is told";
  // What was stored is the response as received, allowed on disk too.
  auto stored = cache->cachedResponseForRequest(
      NSURLRequest::requestWithURL(NSURL::URLWithString(server.url("/fits"))));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->storagePolicy(), NSURLCacheStoragePolicy::Allowed);
  EXPECT_EQ(stored->response()->statusCode(), 200);
  EXPECT_EQ(stored->response()->URL()->absoluteString(), server.url("/fits"));
  EXPECT_EQ(stored->response()->valueForHTTPHeaderField("cache-control"), "max-age=600");
  EXPECT_EQ(stored->data()->length(), 100u);
  auto over = fetch("/over");
  EXPECT_EQ(over->body, std::string(101, 'b')) << "the handler still gets the whole body";
  EXPECT_FALSE(over->storedBefore);

  auto again = fetch("/fits");
  EXPECT_EQ(again->body, std::string(100, 'b'));
  EXPECT_EQ(server.requestCount("/fits"), 1u) << "served from the cache";
  fetch("/over");
  EXPECT_EQ(server.requestCount("/over"), 2u);
}

TEST_F(NSURLSessionCacheTest, FinishingTasksThenInvalidatingLetsRunningTasksEnd) {
  ScriptedResponse held(200, {}, "late but whole");
  held.gate = "release";
  server.script("/held", held);
  auto running = session->dataTaskWithURL(NSURL::URLWithString(server.url("/held")));
  running->resume();
  ASSERT_TRUE(server.waitForInFlight(1));
  session->finishTasksAndInvalidate();
  auto refused = session->dataTaskWithURL(NSURL::URLWithString(server.url("/held")));
  refused->resume();
  ASSERT_TRUE(delegate->waitForCompletions(1));
  EXPECT_EQ(refused->error()->code(), NSURLErrorCancelled);
  EXPECT_NE(session->delegate(), nullptr) << "still valid while a task runs";

  server.openGate("release");
  ASSERT_TRUE(delegate->waitFor([&] { return !delegate->events.empty() && delegate->events.back() == "invalid"; }));
  EXPECT_EQ(running->error(), nullptr);
  EXPECT_EQ(delegate->body, "late but whole");
  EXPECT_EQ(delegate->errors.size(), 2u);
  EXPECT_EQ(session->delegate(), nullptr);
  EXPECT_EQ(server.requestCount("/held"), 1u);
}

TEST_F(NSURLSessionCacheTest, BodiesArriveAsTheServerSendsThem) {
  ScriptedResponse slow(200, {}, "first half|second half");
  slow.bodyGate = "rest";
  slow.chunked = true;
  slow.chunkSize = 11;
  server.script("/slow", slow);
  auto task = session->dataTaskWithURL(NSURL::URLWithString(server.url("/slow")));
  task->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return delegate->body == "first half|"; }));
  EXPECT_EQ(task->state(), NSURLSessionTaskState::Running);
  server.openGate("rest");
  ASSERT_TRUE(delegate->waitForCompletions(1));
  delegate->drain();
  EXPECT_EQ(delegate->body, "first half|second half");
  EXPECT_EQ(task->countOfBytesExpectedToReceive(), -1);
  // The body offered to the cache is the whole body, not its first chunk.
  ASSERT_EQ(delegate->proposals.size(), 1u);
  const NSDataPtr& offered = delegate->proposals[0]->data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(offered->bytes()), offered->length()),
            "first half|second half");

  ScriptedResponse shortClaim(200, {}, "0123456789");
  shortClaim.claimedLength = 4;
  server.script("/short", shortClaim);
  ScriptedResponse longClaim(200, {}, "0123456789");
  longClaim.claimedLength = 1000;
  server.script("/long", longClaim);
  ScriptedResponse untilClose(200, {}, "all of it");
  untilClose.untilClose = true;
  server.script("/close", untilClose);
  Outcome shortOutcome, longOutcome, closeOutcome;
  for (auto [path, outcome] : {std::pair{"/short", &shortOutcome}, {"/long", &longOutcome}, {"/close", &closeOutcome}}) {
    session->dataTaskWithURL(NSURL::URLWithString(server.url(path)), outcome->handler())->resume();
    ASSERT_TRUE(outcome->wait());
  }
  EXPECT_EQ(shortOutcome.text(), "0123") << "the body ends where its length says";
  ASSERT_NE(longOutcome.error, nullptr);
  EXPECT_EQ(longOutcome.error->code(), NSURLErrorNetworkConnectionLost);
  EXPECT_EQ(closeOutcome.error, nullptr);
  EXPECT_EQ(closeOutcome.text(), "all of it");
  EXPECT_EQ(closeOutcome.response->expectedContentLength(), -1);
}

TEST_F(NSURLSessionCacheTest, MetricsDescribeEachRequest) {
  server.script("/a", {301, {{"Location", "/b"}}, ""});
  server.script("/b", {200, {}, "body!"});
  load(server.url("/a"));
  ASSERT_EQ(delegate->metrics.size(), 1u);
  const auto& metrics = *delegate->metrics[0];
  ASSERT_EQ(metrics.transactionMetrics().size(), 2u);
  const auto& last = metrics.transactionMetrics()[1];
  EXPECT_EQ(last.request->URL()->absoluteString(), server.url("/b"));
  EXPECT_EQ(last.response->statusCode(), 200);
  EXPECT_EQ(last.resourceFetchType, NSURLSessionTaskMetricsResourceFetchType::NetworkLoad);
  EXPECT_EQ(last.networkProtocolName, "http/1.1");
  EXPECT_EQ(last.remoteAddress, "127.0.0.1");
  EXPECT_EQ(last.remotePort, server.port());
  EXPECT_EQ(last.countOfResponseBodyBytesReceived, 5);
  EXPECT_FALSE(last.secureConnectionStartDate.has_value());
  ASSERT_TRUE(last.fetchStartDate && last.responseEndDate);
  EXPECT_LE(*last.fetchStartDate, *last.responseEndDate);
  EXPECT_GE(metrics.taskIntervalDuration(), 0);
  EXPECT_LE(metrics.taskIntervalStart(), *last.fetchStartDate);
}

}  // namespace

}  // namespace nsurl_cache_test
