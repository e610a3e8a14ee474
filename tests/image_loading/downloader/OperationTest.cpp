#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "DownloaderTestSupport.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/downloader/ILRemoteImageDownloaderOperation.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace operation_test {

namespace {

using il_test::DownloadRecord;
using il_test::RunMainLoopUntil;

class OperationTest : public PlatformTest {
 protected:
  ILRemoteImageDownloaderOperationPtr operationFor(const std::string& path,
                                                   ILDownloadOptions options = 0) {
    auto request = NSURLRequest::requestWithURL(NSURL::URLWithString(server.url(path)));
    return std::make_shared<ILRemoteImageDownloaderOperation>(request, nullptr, options, Value());
  }
  LoopbackHttpServer server;
};

// Made without decode options, an operation works them out from its own
// request: a caller without options of its own gets the "@2x" scale.
TEST_F(OperationTest, ItsOwnDecodeOptionsComeFromItsRequest) {
  server.script("/icon@2x.png",
                ScriptedResponse(200, {{"Content-Type", "image/png"}}, il_test::PNGBody(8, 6)));
  auto operation = operationFor("/icon@2x.png");
  auto record = std::make_shared<DownloadRecord>();
  operation->addHandlersForProgress(record->progressBlock(), record->completedBlock());
  operation->start();
  ASSERT_TRUE(RunMainLoopUntil([&] { return record->finals() == 1; }));
  ASSERT_NE(record->image, nullptr);
  EXPECT_EQ(record->image->scale(), 2.0);
  EXPECT_EQ(record->image->size().width, 4);
  ASSERT_TRUE(RunMainLoopUntil([&] { return operation->isFinished(); }));
}

TEST_F(OperationTest, WithoutASessionItMakesItsOwnAndThinsProgress) {
  const std::string body = il_test::PNGBody(40, 40);
  ScriptedResponse paced(200, {{"Content-Type", "image/png"}}, body);
  paced.chunkSize = body.size() / 10 + 1;
  paced.chunkInterval = 0.005;
  server.script("/paced.png", paced);
  auto operation = operationFor("/paced.png");
  operation->setMinimumProgressInterval(0.5);
  auto record = std::make_shared<DownloadRecord>();
  operation->addHandlersForProgress(record->progressBlock(), record->completedBlock());
  operation->start();
  EXPECT_TRUE(operation->isExecuting());
  ASSERT_TRUE(RunMainLoopUntil([&] { return record->finals() == 1; }));
  ASSERT_TRUE(RunMainLoopUntil([&] { return operation->isFinished(); }));
  EXPECT_FALSE(operation->isExecuting());
  ASSERT_NE(record->image, nullptr);
  EXPECT_EQ(record->image->size().width, 40);
  // At the response, then no step smaller than half, and always the last.
  const int64_t length = static_cast<int64_t>(body.size());
  ASSERT_GE(record->progress.size(), 2u);
  EXPECT_EQ(record->progress.front(), std::make_pair(int64_t{0}, length));
  EXPECT_EQ(record->progress.back(), std::make_pair(length, length));
  EXPECT_LE(record->progress.size(), 4u);
  for (size_t i = 2; i + 1 < record->progress.size(); ++i) {
    EXPECT_GE(record->progress[i].first - record->progress[i - 1].first, length / 2);
  }
  EXPECT_EQ(operation->callbackTokenCount(), 0u);
  EXPECT_EQ(operation->dataTask(), nullptr);
}

TEST_F(OperationTest, CancelBeforeStartAnswersOnceAndStartOnlyFinishes) {
  auto operation = operationFor("/never.png");
  auto first = std::make_shared<DownloadRecord>();
  auto second = std::make_shared<DownloadRecord>();
  EXPECT_EQ(operation->addHandlersForProgress(nullptr, nullptr, Value()), nullptr);
  auto a = operation->addHandlersForProgress(nullptr, first->completedBlock());
  operation->addHandlersForProgress(nullptr, second->completedBlock());
  EXPECT_FALSE(operation->cancel(std::make_shared<NSObject>()));
  EXPECT_FALSE(operation->cancel(a));  // the other caller stays
  EXPECT_FALSE(operation->cancel(a));  // already gone: no second answer
  operation->cancel();
  EXPECT_FALSE(operation->isFinished());
  operation->start();
  EXPECT_TRUE(operation->isFinished());
  drainMainLoop();
  EXPECT_EQ(first->completions, 1);
  EXPECT_EQ(second->completions, 1);
  EXPECT_TRUE(ILIsRemoteImageError(second->error, ILRemoteImageErrorCancelled));
  EXPECT_EQ(server.requests().size(), 0u);
  // Nobody joins an operation that has given its last answers.
  EXPECT_EQ(operation->addHandlersForProgress(nullptr, second->completedBlock()), nullptr);
}

// Between a refusal and the cancel it asks for landing, chunks may still
// arrive: none is kept or counted, so no progress is reported for them.
TEST_F(OperationTest, ChunksArrivingAfterARefusalAreDropped) {
  struct Refusal {
    int64_t status;
    std::string contentType;
    uint64_t length;
    int64_t code;  // the error the callers get
  };
  const uint64_t pastTheLimit = uint64_t{1} << 40;
  for (const Refusal& refusal :
       {Refusal{404, "image/png", 4096, ILRemoteImageErrorInvalidDownloadStatusCode},
        Refusal{200, "image/png", pastTheLimit, NSURLErrorDataLengthExceedsMaximum}}) {
    SCOPED_TRACE(refusal.status);
    auto operation = operationFor("/refused.png");
    operation->setAcceptableStatusCodes(ILStatusCodeSet{200});
    auto record = std::make_shared<DownloadRecord>();
    operation->addHandlersForProgress(record->progressBlock(), record->completedBlock());
    auto response = std::make_shared<NSHTTPURLResponse>(
        operation->request()->URL(), refusal.status,
        NSHTTPHeaderFields{{"Content-Type", refusal.contentType},
                           {"Content-Length", std::to_string(refusal.length)}});
    std::optional<NSURLSessionResponseDisposition> disposition;
    operation->didReceiveResponse(nullptr, nullptr, response,
                                  [&](NSURLSessionResponseDisposition d) { disposition = d; });
    EXPECT_EQ(disposition, NSURLSessionResponseDisposition::Cancel);
    const std::string chunk(1024, 'x');
    for (int i = 0; i < 4; ++i) {
      operation->didReceiveData(nullptr, nullptr, NSData::dataWithBytes(chunk.data(), chunk.size()));
    }
    {
      std::lock_guard<std::mutex> lock(record->mutex);
      EXPECT_TRUE(record->progress.empty()) << record->progress.back().first << " bytes kept";
    }
    operation->didCompleteWithError(nullptr, nullptr,
                                    NSURLErrorMake(NSURLErrorCancelled, "", "cancelled"));
    ASSERT_TRUE(RunMainLoopUntil([&] { return record->finals() == 1; }));
    ASSERT_NE(record->error, nullptr);
    EXPECT_EQ(record->error->code(), refusal.code);
  }
}

TEST_F(OperationTest, APartialDecodeReadsTheWholeBodySoFarWhenItIsInPieces) {
  // A kilobyte, then eight megabytes: the second chunk does not fit the
  // first buffer, so the body so far lies in two pieces when the partial
  // decode it sets off reads it. Only the first piece starts with the image.
  const std::string png = il_test::PNGBody(5, 2);
  std::string body = png;
  body.resize((size_t{8} << 20) + 4096, '\0');
  auto operation = operationFor("/pieces.png", ILDownloadProgressive);
  operation->setMinimumProgressInterval(0.5);
  auto record = std::make_shared<DownloadRecord>();
  operation->addHandlersForProgress(record->progressBlock(), record->completedBlock());
  auto response = std::make_shared<NSHTTPURLResponse>(
      operation->request()->URL(), 200,
      NSHTTPHeaderFields{{"Content-Type", "image/png"},
                         {"Content-Length", std::to_string(body.size() + (size_t{4} << 20))}});
  operation->didReceiveResponse(nullptr, nullptr, response, [](NSURLSessionResponseDisposition) {});
  operation->didReceiveData(nullptr, nullptr, NSData::dataWithBytes(body.data(), 1024));
  operation->didReceiveData(nullptr, nullptr, NSData::dataWithBytes(body.data() + 1024, body.size() - 1024));
  ASSERT_TRUE(RunMainLoopUntil([&] {
    std::lock_guard<std::mutex> lock(record->mutex);
    return record->completions > 0;
  }));
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    EXPECT_EQ(record->finalCompletions, 0);
    ASSERT_NE(record->image, nullptr);
    EXPECT_EQ(record->image->size().width, 5);
  }
  operation->cancel();
}

TEST_F(OperationTest, TokensWithEqualDecodeOptionsAreEqual) {
  const Value options = Value::map({{"decodeScaleFactor", Value(2.0)}});
  ILRemoteImageDownloaderOperationToken a(nullptr, nullptr, options);
  ILRemoteImageDownloaderOperationToken b(nullptr, nullptr, options);
  ILRemoteImageDownloaderOperationToken c(nullptr, nullptr, Value());
  ILRemoteImageDownloaderOperationToken d(nullptr, nullptr, Value());
  EXPECT_TRUE(a.isEqual(b));
  EXPECT_FALSE(a.isEqual(c));
  EXPECT_FALSE(c.isEqual(d));
  EXPECT_TRUE(c.isEqual(c));
}

}  // namespace

}  // namespace operation_test
