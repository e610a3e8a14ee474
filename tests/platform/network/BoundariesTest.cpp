// Count limits of URL loading met exactly and passed by one: redirects
// followed, Basic credentials asked for, and the timeout a request keeps.

#include <gtest/gtest.h>

#include <string>

#include "SessionRecording.h"
#include "platform/network/NSURLError.h"
#include "support/TestEnvironment.h"

namespace boundaries_test {

namespace {

using Disposition = NSURLSessionAuthChallengeDisposition;

class NetworkBoundariesTest : public SessionTest {};

TEST_F(NetworkBoundariesTest, SixteenRedirectsAreFollowedAndTheSeventeenthFails) {
  struct Row {
    int redirects;
    bool loads;
  } rows[] = {{15, true}, {16, true}, {17, false}};
  for (const Row& r : rows) {
    const std::string prefix = "/chain" + std::to_string(r.redirects) + "-";
    for (int i = 0; i < r.redirects; ++i) {
      server.script(prefix + std::to_string(i),
                    {302, {{"Location", prefix + std::to_string(i + 1)}}, "moved"});
    }
    server.script(prefix + std::to_string(r.redirects), {200, {}, "arrived"});
    delegate->body.clear();
    auto task = load(server.url(prefix + "0"));
    if (r.loads) {
      EXPECT_EQ(task->error(), nullptr) << r.redirects;
      EXPECT_EQ(delegate->body, "arrived") << r.redirects;
    } else {
      ASSERT_NE(task->error(), nullptr) << r.redirects;
      EXPECT_EQ(task->error()->code(), NSURLErrorHTTPTooManyRedirects);
      EXPECT_EQ(server.requestCount(prefix + std::to_string(r.redirects)), 0u);
    }
  }
}

TEST_F(NetworkBoundariesTest, BasicCredentialsAreAskedForAtMostEightTimes) {
  ScriptedResponse guarded(200, {}, "album");
  guarded.basicUserPassword = std::make_pair("ann", "s3cret");
  server.script("/album", guarded);
  struct Row {
    int rightAt;  // the challenge, counted from 1, answered with the right password
    int asked;
    int status;
  } rows[] = {{7, 7, 200}, {8, 8, 200}, {9, 8, 401}};
  for (const Row& r : rows) {
    int asked = 0;
    delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr&,
                                NSURLSessionChallengeHandler& handler) {
      ++asked;
      handler(Disposition::UseCredential,
              NSURLCredential::credentialWithUser("ann", asked == r.rightAt ? "s3cret" : "wrong",
                                                  NSURLCredentialPersistence::None));
    };
    auto task = load(server.url("/album"));
    ASSERT_NE(task->response(), nullptr) << r.rightAt;
    EXPECT_EQ(task->response()->statusCode(), r.status) << r.rightAt;
    EXPECT_EQ(asked, r.asked) << r.rightAt;
  }
}

TEST_F(NetworkBoundariesTest, OnlyAPositiveTimeoutIsKept) {
  struct Row {
    double set, kept;
  } rows[] = {{0, 60}, {-1, 60}, {0.001, 0.001}, {1, 1}, {60, 60}};
  for (const Row& r : rows) {
    auto url = NSURL::URLWithString("http://127.0.0.1/");
    auto made = std::make_shared<NSMutableURLRequest>(
        url, NSURLRequestCachePolicy::UseProtocolCachePolicy, r.set);
    EXPECT_EQ(made->timeoutInterval(), r.kept) << r.set;
    auto changed = NSMutableURLRequest::requestWithURL(url);
    changed->setTimeoutInterval(r.set);
    EXPECT_EQ(changed->timeoutInterval(), r.kept) << r.set;
  }
}

}  // namespace

}  // namespace boundaries_test
