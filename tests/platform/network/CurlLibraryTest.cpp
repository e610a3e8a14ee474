// libcurl is loaded when the first session is made: a missing library or
// function is reported by name and nothing of a failed load is handed out.
#include <gtest/gtest.h>

#include <string>

#include "platform/network/internal/CurlLibrary.h"
#include "support/TestEnvironment.h"

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
