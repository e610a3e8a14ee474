// The least progress step between two reports: a step exactly as large as
// the interval is reported, and the interval stays a fraction.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "DownloaderTestSupport.h"
#include "image_loading/downloader/ILRemoteImageDownloaderOperation.h"
#include "platform/foundation/NSData.h"
#include "platform/network/NSURLRequest.h"
#include "support/TestEnvironment.h"

namespace boundaries_test {

namespace {

class DownloaderBoundariesTest : public PlatformTest {};

TEST_F(DownloaderBoundariesTest, ProgressStepsOfExactlyTheIntervalAreReported) {
  constexpr int64_t kChunk = 100, kLength = 4 * kChunk;
  struct Row {
    double interval;
    std::vector<int64_t> reported;  // bytes received at each report
  } rows[] = {
      {0.25, {0, 100, 200, 300, 400}},  // every quarter is exactly the step
      {0.2499, {0, 100, 200, 300, 400}},
      {0.2501, {0, 200, 400}},  // a quarter falls short; the end always counts
      {0.0, {0, 100, 200, 300, 400}},
      {1.0, {0, 400}},
  };
  for (const Row& r : rows) {
    auto request = NSURLRequest::requestWithURL(NSURL::URLWithString("http://127.0.0.1:9/a.png"));
    auto operation =
        std::make_shared<ILRemoteImageDownloaderOperation>(request, nullptr, 0, Value());
    operation->setMinimumProgressInterval(r.interval);
    auto record = std::make_shared<il_test::DownloadRecord>();
    operation->addHandlersForProgress(record->progressBlock(), record->completedBlock());
    auto response = std::make_shared<NSHTTPURLResponse>(
        request->URL(), 200,
        NSHTTPHeaderFields{{"Content-Type", "image/png"},
                           {"Content-Length", std::to_string(kLength)}});
    operation->didReceiveResponse(nullptr, nullptr, response,
                                  [](NSURLSessionResponseDisposition) {});
    const std::string chunk(kChunk, 'x');
    for (int i = 0; i < 4; ++i) {
      operation->didReceiveData(nullptr, nullptr,
                                NSData::dataWithBytes(chunk.data(), chunk.size()));
    }
    drainMainLoop();
    std::vector<int64_t> reported;
    {
      std::lock_guard<std::mutex> lock(record->mutex);
      for (const auto& [received, expected] : record->progress) {
        EXPECT_EQ(expected, kLength);
        reported.push_back(received);
      }
    }
    EXPECT_EQ(reported, r.reported) << r.interval;
    operation->cancel();
    drainMainLoop();
  }
}

TEST_F(DownloaderBoundariesTest, TheProgressIntervalIsAFraction) {
  struct Row {
    double set, read;
  } rows[] = {{-0.5, 0},
              {0, 0},
              {0.5, 0.5},
              {1, 1},
              {1.5, 1},
              {std::numeric_limits<double>::quiet_NaN(), 0},
              {std::numeric_limits<double>::infinity(), 0}};
  auto request = NSURLRequest::requestWithURL(NSURL::URLWithString("http://127.0.0.1:9/a.png"));
  auto operation = std::make_shared<ILRemoteImageDownloaderOperation>(request, nullptr, 0, Value());
  for (const Row& r : rows) {
    operation->setMinimumProgressInterval(r.set);
    EXPECT_EQ(operation->minimumProgressInterval(), r.read) << r.set;
  }
}

}  // namespace

}  // namespace boundaries_test
