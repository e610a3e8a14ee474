#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DownloaderTestSupport.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/coders/ILImageCoder.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "image_loading/downloader/ILRemoteImageDownloaderOperation.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace downloader_test {

namespace {

using il_test::DownloadRecord;
using il_test::DownloadRecordPtr;
using il_test::RunMainLoopUntil;

class DownloaderTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    downloader = ILRemoteImageDownloader::create();
  }
  void TearDown() override {
    if (downloader) {
      EXPECT_TRUE(RunMainLoopUntil([&] { return downloader->currentDownloadCount() == 0; }));
      downloader.reset();
    }
    PlatformTest::TearDown();
  }

  NSURLPtr url(const std::string& path) { return NSURL::URLWithString(server.url(path)); }
  void servePNG(const std::string& path, size_t w = 4, size_t h = 3) {
    server.script(path, ScriptedResponse(200, {{"Content-Type", "image/png"}}, il_test::PNGBody(w, h)));
  }
  ILRemoteImageDownloadTokenPtr download(const std::string& path, const DownloadRecordPtr& record,
                                         ILDownloadOptions options = 0,
                                         const ILRemoteImageContext& context = Value()) {
    return downloader->downloadImageWithURL(url(path), options, context, record->progressBlock(),
                                            record->completedBlock());
  }
  static bool waitForFinal(const DownloadRecordPtr& record, int count = 1) {
    return RunMainLoopUntil([&] { return record->finals() >= count; });
  }
  // Three requests queued while the queue waits, in the order the server saw them.
  std::vector<std::string> pathsRunOneAtATime() {
    std::vector<DownloadRecordPtr> records;
    downloader->setSuspended(true);
    for (const char* path : {"/1.png", "/2.png", "/3.png"}) {
      servePNG(path);
      records.push_back(std::make_shared<DownloadRecord>());
      download(path, records.back());
    }
    downloader->setSuspended(false);
    std::vector<std::string> paths;
    for (const auto& record : records) {
      if (!waitForFinal(record)) return paths;
    }
    for (const auto& request : server.requests()) paths.push_back(request.path);
    return paths;
  }

  LoopbackHttpServer server;
  ILRemoteImageDownloaderPtr downloader;
};

// A coder that holds its decode until the test lets it go, so that a test
// can act while the final decode is under way.
class HeldCoder : public NSObject, public ILImageCoder {
 public:
  bool canDecodeFromData(const NSDataPtr&) const override { return true; }
  UIImagePtr decodedImageWithData(const NSDataPtr& data, const Value& options) const override {
    ++decodes;
    dispatch_semaphore_signal(entered);
    dispatch_semaphore_wait(release, dispatch_time_after(kTestTimeoutSeconds));
    return ILImageCodersManager::sharedManager()->decodedImageWithData(data, options);
  }
  bool canEncodeToFormat(ILImageFormatCode) const override { return false; }
  NSDataPtr encodedDataWithImage(const UIImagePtr&, ILImageFormatCode, const Value&) const override {
    return nullptr;
  }
  dispatch_semaphore_t entered = dispatch_semaphore_create(0);
  dispatch_semaphore_t release = dispatch_semaphore_create(0);
  mutable std::atomic<int> decodes{0};
};

// Takes every PNG while it is added, answers a small picture and notes the
// operation queue each decode ran on.
class QueueNotingCoder : public NSObject, public ILImageCoder {
 public:
  bool canDecodeFromData(const NSDataPtr& data) const override {
    return data && data->length() > 8 && data->bytes()[1] == 'P' && data->bytes()[2] == 'N';
  }
  UIImagePtr decodedImageWithData(const NSDataPtr&, const Value&) const override {
    std::lock_guard<std::mutex> lock(mutex);
    queues.push_back(NSOperationQueue::currentQueue());
    return UIImage::imageWithCGImage(il_test::SolidImage(2, 2, {1, 2, 3, 255}));
  }
  bool canEncodeToFormat(ILImageFormatCode) const override { return false; }
  NSDataPtr encodedDataWithImage(const UIImagePtr&, ILImageFormatCode, const Value&) const override {
    return nullptr;
  }
  mutable std::mutex mutex;
  mutable std::vector<std::shared_ptr<NSOperationQueue>> queues;
};

std::string Text(const NSDataPtr& data) {
  return std::string(reinterpret_cast<const char*>(data->bytes()), data->length());
}

// A 30 KB one-bit grey PNG of `w` x `h` pixels, as far as its header says:
// a few kilobytes of PNG may hold tens of millions of pixels. Its image
// data is never inflated (the noting coder answers instead).
std::string PNGClaiming(uint32_t w, uint32_t h) {
  std::string png = "\x89PNG\r\n\x1a\n";
  auto be32 = [](std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char((v >> (24 - 8 * i)) & 0xff);
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    be32(png, uint32_t(data.size()));
    const std::string covered = type + data;
    uint32_t crc = 0xffffffffu;
    for (char c : covered) {
      crc ^= uint8_t(c);
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    png += covered;
    be32(png, ~crc);
  };
  std::string header;
  be32(header, w);
  be32(header, h);
  header += std::string("\x01\x00\x00\x00\x00", 5);  // depth 1, grey, no interlace
  chunk("IHDR", header);
  chunk("IDAT", std::string(30000, '\0'));
  chunk("IEND", "");
  return png;
}

TEST_F(DownloaderTest, OnlyBodiesOfFewPixelsAreDecodedOutsideTheCoderQueue) {
  auto coder = std::make_shared<QueueNotingCoder>();
  ILImageCodersManager::sharedManager()->addCoder(coder);
  std::shared_ptr<void> removal(nullptr, [&](void*) { ILImageCodersManager::sharedManager()->removeCoder(coder); });
  struct Case {
    std::string body;
    bool onCoderQueue;
  };
  const std::vector<Case> cases = {
      {il_test::PNGBody(4, 3), false},
      {PNGClaiming(512, 512), false},
      {PNGClaiming(512, 513), true},
      {PNGClaiming(5600, 5600), true},
      {PNGClaiming(70000, 70000), true},
      // Every frame counts: two of 512x512 are twice the pixels of one.
      {Text(il_test::AnimatedFile("public.png", {{{9, 9, 9, 255}}, {{200, 9, 9, 255}}}, 512, 512)), true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string path = "/claim" + std::to_string(i) + ".png";
    ASSERT_LE(cases[i].body.size(), ILRemoteImageDownloaderOperation::kInlineDecodeLimit);
    server.script(path, ScriptedResponse(200, {{"Content-Type", "image/png"}}, cases[i].body));
    auto record = std::make_shared<DownloadRecord>();
    auto token = download(path, record);
    auto operation = std::dynamic_pointer_cast<ILRemoteImageDownloaderOperation>(token->downloadOperation());
    ASSERT_NE(operation, nullptr);
    ASSERT_TRUE(waitForFinal(record));
    EXPECT_NE(record->image, nullptr) << i;
    std::lock_guard<std::mutex> lock(coder->mutex);
    ASSERT_EQ(coder->queues.size(), i + 1);
    EXPECT_EQ(coder->queues[i] == operation->coderQueue(), cases[i].onCoderQueue) << i;
  }
}

TEST_F(DownloaderTest, DownloadsWithItsHeadersAndDecodes) {
  servePNG("/a.png");
  downloader->setValueForHTTPHeaderField("yes", "X-Scripted");
  auto record = std::make_shared<DownloadRecord>();
  auto token = download("/a.png", record);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->url()->absoluteString(), server.url("/a.png"));
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_NE(record->image, nullptr);
  EXPECT_EQ(record->image->size().width, 4);
  EXPECT_EQ(record->image->size().height, 3);
  EXPECT_EQ(record->error, nullptr);
  ASSERT_NE(record->data, nullptr);
  EXPECT_EQ(record->data->length(), il_test::PNGBody().size());

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& headers = requests[0].headers;
  EXPECT_EQ(headers.at("Accept"), "image/*,*/*;q=0.8");
  EXPECT_EQ(headers.at("X-Scripted"), "yes");
  const std::string agent = headers.at("User-Agent");
  EXPECT_NE(agent.find(" (iPhone; iOS "), std::string::npos) << agent;
  EXPECT_NE(agent.find("; Scale/"), std::string::npos) << agent;
  EXPECT_EQ(agent, *downloader->valueForHTTPHeaderField("User-Agent"));

  // Known length: every report is a fraction within [0, 1] and the last is whole.
  ASSERT_FALSE(record->progress.empty());
  for (const auto& [received, expected] : record->progress) {
    EXPECT_GT(expected, 0);
    EXPECT_LE(received, expected);
  }
  EXPECT_EQ(record->progress.back().first, record->progress.back().second);

  // The token hears of the response through the main queue.
  drainMainLoop();
  ASSERT_NE(token->response(), nullptr);
  EXPECT_EQ(token->response()->statusCode(), 200);

  downloader->setValueForHTTPHeaderField(std::nullopt, "X-Scripted");
  EXPECT_FALSE(downloader->valueForHTTPHeaderField("X-Scripted").has_value());
  EXPECT_FALSE(downloader->valueForHTTPHeaderField("").has_value());
}

TEST_F(DownloaderTest, SameURLJoinsOneTransferAndAFinishedOneIsReplaced) {
  servePNG("/shared.png");
  downloader->setSuspended(true);
  auto first = std::make_shared<DownloadRecord>();
  auto second = std::make_shared<DownloadRecord>();
  // The first caller asks for no progress; the one joining it still hears it.
  auto a = downloader->downloadImageWithURL(url("/shared.png"), ILDownloadLowPriority, Value(),
                                            nullptr, first->completedBlock());
  // A joining caller keeps its own decode options.
  auto b = download("/shared.png", second, ILDownloadHighPriority,
                    Value::map({{ILRemoteImageContextImageScaleFactor, Value(2.0)}}));
  EXPECT_EQ(downloader->currentDownloadCount(), 1);
  ASSERT_NE(a->downloadOperation(), nullptr);
  EXPECT_EQ(a->downloadOperation(), b->downloadOperation());
  // The later caller's options do not change the running transfer.
  auto operation =
      std::dynamic_pointer_cast<ILRemoteImageDownloaderOperation>(a->downloadOperation());
  EXPECT_EQ(operation->options(), ILDownloadLowPriority);
  EXPECT_EQ(operation->queuePriority(), NSOperationQueuePriorityLow);
  downloader->setSuspended(false);
  ASSERT_TRUE(waitForFinal(first));
  ASSERT_TRUE(waitForFinal(second));
  ASSERT_NE(first->image, nullptr);
  ASSERT_NE(second->image, nullptr);
  EXPECT_EQ(first->image->scale(), 1.0);
  EXPECT_EQ(second->image->scale(), 2.0);
  EXPECT_TRUE(first->progress.empty());
  EXPECT_FALSE(second->progress.empty());
  EXPECT_EQ(server.requests().size(), 1u);
  // Every caller's token hears of the one transfer's response and metrics.
  drainMainLoop();
  for (const auto& token : {a, b}) {
    ASSERT_NE(token->response(), nullptr);
    EXPECT_EQ(token->response(), operation->response());
    EXPECT_NE(token->metrics(), nullptr);
  }

  // Once it has finished, the URL gets a transfer of its own again.
  ASSERT_TRUE(RunMainLoopUntil([&] { return downloader->currentDownloadCount() == 0; }));
  auto third = std::make_shared<DownloadRecord>();
  std::weak_ptr<ILRemoteImageDownloaderOperationProtocol> thirdOperation =
      download("/shared.png", third)->downloadOperation();
  ASSERT_TRUE(waitForFinal(third));
  EXPECT_EQ(server.requests().size(), 2u);
  // Finished and no caller left: the downloader lets go of it.
  EXPECT_TRUE(RunMainLoopUntil([&] { return thirdOperation.expired(); }));
}

TEST_F(DownloaderTest, QueueWidthFollowsTheConfigAndLastInRunsFirst) {
  auto config = ILRemoteImageDownloaderConfig::defaultDownloaderConfig()->copy();
  config->setMaxConcurrentDownloads(1);
  config->executionOrder = ILDownloadLIFOExecutionOrder;
  downloader = ILRemoteImageDownloader::create(config);
  EXPECT_EQ(downloader->downloadQueue()->maxConcurrentOperationCount(), 1);
  // A finished download starts the next on its own thread.
  EXPECT_TRUE(downloader->downloadQueue()->startsWhereOthersFinish());
  // The downloader keeps its own copy; changes to that copy apply at once.
  config->setMaxConcurrentDownloads(5);
  EXPECT_EQ(downloader->downloadQueue()->maxConcurrentOperationCount(), 1);
  downloader->config()->setMaxConcurrentDownloads(3);
  EXPECT_EQ(downloader->downloadQueue()->maxConcurrentOperationCount(), 3);
  downloader->config()->setMaxConcurrentDownloads(1);

  EXPECT_EQ(pathsRunOneAtATime(), (std::vector<std::string>{"/3.png", "/2.png", "/1.png"}));
}

// Last in first out on the default six-wide queue: each waiting download
// waits for every newer one, so they start one at a time, newest first.
TEST_F(DownloaderTest, LastInFirstOutStartsWaitingDownloadsOneAtATime) {
  auto config = ILRemoteImageDownloaderConfig::defaultDownloaderConfig()->copy();
  config->executionOrder = ILDownloadLIFOExecutionOrder;
  downloader = ILRemoteImageDownloader::create(config);
  ASSERT_EQ(downloader->downloadQueue()->maxConcurrentOperationCount(), 6);
  const std::vector<std::string> paths = {"/1.png", "/2.png", "/3.png"};
  std::vector<DownloadRecordPtr> records;
  downloader->setSuspended(true);
  for (const auto& path : paths) {
    ScriptedResponse held(200, {{"Content-Type", "image/png"}}, il_test::PNGBody());
    held.gate = path;
    server.script(path, held);
    records.push_back(std::make_shared<DownloadRecord>());
    download(path, records.back());
  }
  downloader->setSuspended(false);
  for (size_t n = 0; n < paths.size(); ++n) {
    const std::string& expected = paths[paths.size() - 1 - n];
    ASSERT_TRUE(server.waitForRequests(n + 1));
    ASSERT_EQ(server.requests().back().path, expected);
    EXPECT_EQ(server.requests().size(), n + 1);
    EXPECT_EQ(server.inFlight(), 1u);
    server.openGate(expected);
    ASSERT_TRUE(waitForFinal(records[paths.size() - 1 - n]));
    EXPECT_NE(records[paths.size() - 1 - n]->image, nullptr);
  }
}

TEST_F(DownloaderTest, FirstInRunsFirstByDefault) {
  downloader->config()->setMaxConcurrentDownloads(1);
  EXPECT_EQ(pathsRunOneAtATime(), (std::vector<std::string>{"/1.png", "/2.png", "/3.png"}));
}

TEST_F(DownloaderTest, TokensHearOnlyTheirOwnOperationsResponse) {
  servePNG("/each.png");
  auto other = ILRemoteImageDownloader::create();
  auto mine = std::make_shared<DownloadRecord>();
  auto dropped = std::make_shared<DownloadRecord>();
  auto theirs = std::make_shared<DownloadRecord>();
  downloader->setSuspended(true);
  other->setSuspended(true);
  auto a = download("/each.png", mine);
  // A token let go before the response leaves its operation's other callers
  // hearing it.
  download("/each.png", dropped);
  auto b = other->downloadImageWithURL(url("/each.png"), 0, Value(), theirs->progressBlock(),
                                       theirs->completedBlock());
  const auto ours = a->downloadOperation();
  const auto others = b->downloadOperation();
  downloader->setSuspended(false);
  other->setSuspended(false);
  ASSERT_TRUE(waitForFinal(mine));
  ASSERT_TRUE(waitForFinal(dropped));
  ASSERT_TRUE(waitForFinal(theirs));
  drainMainLoop();
  EXPECT_EQ(server.requests().size(), 2u);
  ASSERT_NE(a->response(), nullptr);
  ASSERT_NE(b->response(), nullptr);
  EXPECT_EQ(a->response(), ours->response());
  EXPECT_EQ(b->response(), others->response());
  EXPECT_NE(a->response(), b->response());
  EXPECT_TRUE(RunMainLoopUntil([&] { return other->currentDownloadCount() == 0; }));
  // Only the tokens still held are filed.
  EXPECT_EQ(downloader->listeningTokenCount(), 1u);
  a.reset();
  EXPECT_EQ(downloader->listeningTokenCount(), 0u);
  EXPECT_EQ(other->listeningTokenCount(), 1u);
}

TEST_F(DownloaderTest, TokenHearsTheResponseBeforeTheBodyAndMetricsEvenOfAFailure) {
  ScriptedResponse slow(200, {{"Content-Type", "image/png"}}, il_test::PNGBody(4, 3));
  slow.bodyGate = "body";
  server.script("/slow.png", slow);
  server.script("/missing.png", ScriptedResponse(404, {{"Content-Type", "text/plain"}}, "gone"));
  auto record = std::make_shared<DownloadRecord>();
  auto token = download("/slow.png", record);
  // The response is told while the body is still on its way; the metrics
  // only once the transfer has ended.
  ASSERT_TRUE(RunMainLoopUntil([&] { return token->response() != nullptr; }));
  EXPECT_EQ(token->response()->statusCode(), 200);
  EXPECT_EQ(token->metrics(), nullptr);
  server.openGate("body");
  ASSERT_TRUE(waitForFinal(record));
  drainMainLoop();
  EXPECT_NE(token->metrics(), nullptr);
  // A download that fails never finishes, but it stops: its token still
  // gets the response and the metrics.
  auto failed = std::make_shared<DownloadRecord>();
  auto failedToken = download("/missing.png", failed);
  ASSERT_TRUE(waitForFinal(failed));
  drainMainLoop();
  ASSERT_NE(failedToken->response(), nullptr);
  EXPECT_EQ(failedToken->response()->statusCode(), 404);
  EXPECT_NE(failedToken->metrics(), nullptr);
}

TEST_F(DownloaderTest, ANewTransferTakesTheCancelledOnesPlaceForLaterCallers) {
  servePNG("/again.png");
  downloader->setSuspended(true);
  auto cancelled = std::make_shared<DownloadRecord>();
  auto first = std::make_shared<DownloadRecord>();
  auto second = std::make_shared<DownloadRecord>();
  // The only caller leaves: its operation is cancelled but waits in the
  // suspended queue, still filed under the URL.
  download("/again.png", cancelled)->cancel();
  auto a = download("/again.png", first);
  auto b = download("/again.png", second);
  ASSERT_NE(a->downloadOperation(), nullptr);
  EXPECT_EQ(a->downloadOperation(), b->downloadOperation());
  downloader->setSuspended(false);
  ASSERT_TRUE(waitForFinal(first));
  ASSERT_TRUE(waitForFinal(second));
  EXPECT_NE(second->image, nullptr);
  EXPECT_EQ(server.requests().size(), 1u);
}

// Session calls reach the operation running their task, and only while it
// runs it: a task its operation gave up or finished with (already while the
// callers are answered), even under a URL a newer transfer runs, or whose
// transfer failed at once, gets the answers of a delegate that handles
// nothing.
TEST_F(DownloaderTest, SessionCallsReachOnlyTheOperationRunningTheirTask) {
  ScriptedResponse held(200, {{"Content-Type", "image/png"}}, il_test::PNGBody());
  held.gate = "first";
  server.script("/routed.png", held);
  auto delegate = std::static_pointer_cast<NSURLSessionDataDelegate>(downloader);
  auto proposal = std::make_shared<NSCachedURLResponse>(nullptr, NSData::dataWithBytes(Bytes()));
  // The operations keep nothing in the URL cache; an unhandled call keeps
  // the proposal.
  auto reachesOperation = [delegate, proposal](const NSURLSessionDataTaskPtr& task) {
    int answers = 0;
    NSCachedURLResponsePtr answer;
    delegate->willCacheResponse(nullptr, task, proposal, [&](NSCachedURLResponsePtr given) {
      ++answers;
      answer = std::move(given);
    });
    EXPECT_EQ(answers, 1);
    return answer == nullptr;
  };
  // Completions run inline, on the thread that ends or cancels the
  // operation, and ask about the task there.
  auto inlineQueue = std::make_shared<ILCallbackQueue>(dispatch_get_main_queue());
  inlineQueue->setPolicy(ILCallbackQueuePolicyInvoke);
  const ILRemoteImageContext context =
      Value::map({{ILRemoteImageContextCallbackQueue,
                   Value(std::static_pointer_cast<NSObject>(inlineQueue))}});
  struct Transfer {
    NSURLSessionDataTaskPtr task;
    std::atomic<int> reachedWhileAnswered{-1};
    DownloadRecordPtr record = std::make_shared<DownloadRecord>();
  };
  auto start = [&](Transfer& transfer, const NSURLPtr& url) {
    auto completed = transfer.record->completedBlock();
    return downloader->downloadImageWithURL(
        url, 0, context, nullptr,
        [&transfer, completed, reachesOperation](UIImagePtr image, NSDataPtr data, NSErrorPtr error,
                                                 bool finished) {
          if (transfer.task) transfer.reachedWhileAnswered = reachesOperation(transfer.task);
          completed(std::move(image), std::move(data), std::move(error), finished);
        });
  };
  auto runningTask = [](const ILRemoteImageDownloadTokenPtr& token) {
    auto operation = std::dynamic_pointer_cast<ILRemoteImageDownloaderOperationProtocol>(
        token->downloadOperation());
    return operation ? operation->dataTask() : nullptr;
  };
  Transfer cancelled, second, refused;
  auto first = start(cancelled, url("/routed.png"));
  ASSERT_TRUE(server.waitForRequests(1));
  cancelled.task = runningTask(first);
  ASSERT_NE(cancelled.task, nullptr);
  EXPECT_TRUE(reachesOperation(cancelled.task));
  EXPECT_TRUE(reachesOperation(cancelled.task));
  EXPECT_EQ(downloader->routedTaskCount(), 1u);
  first->cancel();
  ASSERT_TRUE(waitForFinal(cancelled.record));
  EXPECT_EQ(cancelled.reachedWhileAnswered, 0);
  EXPECT_FALSE(reachesOperation(cancelled.task));

  held.gate = "second";
  server.script("/routed.png", held);
  auto token = start(second, url("/routed.png"));
  ASSERT_TRUE(server.waitForRequests(2));
  second.task = runningTask(token);
  ASSERT_NE(second.task, nullptr);
  EXPECT_FALSE(reachesOperation(cancelled.task));
  EXPECT_TRUE(reachesOperation(second.task));
  server.openGate("first");
  server.openGate("second");
  ASSERT_TRUE(waitForFinal(second.record));
  EXPECT_NE(second.record->image, nullptr);
  EXPECT_EQ(second.reachedWhileAnswered, 0);
  EXPECT_FALSE(reachesOperation(second.task));
  EXPECT_EQ(downloader->routedTaskCount(), 0u);

  // Its end is the only call of a task refused a connection.
  start(refused, NSURL::URLWithString("http://127.0.0.1:" +
                                      std::to_string(LoopbackHttpServer::closedPort()) + "/x.png"));
  ASSERT_TRUE(waitForFinal(refused.record));
  EXPECT_NE(refused.record->error, nullptr);
  EXPECT_EQ(downloader->routedTaskCount(), 0u);
}

TEST_F(DownloaderTest, CancellingOneCallerLeavesTheOthersTransfer) {
  servePNG("/two.png");
  downloader->setSuspended(true);
  auto leaving = std::make_shared<DownloadRecord>();
  auto staying = std::make_shared<DownloadRecord>();
  auto a = download("/two.png", leaving);
  auto b = download("/two.png", staying);
  a->cancel();
  EXPECT_TRUE(a->isCancelled());
  ASSERT_TRUE(waitForFinal(leaving));
  ASSERT_TRUE(ILIsRemoteImageError(leaving->error, ILRemoteImageErrorCancelled));
  EXPECT_EQ(leaving->error->localizedDescription(),
            "Operation cancelled by user during sending the request");
  a->cancel();
  downloader->setSuspended(false);
  ASSERT_TRUE(waitForFinal(staying));
  EXPECT_NE(staying->image, nullptr);
  // A cancel after the answer changes nothing.
  b->cancel();
  drainMainLoop();
  EXPECT_EQ(leaving->completions, 1);
  EXPECT_EQ(staying->completions, 1);
}

TEST_F(DownloaderTest, CancelWhileTheFinalDecodeRunsAnswersOnce) {
  servePNG("/held.png");
  auto coder = std::make_shared<HeldCoder>();
  const Value coderValue(std::static_pointer_cast<NSObject>(coder));
  const ILRemoteImageContext context = Value::map({{ILRemoteImageContextImageCoder, coderValue}});
  // Other decode options: the second caller needs a decode of its own.
  const ILRemoteImageContext doubled = Value::map(
      {{ILRemoteImageContextImageCoder, coderValue}, {ILRemoteImageContextImageScaleFactor, Value(2.0)}});
  auto first = std::make_shared<DownloadRecord>();
  auto second = std::make_shared<DownloadRecord>();
  downloader->setSuspended(true);
  auto a = download("/held.png", first, 0, context);
  auto b = download("/held.png", second, 0, doubled);
  downloader->setSuspended(false);
  // The first caller's decode has begun; both callers are still registered.
  ASSERT_EQ(dispatch_semaphore_wait(coder->entered, dispatch_time_after(kTestTimeoutSeconds)), 0);
  auto operation =
      std::dynamic_pointer_cast<ILRemoteImageDownloaderOperation>(a->downloadOperation());
  ASSERT_NE(operation, nullptr);
  a->cancel();
  b->cancel();
  dispatch_semaphore_signal(coder->release);
  dispatch_semaphore_signal(coder->release);
  // Every decode that was under way has ended and handed on what it made.
  ASSERT_TRUE(operation->coderQueue()->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  ASSERT_TRUE(waitForFinal(first));
  ASSERT_TRUE(waitForFinal(second));
  drainMainLoop();
  EXPECT_EQ(first->completions, 1);
  EXPECT_EQ(second->completions, 1);
  EXPECT_TRUE(ILIsRemoteImageError(first->error, ILRemoteImageErrorCancelled));
  EXPECT_TRUE(ILIsRemoteImageError(second->error, ILRemoteImageErrorCancelled));
  // Nobody was left to answer: the second caller's decode was never made.
  EXPECT_EQ(coder->decodes, 1);
}

TEST_F(DownloaderTest, CallerJoiningAfterTheLastAnswerGetsATransferOfItsOwn) {
  // The first caller's completion runs inline, while its operation is still
  // winding up, and asks for the same URL again.
  auto inlineQueue = std::make_shared<ILCallbackQueue>(dispatch_get_main_queue());
  inlineQueue->setPolicy(ILCallbackQueuePolicyInvoke);
  const ILRemoteImageContext context = Value::map(
      {{ILRemoteImageContextCallbackQueue, Value(std::static_pointer_cast<NSObject>(inlineQueue))}});
  auto late = std::make_shared<DownloadRecord>();
  auto first = std::make_shared<DownloadRecord>();
  const NSURLPtr missing = url("/missing.png");
  downloader->downloadImageWithURL(
      missing, 0, context, nullptr,
      [this, first, late, missing](UIImagePtr, NSDataPtr, NSErrorPtr error, bool) {
        {
          std::lock_guard<std::mutex> lock(first->mutex);
          first->error = error;
          first->finalCompletions++;
        }
        downloader->downloadImageWithURL(missing, late->completedBlock());
      });
  ASSERT_TRUE(waitForFinal(late));
  EXPECT_TRUE(ILIsRemoteImageError(first->lastError(), ILRemoteImageErrorInvalidDownloadStatusCode));
  EXPECT_TRUE(ILIsRemoteImageError(late->lastError(), ILRemoteImageErrorInvalidDownloadStatusCode));
  EXPECT_EQ(server.requests().size(), 2u);
}

// Torn down after main returned, the shared downloader and session would
// end their sessions and queue their last delegate calls while the platform
// goes down around them: they live until the process ends instead.
TEST_F(DownloaderTest, SharedInstancesOutliveTheProcessExit) {
  EXPECT_EXIT(
      {
        // Registered before the instances are made, this handler runs after
        // every destructor the exit would run for them.
        std::atexit([] {
          auto shared = ILRemoteImageDownloader::sharedDownloader();
          auto session = NSURLSession::sharedSession();
          const bool intact = shared->currentDownloadCount() == 0 && session->delegate() != nullptr &&
                              DispatchWorkersIdle();
          std::fputs(intact ? "intact\n" : "torn down\n", stderr);
          std::_Exit(intact ? 0 : 1);
        });
        servePNG("/shared.png");
        auto record = std::make_shared<DownloadRecord>();
        ILRemoteImageDownloader::sharedDownloader()->downloadImageWithURL(url("/shared.png"),
                                                                          record->completedBlock());
        NSURLSession::sharedSession();
        if (!waitForFinal(record) || !RunMainLoopUntil(DispatchWorkersIdle)) std::_Exit(2);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "intact");
}

TEST_F(DownloaderTest, BadInputGetsClearErrors) {
  // No URL.
  auto record = std::make_shared<DownloadRecord>();
  EXPECT_EQ(downloader->downloadImageWithURL(nullptr, record->completedBlock()), nullptr);
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidURL));
  EXPECT_EQ(record->error->localizedDescription(), "Image url is nil");

  // A request modifier that refuses.
  servePNG("/refused.png");
  record = std::make_shared<DownloadRecord>();
  downloader->setRequestModifier(ILRemoteImageDownloaderRequestModifier::requestModifierWithBlock(
      [](const NSURLRequestPtr&) -> NSURLRequestPtr { return nullptr; }));
  EXPECT_EQ(download("/refused.png", record), nullptr);
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidDownloadOperation));
  EXPECT_EQ(record->error->localizedDescription(), "Downloader operation is nil");
  downloader->setRequestModifier(nullptr);

  // 404: the status error, not the cancellation of the task it causes.
  record = std::make_shared<DownloadRecord>();
  download("/missing.png", record);
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidDownloadStatusCode));
  EXPECT_EQ(record->error->localizedDescription(),
            "Download marked as failed because of invalid response status code 404");
  EXPECT_EQ(record->error->userInfo().find(ILRemoteImageErrorDownloadStatusCodeKey)->asInt64(), 404);
  EXPECT_TRUE(record->error->userInfo().find(ILRemoteImageErrorDownloadResponseKey)->isObject());

  // A body that is no image.
  server.script("/text.png", ScriptedResponse(200, {{"Content-Type", "text/plain"}}, "hello"));
  record = std::make_shared<DownloadRecord>();
  download("/text.png", record);
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorBadImageData));
  EXPECT_EQ(record->error->localizedDescription(), "Downloaded image decode failed");

  // A HEIC whose structure reads but whose picture cannot be decoded: the
  // same error, and no blank image of its size.
  NSDataPtr heic = il_test::UndecodableHEIC(64, 48);
  ASSERT_TRUE(heic);
  server.script("/broken.heic",
                ScriptedResponse(200, {{"Content-Type", "image/heic"}},
                                 std::string(heic->vector().begin(), heic->vector().end())));
  record = std::make_shared<DownloadRecord>();
  download("/broken.heic", record);
  ASSERT_TRUE(waitForFinal(record));
  EXPECT_FALSE(record->image);
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorBadImageData));
  EXPECT_EQ(record->error->localizedDescription(), "Downloaded image decode failed");

  // An empty body.
  server.script("/empty.png", ScriptedResponse());
  record = std::make_shared<DownloadRecord>();
  download("/empty.png", record);
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorBadImageData));
  EXPECT_EQ(record->error->localizedDescription(), "Image data is nil");

  // Nobody listening.
  record = std::make_shared<DownloadRecord>();
  downloader->downloadImageWithURL(
      NSURL::URLWithString("http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) +
                           "/x.png"),
      record->completedBlock());
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_NE(record->error, nullptr);
  EXPECT_EQ(record->error->domain(), NSURLErrorDomain);
  EXPECT_EQ(record->error->code(), NSURLErrorCannotConnectToHost);
  EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(DownloaderTest, ContentTypesAndStatusCodesFromTheConfig) {
  auto config = ILRemoteImageDownloaderConfig::defaultDownloaderConfig()->copy();
  config->acceptableContentTypes = ILContentTypeSet{"image/png"};
  config->acceptableStatusCodes = ILStatusCodeSet{200, 304, 404};
  downloader = ILRemoteImageDownloader::create(config);
  server.script("/a.txt", ScriptedResponse(200, {{"Content-Type", "text/plain; charset=utf-8"}}, "x"));
  auto record = std::make_shared<DownloadRecord>();
  download("/a.txt", record);
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorInvalidDownloadContentType));
  EXPECT_EQ(record->error->localizedDescription(),
            "Download marked as failed because of invalid response content type text/plain");
  EXPECT_EQ(record->error->userInfo().find(ILRemoteImageErrorDownloadContentTypeKey)->asString(),
            "text/plain");

  // 404 is acceptable here: its body is what gets decoded.
  server.script("/gone.png",
                ScriptedResponse(404, {{"Content-Type", "image/png"}}, il_test::PNGBody(2, 2)));
  record = std::make_shared<DownloadRecord>();
  download("/gone.png", record);
  ASSERT_TRUE(waitForFinal(record));
  EXPECT_EQ(record->error, nullptr);
  ASSERT_NE(record->image, nullptr);
  EXPECT_EQ(record->image->size().width, 2);

  // An accepted 304 with nothing cached to stand for it.
  ScriptedResponse notModified;
  notModified.status = 304;
  server.script("/same.png", notModified);
  record = std::make_shared<DownloadRecord>();
  download("/same.png", record);
  ASSERT_TRUE(waitForFinal(record));
  ASSERT_TRUE(ILIsRemoteImageError(record->error, ILRemoteImageErrorCacheNotModified));
  EXPECT_EQ(record->error->localizedDescription(),
            "Download response status code is 304 not modified and ignored");
}

TEST_F(DownloaderTest, UnknownLengthReportsNoProgress) {
  ScriptedResponse chunked;
  chunked.body = il_test::PNGBody();
  chunked.chunked = true;
  server.script("/chunked.png", chunked);
  auto record = std::make_shared<DownloadRecord>();
  download("/chunked.png", record, ILDownloadProgressive);
  ASSERT_TRUE(waitForFinal(record));
  EXPECT_NE(record->image, nullptr);
  EXPECT_TRUE(record->progress.empty());
  EXPECT_EQ(record->completions, 1);
}

TEST_F(DownloaderTest, WhichFailuresBlockAURL) {
  const auto url = NSURL::URLWithString("http://127.0.0.1/a.png");
  auto ours = [](int64_t code) { return ILRemoteImageError(code, "x"); };
  EXPECT_TRUE(downloader->shouldBlockFailedURL(url, ours(ILRemoteImageErrorInvalidURL)));
  EXPECT_TRUE(downloader->shouldBlockFailedURL(url, ours(ILRemoteImageErrorBadImageData)));
  EXPECT_FALSE(downloader->shouldBlockFailedURL(url, ours(ILRemoteImageErrorInvalidDownloadStatusCode)));
  EXPECT_FALSE(downloader->shouldBlockFailedURL(url, ours(ILRemoteImageErrorCancelled)));
  for (int64_t code : {NSURLErrorTimedOut, NSURLErrorCancelled, NSURLErrorCannotConnectToHost,
                       NSURLErrorNotConnectedToInternet, NSURLErrorNetworkConnectionLost,
                       NSURLErrorCannotFindHost, int64_t{-1018}, int64_t{-1020}}) {
    EXPECT_FALSE(downloader->shouldBlockFailedURL(url, NSURLErrorMake(code, "")));
  }
  EXPECT_TRUE(downloader->shouldBlockFailedURL(url, NSURLErrorMake(NSURLErrorBadURL, "")));
  EXPECT_FALSE(downloader->shouldBlockFailedURL(url, NSError::errorWithDomain("Other", 1001)));
}

TEST_F(DownloaderTest, LoadOptionsMapOntoDownloadOptions) {
  EXPECT_EQ(ILRemoteImageDownloader::downloaderOptionsFromImageOptions(
                ILLoadLowPriority | ILLoadProgressive | ILLoadRefreshCached | ILLoadHighPriority |
                    ILLoadScaleDownLargeImages | ILLoadDecodeFirstFrameOnly | ILLoadRetryFailed,
                Value()),
            ILDownloadLowPriority | ILDownloadProgressive | ILDownloadUseURLCache |
                ILDownloadHighPriority | ILDownloadScaleDownLargeImages |
                ILDownloadDecodeFirstFrameOnly);
  // With a cached image on screen, a refresh is neither progressive nor
  // delivered when unchanged.
  const Value cached = Value::map({{ILRemoteImageContextLoaderCachedImage,
                                    Value(std::static_pointer_cast<NSObject>(
                                        il_test::SolidUIImage(1, 1, {0, 0, 0, 255})))}});
  EXPECT_EQ(ILRemoteImageDownloader::downloaderOptionsFromImageOptions(
                ILLoadProgressive | ILLoadRefreshCached, cached),
            ILDownloadUseURLCache | ILDownloadIgnoreCachedResponse);
  EXPECT_EQ(ILRemoteImageDownloader::imageOptionsFromDownloaderOptions(
                ILDownloadMatchAnimatedImageClass | ILDownloadScaleDownLargeImages |
                ILDownloadProgressive),
            ILLoadMatchAnimatedImageClass | ILLoadScaleDownLargeImages);
}

}  // namespace

}  // namespace downloader_test
