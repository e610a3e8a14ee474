// libcurl is loaded when the first session is made: a missing library or
// function is reported by name and nothing of a failed load is handed out.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "SessionRecording.h"
#include "platform/network/NSURLError.h"
#include "platform/network/internal/CurlLibrary.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace curl_library_test {

using CurlLibraryTest = PlatformTest;

TEST_F(CurlLibraryTest, MissingLibrariesAndFunctionsAreNamed) {
  struct Case {
    const char* library;
    bool loads;
    std::string why;  // what the reason starts with
  } cases[] = {
      {"libcurl.so.4", true, ""},
      {"libqx-absent.so.1", false, "libqx-absent.so.1"},
      // A library that is there but is not curl: the first function is missed.
      {"libz.so.1", false, "libz.so.1 has no curl_easy_cleanup"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.library);
    CurlFunctions functions;
    std::string why;
    EXPECT_EQ(CurlResolve(c.library, functions, why), c.loads);
    EXPECT_EQ(why.substr(0, c.why.size()), c.why);
    EXPECT_EQ(functions.curl_easy_init != nullptr, c.loads);
    EXPECT_EQ(functions.curl_url_set != nullptr, c.loads);
  }
  std::string why;
  ASSERT_TRUE(CurlLoad(&why)) << why;
  EXPECT_NE(Curl().curl_getdate("Sun, 06 Nov 1994 08:49:37 GMT", nullptr), -1);
}

// In a process whose libcurl is not curl: two tasks, then the session
// invalidated; 0 when both tasks ended with the reason (written to stderr)
// and the session ended.
int RunTasksWithoutCurl() {
  auto queue = dispatch_queue_create("curl-less");
  auto delegate = std::make_shared<RecordingDelegate>(queue);
  // Never released: a session thread that does not stop must not hold the
  // process's end (it ends with _Exit, the verdict written).
  auto& session = *new NSURLSessionPtr(NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::defaultSessionConfiguration(), delegate, queue));
  auto& first = *new Outcome;
  auto& second = *new Outcome;
  session->dataTaskWithURL(NSURL::URLWithString("http://127.0.0.1:9/a"), first.handler())->resume();
  session->dataTaskWithURL(NSURL::URLWithString("http://127.0.0.1:9/b"), second.handler())
      ->resume();
  const bool ended = first.wait() && second.wait();
  session->finishTasksAndInvalidate();
  const bool invalid = delegate->waitFor(
      [&] { return !delegate->events.empty() && delegate->events.back() == "invalid"; });
  if (!ended || !first.error || !second.error) return 1;
  std::fputs(first.error->localizedDescription().c_str(), stderr);
  std::fflush(stderr);
  return invalid && first.error->code() == NSURLErrorUnknown ? 0 : 2;
}

// Without libcurl a session still runs: its tasks end with an error that
// says why, and it becomes invalid when asked. The library is taken away as
// on a system without it: another library under its name, first on the
// search path of a fresh process (the threadsafe death test starts one).
TEST_F(CurlLibraryTest, WithoutTheLibraryTasksEndWithTheReasonAndSessionsStillEnd) {
  TempFolder scratch;
  void* zlib = ::dlopen("libz.so.1", RTLD_LAZY);
  link_map* map = nullptr;
  ASSERT_TRUE(zlib && ::dlinfo(zlib, RTLD_DI_LINKMAP, &map) == 0);
  std::filesystem::copy_file(map->l_name, scratch.path() + "/libcurl.so.4");
  ::setenv("LD_LIBRARY_PATH", scratch.path().c_str(), 1);
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(RunTasksWithoutCurl()), ::testing::ExitedWithCode(0),
              "The network library cannot be loaded: .*libcurl.so.4");
  GTEST_FLAG_SET(death_test_style, style);
  ::unsetenv("LD_LIBRARY_PATH");
}

}  // namespace curl_library_test
