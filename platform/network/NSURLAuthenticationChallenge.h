#pragma once

// Authentication as the URL loading system asks a delegate about it: the
// space that asks (a host's realm, or the server's certificate chain), the
// credential a delegate answers with, and the challenge tying them together.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/network/NSURLRequest.h"

extern const char* const NSURLAuthenticationMethodDefault;
extern const char* const NSURLAuthenticationMethodHTTPBasic;
extern const char* const NSURLAuthenticationMethodServerTrust;

enum class NSURLCredentialPersistence { None = 0, ForSession = 1, Permanent = 2, Synchronizable = 3 };

// A server's certificate chain as it offered it in the TLS handshake, with
// the verdict of the system's evaluation.
class SecTrust : public NSObject {
 public:
  SecTrust(std::string host, std::vector<Bytes> certificates, std::string evaluationFailure);

  const std::string& host() const { return host_; }
  // DER encoded, the server's own certificate first.
  const std::vector<Bytes>& certificates() const { return certificates_; }
  // Why the system did not trust the chain; empty when it did.
  const std::string& evaluationFailure() const { return evaluationFailure_; }
  // "sha256//<base64>" of the leaf's public key; empty without a readable leaf.
  const std::string& leafPublicKeyPin() const { return pin_; }

 private:
  std::string host_;
  std::vector<Bytes> certificates_;
  std::string evaluationFailure_;
  std::string pin_;
};
using SecTrustRef = std::shared_ptr<SecTrust>;

class NSURLCredential;
using NSURLCredentialPtr = std::shared_ptr<NSURLCredential>;

class NSURLCredential : public NSObject {
 public:
  static NSURLCredentialPtr credentialWithUser(const std::string& user, const std::string& password,
                                               NSURLCredentialPersistence persistence);
  // Accepts exactly this chain for the connection it was offered on.
  static NSURLCredentialPtr credentialForTrust(const SecTrustRef& trust);

  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& password() const { return password_; }
  bool hasPassword() const { return password_.has_value(); }
  NSURLCredentialPersistence persistence() const { return persistence_; }
  const SecTrustRef& serverTrust() const { return trust_; }

  std::string description() const override;

 private:
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  NSURLCredentialPersistence persistence_ = NSURLCredentialPersistence::None;
  SecTrustRef trust_;
};

class NSURLProtectionSpace;
using NSURLProtectionSpacePtr = std::shared_ptr<NSURLProtectionSpace>;

class NSURLProtectionSpace : public NSObject {
 public:
  NSURLProtectionSpace(std::string host, int64_t port, std::string protocol,
                       std::optional<std::string> realm, std::string authenticationMethod,
                       SecTrustRef serverTrust = nullptr);

  const std::string& host() const { return host_; }
  int64_t port() const { return port_; }
  // "http" or "https".
  const std::string& protocol() const { return protocol_; }
  const std::optional<std::string>& realm() const { return realm_; }
  const std::string& authenticationMethod() const { return method_; }
  bool receivesCredentialSecurely() const { return protocol_ == "https"; }
  // Set for the server-trust method only.
  const SecTrustRef& serverTrust() const { return trust_; }

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;

 private:
  std::string host_;
  int64_t port_;
  std::string protocol_;
  std::optional<std::string> realm_;
  std::string method_;
  SecTrustRef trust_;
};

class NSURLAuthenticationChallenge;
using NSURLAuthenticationChallengePtr = std::shared_ptr<NSURLAuthenticationChallenge>;

class NSURLAuthenticationChallenge : public NSObject {
 public:
  NSURLAuthenticationChallenge(NSURLProtectionSpacePtr space, NSURLCredentialPtr proposedCredential,
                               int64_t previousFailureCount, NSHTTPURLResponsePtr failureResponse);

  const NSURLProtectionSpacePtr& protectionSpace() const { return space_; }
  // The credential tried last, when one failed.
  const NSURLCredentialPtr& proposedCredential() const { return proposed_; }
  // How many credentials this task has already had refused for the space.
  int64_t previousFailureCount() const { return failures_; }
  // The response that asked for credentials (the 401); null for server trust.
  const NSHTTPURLResponsePtr& failureResponse() const { return failureResponse_; }

 private:
  NSURLProtectionSpacePtr space_;
  NSURLCredentialPtr proposed_;
  int64_t failures_;
  NSHTTPURLResponsePtr failureResponse_;
};
