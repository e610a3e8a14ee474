#include <gtest/gtest.h>

#include "SessionRecording.h"
#include "platform/network/NSStringTransform.h"
#include "support/TestEnvironment.h"

namespace nsurl_session_challenge_test {

namespace {

using Disposition = NSURLSessionAuthChallengeDisposition;

class NSURLSessionChallengeTest : public SessionTest {
 protected:
  LoopbackHttpServer secure{LoopbackHttpServer::Transport::Https};
};

TEST_F(NSURLSessionChallengeTest, SelfSignedServerIsRefusedUntilTheDelegateTrustsIt) {
  secure.script("/image", {200, {{"Content-Type", "image/png"}}, "secret pixels"});

  auto refused = load(secure.url("/image"));
  ASSERT_NE(refused->error(), nullptr);
  EXPECT_EQ(refused->error()->domain(), NSURLErrorDomain);
  EXPECT_EQ(refused->error()->code(), NSURLErrorServerCertificateUntrusted);
  EXPECT_EQ(secure.requests().size(), 0u) << "nothing is sent to a server that is not trusted";
  ASSERT_EQ(delegate->challenges.size(), 1u);
  const auto& challenge = delegate->challenges[0];
  const auto& space = challenge->protectionSpace();
  EXPECT_EQ(space->authenticationMethod(), NSURLAuthenticationMethodServerTrust);
  EXPECT_EQ(space->host(), "127.0.0.1");
  EXPECT_EQ(space->port(), secure.port());
  EXPECT_EQ(space->protocol(), "https");
  EXPECT_TRUE(space->receivesCredentialSecurely());
  EXPECT_EQ(challenge->previousFailureCount(), 0);
  EXPECT_EQ(challenge->failureResponse(), nullptr);
  ASSERT_NE(space->serverTrust(), nullptr);
  ASSERT_FALSE(space->serverTrust()->certificates().empty());
  EXPECT_EQ(space->serverTrust()->certificates()[0], secure.certificate());
  EXPECT_FALSE(space->serverTrust()->evaluationFailure().empty());

  delegate->onChallenge = [](const NSURLAuthenticationChallengePtr& challenge, NSURLSessionChallengeHandler& handler) {
    handler(Disposition::UseCredential, NSURLCredential::credentialForTrust(challenge->protectionSpace()->serverTrust()));
  };
  auto trusted = load(secure.url("/image"));
  EXPECT_EQ(trusted->error(), nullptr);
  EXPECT_EQ(delegate->body, "secret pixels");
  EXPECT_EQ(secure.requests().size(), 1u);
  ASSERT_EQ(delegate->metrics.size(), 2u);
  const auto& transactions = delegate->metrics[1]->transactionMetrics();
  ASSERT_EQ(transactions.size(), 2u) << "the refused handshake, then the trusted load";
  EXPECT_EQ(transactions[0].response, nullptr);
  EXPECT_TRUE(transactions[1].secureConnectionStartDate.has_value());
  EXPECT_EQ(transactions[1].response->statusCode(), 200);

  // The trust was this task's: the next one is asked again, and refused.
  delegate->onChallenge = nullptr;
  auto again = load(secure.url("/image"));
  ASSERT_NE(again->error(), nullptr);
  EXPECT_EQ(again->error()->code(), NSURLErrorServerCertificateUntrusted);
  EXPECT_EQ(delegate->challenges.size(), 3u);
  EXPECT_EQ(secure.requests().size(), 1u);
}

// The answer comes late, after another task has had the refused attempt's
// handle and ended: the trusted attempt's handshake reports to its own task
// (a memory checker sees a write to the ended one's record otherwise).
TEST_F(NSURLSessionChallengeTest, ATrustGivenAfterAnotherTransferStillLoads) {
  secure.script("/image", {200, {}, "secret pixels"});
  server.script("/plain", {200, {}, "plain"});
  std::mutex mutex;
  std::condition_variable asked;
  NSURLSessionChallengeHandler answer;
  SecTrustRef trust;
  delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr& challenge, NSURLSessionChallengeHandler& handler) {
    std::lock_guard<std::mutex> lock(mutex);
    trust = challenge->protectionSpace()->serverTrust();
    answer = std::move(handler);
    asked.notify_all();
  };
  auto task = session->dataTaskWithURL(NSURL::URLWithString(secure.url("/image")));
  task->resume();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(asked.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds), [&] { return trust != nullptr; }));
  }
  EXPECT_EQ(load(server.url("/plain"))->error(), nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex);
    answer(Disposition::UseCredential, NSURLCredential::credentialForTrust(trust));
  }
  ASSERT_TRUE(delegate->waitForCompletions(2));
  delegate->drain();
  EXPECT_EQ(task->error(), nullptr);
  EXPECT_EQ(delegate->body, "plainsecret pixels");
}

TEST_F(NSURLSessionChallengeTest, TrustAnswersOtherThanThisServersKeyFail) {
  secure.script("/image", {200, {}, "pixels"});
  LoopbackHttpServer other{LoopbackHttpServer::Transport::Https};
  other.script("/image", {200, {}, "other"});

  // Learn the other server's trust, then offer it for this one.
  SecTrustRef otherTrust;
  delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr& challenge, NSURLSessionChallengeHandler& handler) {
    otherTrust = challenge->protectionSpace()->serverTrust();
    handler(Disposition::PerformDefaultHandling, nullptr);
  };
  load(other.url("/image"));
  ASSERT_NE(otherTrust, nullptr);

  struct Case {
    Disposition disposition;
    NSURLCredentialPtr credential;
    int64_t code;
  };
  for (const Case& c : {Case{Disposition::UseCredential, NSURLCredential::credentialForTrust(otherTrust),
                             NSURLErrorServerCertificateUntrusted},
                        Case{Disposition::UseCredential, nullptr, NSURLErrorServerCertificateUntrusted},
                        Case{Disposition::RejectProtectionSpace, nullptr, NSURLErrorServerCertificateUntrusted},
                        Case{Disposition::CancelAuthenticationChallenge, nullptr, NSURLErrorCancelled}}) {
    delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr&, NSURLSessionChallengeHandler& handler) {
      handler(c.disposition, c.credential);
    };
    auto task = load(secure.url("/image"));
    ASSERT_NE(task->error(), nullptr) << static_cast<int>(c.disposition);
    EXPECT_EQ(task->error()->code(), c.code) << static_cast<int>(c.disposition);
  }
  EXPECT_EQ(secure.requests().size(), 0u);
  EXPECT_EQ(delegate->body, "");
}

TEST_F(NSURLSessionChallengeTest, BasicCredentialsAreAskedForWithTheFailureCount) {
  ScriptedResponse guarded(200, {}, "album");
  guarded.basicUserPassword = std::make_pair("ann", "s3cret");
  guarded.realm = "photos";
  server.script("/album", guarded);

  std::vector<int64_t> failureCounts;
  std::vector<std::string> proposedUsers;
  delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr& challenge, NSURLSessionChallengeHandler& handler) {
    failureCounts.push_back(challenge->previousFailureCount());
    proposedUsers.push_back(challenge->proposedCredential() ? *challenge->proposedCredential()->user() : "");
    const char* password = challenge->previousFailureCount() == 0 ? "wrong" : "s3cret";
    handler(Disposition::UseCredential,
            NSURLCredential::credentialWithUser("ann", password, NSURLCredentialPersistence::ForSession));
  };
  auto task = load(server.url("/album"));
  EXPECT_EQ(task->error(), nullptr);
  EXPECT_EQ(task->response()->statusCode(), 200);
  EXPECT_EQ(delegate->body, "album");
  EXPECT_EQ(failureCounts, (std::vector<int64_t>{0, 1}));
  EXPECT_EQ(proposedUsers, (std::vector<std::string>{"", "ann"}));
  ASSERT_EQ(delegate->challenges.size(), 2u);
  const auto& space = delegate->challenges[0]->protectionSpace();
  EXPECT_EQ(space->authenticationMethod(), NSURLAuthenticationMethodHTTPBasic);
  EXPECT_EQ(space->realm(), "photos");
  EXPECT_EQ(space->protocol(), "http");
  EXPECT_FALSE(space->receivesCredentialSecurely());
  EXPECT_EQ(delegate->challenges[1]->failureResponse()->statusCode(), 401);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].headers.count("Authorization"), 0u);
  EXPECT_EQ(requests[2].headers["Authorization"], "Basic YW5uOnMzY3JldA==");
  ASSERT_EQ(delegate->metrics.size(), 1u);
  EXPECT_EQ(delegate->metrics[0]->transactionMetrics().size(), 3u);
}

TEST_F(NSURLSessionChallengeTest, BasicDispositionsOtherThanACredential) {
  ScriptedResponse guarded(200, {}, "album");
  guarded.basicUserPassword = std::make_pair("ann", "s3cret");
  server.script("/album", guarded);

  // Default handling and rejection leave the 401 as the answer, body and all.
  for (Disposition disposition : {Disposition::PerformDefaultHandling, Disposition::RejectProtectionSpace,
                                  Disposition::UseCredential}) {
    delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr&, NSURLSessionChallengeHandler& handler) {
      handler(disposition, nullptr);
    };
    delegate->body.clear();
    auto task = load(server.url("/album"));
    EXPECT_EQ(task->error(), nullptr);
    ASSERT_NE(task->response(), nullptr);
    EXPECT_EQ(task->response()->statusCode(), 401);
    EXPECT_EQ(delegate->body, "who are you?");
  }
  delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr&, NSURLSessionChallengeHandler& handler) {
    handler(Disposition::CancelAuthenticationChallenge, nullptr);
  };
  auto cancelled = load(server.url("/album"));
  ASSERT_NE(cancelled->error(), nullptr);
  EXPECT_EQ(cancelled->error()->code(), NSURLErrorCancelled);

  // A delegate that keeps offering a refused credential is not asked for ever.
  delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr&, NSURLSessionChallengeHandler& handler) {
    handler(Disposition::UseCredential, NSURLCredential::credentialWithUser("ann", "no", NSURLCredentialPersistence::None));
  };
  size_t before = delegate->challenges.size();
  auto stubborn = load(server.url("/album"));
  EXPECT_EQ(stubborn->response()->statusCode(), 401);
  EXPECT_LE(delegate->challenges.size() - before, 10u);
}

TEST_F(NSURLSessionChallengeTest, OnlyBasicAmongTheOfferedSchemesIsAskedAbout) {
  server.script("/mixed", {401,
                           {{"WWW-Authenticate",
                             "Bearer realm=\"api\", error=\"invalid_token\", Basic realm=\"photos, 2nd floor\""}},
                           "no"});
  server.script("/bearer", {401, {{"WWW-Authenticate", "Bearer realm=\"basic\", scope=\"basic\""}}, "no"});
  server.script("/bare", {401, {{"WWW-Authenticate", "Basic"}}, "no"});
  for (const char* path : {"/mixed", "/bearer", "/bare"}) {
    auto task = load(server.url(path));
    EXPECT_EQ(task->response()->statusCode(), 401) << path;
  }
  ASSERT_EQ(delegate->challenges.size(), 2u) << "a Bearer-only 401 asks nothing";
  EXPECT_EQ(delegate->challenges[0]->protectionSpace()->realm(), "photos, 2nd floor");
  EXPECT_EQ(delegate->challenges[1]->protectionSpace()->realm(), std::nullopt);
}

TEST_F(NSURLSessionChallengeTest, CompletionHandlerTasksStillAskTheDelegate) {
  secure.script("/data", {200, {}, "payload"});
  delegate->onChallenge = [](const NSURLAuthenticationChallengePtr& challenge, NSURLSessionChallengeHandler& handler) {
    handler(Disposition::UseCredential, NSURLCredential::credentialForTrust(challenge->protectionSpace()->serverTrust()));
  };
  Outcome outcome;
  session->dataTaskWithURL(NSURL::URLWithString(secure.url("/data")), outcome.handler())->resume();
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.error, nullptr);
  EXPECT_EQ(outcome.text(), "payload");

  // The shared session has no delegate to ask: the server stays untrusted.
  Outcome shared;
  NSURLSession::sharedSession()->dataTaskWithURL(NSURL::URLWithString(secure.url("/data")), shared.handler())->resume();
  ASSERT_TRUE(shared.wait());
  ASSERT_NE(shared.error, nullptr);
  EXPECT_EQ(shared.error->code(), NSURLErrorServerCertificateUntrusted);
}

TEST_F(NSURLSessionChallengeTest, RedirectionsGoThroughTheDelegate) {
  server.script("/old", {302, {{"Location", "/new"}}, "moved"});
  server.script("/new", {200, {}, "here"});
  server.script("/elsewhere", {200, {}, "there"});

  auto followed = load(server.url("/old"));
  EXPECT_EQ(delegate->body, "here");
  ASSERT_EQ(delegate->redirects.size(), 1u);
  EXPECT_EQ(delegate->redirects[0].first->statusCode(), 302);
  EXPECT_EQ(delegate->redirects[0].second->URL()->absoluteString(), server.url("/new"));
  EXPECT_EQ(followed->originalRequest()->URL()->absoluteString(), server.url("/old"));
  EXPECT_EQ(followed->currentRequest()->URL()->absoluteString(), server.url("/new"));
  EXPECT_EQ(delegate->metrics.back()->redirectCount(), 1);
  EXPECT_EQ(delegate->metrics.back()->transactionMetrics().size(), 2u);

  delegate->body.clear();
  delegate->onRedirect = [](const NSURLRequestPtr&) { return NSURLRequestPtr(); };
  auto stopped = load(server.url("/old"));
  EXPECT_EQ(stopped->error(), nullptr);
  EXPECT_EQ(stopped->response()->statusCode(), 302);
  EXPECT_EQ(delegate->body, "moved");

  delegate->body.clear();
  delegate->onRedirect = [&](const NSURLRequestPtr&) {
    return NSURLRequest::requestWithURL(NSURL::URLWithString(server.url("/elsewhere")));
  };
  load(server.url("/old"));
  EXPECT_EQ(delegate->body, "there");
  EXPECT_EQ(server.requestCount("/new"), 1u);

  // A redirect status without a place to go is the answer itself.
  server.script("/nowhere", {302, {}, "stay"});
  delegate->body.clear();
  size_t asked = delegate->redirects.size();
  auto stayed = load(server.url("/nowhere"));
  EXPECT_EQ(stayed->response()->statusCode(), 302);
  EXPECT_EQ(delegate->body, "stay");
  EXPECT_EQ(delegate->redirects.size(), asked);
}

TEST_F(NSURLSessionChallengeTest, RedirectsKeepTheirMethodsAndCredentialsStayWithTheirServer) {
  // Which method each redirect status carries on a POST, and whether it is
  // followed at all.
  server.script("/target", {200, {}, "landed"});
  for (int status : {300, 301, 302, 303, 307, 308}) {
    server.script("/" + std::to_string(status), {status, {{"Location", "/target"}}, "moved"});
  }
  struct Case {
    int status;
    const char* method;  // at the target; null when not followed
  };
  for (const Case& c : {Case{300, nullptr}, Case{301, "GET"}, Case{302, "GET"}, Case{303, "GET"},
                        Case{307, "POST"}, Case{308, "POST"}}) {
    auto post = NSMutableURLRequest::requestWithURL(
        NSURL::URLWithString(server.url("/" + std::to_string(c.status))));
    post->setHTTPMethod("POST");
    const size_t before = server.requests().size();
    auto task = load(post);
    auto requests = server.requests();
    if (!c.method) {
      EXPECT_EQ(task->response()->statusCode(), c.status);
      EXPECT_EQ(requests.size(), before + 1) << c.status;
      continue;
    }
    EXPECT_EQ(task->response()->statusCode(), 200) << c.status;
    ASSERT_EQ(requests.size(), before + 2) << c.status;
    EXPECT_EQ(requests.back().path, "/target");
    EXPECT_EQ(requests.back().method, c.method) << c.status;
  }

  // Credentials, the session's own or set by hand, go to the server they
  // were meant for and not to another one a redirect names.
  LoopbackHttpServer other;
  other.script("/open", {200, {}, "open"});
  ScriptedResponse guarded(302, {{"Location", other.url("/open")}}, "");
  guarded.basicUserPassword = std::make_pair("ann", "s3cret");
  server.script("/guarded", guarded);
  delegate->onChallenge = [](const NSURLAuthenticationChallengePtr&, NSURLSessionChallengeHandler& handler) {
    handler(Disposition::UseCredential,
            NSURLCredential::credentialWithUser("ann", "s3cret", NSURLCredentialPersistence::ForSession));
  };
  auto viaChallenge = load(server.url("/guarded"));
  EXPECT_EQ(viaChallenge->response()->statusCode(), 200);
  EXPECT_EQ(server.requests().back().headers["Authorization"], "Basic YW5uOnMzY3JldA==");

  server.script("/hop", {302, {{"Location", other.url("/open")}}, ""});
  server.script("/stay", {302, {{"Location", "/target"}}, ""});
  for (const char* path : {"/hop", "/stay"}) {
    auto byHand = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(server.url(path)));
    byHand->setValueForHTTPHeaderField("Bearer t0ken", "Authorization");
    byHand->setValueForHTTPHeaderField("session=1", "Cookie");
    byHand->setHTTPShouldHandleCookies(false);
    EXPECT_EQ(load(byHand)->response()->statusCode(), 200);
  }
  auto elsewhere = other.requests();
  ASSERT_EQ(elsewhere.size(), 2u);
  for (const auto& request : elsewhere) {
    EXPECT_EQ(request.headers.count("Authorization"), 0u);
    EXPECT_EQ(request.headers.count("Cookie"), 0u);
  }
  // A redirect within the same server keeps what the caller set.
  auto home = server.requests().back();
  EXPECT_EQ(home.path, "/target");
  EXPECT_EQ(home.headers["Authorization"], "Bearer t0ken");
  EXPECT_EQ(home.headers["Cookie"], "session=1");
}

using NSStringTransformTest = PlatformTest;

TEST_F(NSStringTransformTest, TransliteratesToAsciiAndRefusesWhatItCannotRead) {
  EXPECT_EQ(NSStringByApplyingTransform("Fotoalbum Äpfel Ωmega 写真", "Any-Latin; Latin-ASCII; [:^ASCII:] Remove"),
            "Fotoalbum Apfel Omega xie zhen");
  EXPECT_EQ(NSStringByApplyingTransform("plain", "Any-Latin; Latin-ASCII; [:^ASCII:] Remove"), "plain");
  EXPECT_EQ(NSStringByApplyingTransform("text", "Not-A-Transform"), std::nullopt);
  EXPECT_EQ(NSStringByApplyingTransform(std::string("bad \xff byte"), "Any-Latin"), std::nullopt);
}

}  // namespace

}  // namespace nsurl_session_challenge_test
