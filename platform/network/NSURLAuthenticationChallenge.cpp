#include "platform/network/NSURLAuthenticationChallenge.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>

const char* const NSURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
const char* const NSURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
const char* const NSURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

namespace {

// curl's pinned-key form: the SHA-256 of the DER SubjectPublicKeyInfo.
std::string publicKeyPin(const Bytes& certificateDer) {
  const unsigned char* at = certificateDer.data();
  X509* certificate = d2i_X509(nullptr, &at, static_cast<long>(certificateDer.size()));
  if (!certificate) return "";
  unsigned char* key = nullptr;
  int keyLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &key);
  X509_free(certificate);
  if (keyLength <= 0) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  bool hashed = EVP_Digest(key, static_cast<size_t>(keyLength), digest, &digestLength, EVP_sha256(), nullptr);
  OPENSSL_free(key);
  return hashed ? "sha256//" + Base64Encode(digest, digestLength) : "";
}

}  // namespace

SecTrust::SecTrust(std::string host, std::vector<Bytes> certificates, std::string evaluationFailure)
    : host_(std::move(host)), certificates_(std::move(certificates)), evaluationFailure_(std::move(evaluationFailure)) {
  if (!certificates_.empty()) pin_ = publicKeyPin(certificates_.front());
}

NSURLCredentialPtr NSURLCredential::credentialWithUser(const std::string& user, const std::string& password,
                                                       NSURLCredentialPersistence persistence) {
  auto credential = std::make_shared<NSURLCredential>();
  credential->user_ = user;
  credential->password_ = password;
  credential->persistence_ = persistence;
  return credential;
}

NSURLCredentialPtr NSURLCredential::credentialForTrust(const SecTrustRef& trust) {
  if (!trust) return nullptr;
  auto credential = std::make_shared<NSURLCredential>();
  credential->trust_ = trust;
  credential->persistence_ = NSURLCredentialPersistence::ForSession;
  return credential;
}

std::string NSURLCredential::description() const {
  if (trust_) return "<NSURLCredential trust for " + trust_->host() + ">";
  return "<NSURLCredential user " + user_.value_or("(null)") + ">";
}

NSURLProtectionSpace::NSURLProtectionSpace(std::string host, int64_t port, std::string protocol,
                                           std::optional<std::string> realm, std::string authenticationMethod,
                                           SecTrustRef serverTrust)
    : host_(std::move(host)),
      port_(port),
      protocol_(std::move(protocol)),
      realm_(std::move(realm)),
      method_(std::move(authenticationMethod)),
      trust_(std::move(serverTrust)) {}

bool NSURLProtectionSpace::isEqual(const NSObject& other) const {
  auto* space = dynamic_cast<const NSURLProtectionSpace*>(&other);
  return space && space->host_ == host_ && space->port_ == port_ && space->protocol_ == protocol_ &&
         space->realm_ == realm_ && space->method_ == method_;
}

size_t NSURLProtectionSpace::hash() const {
  return std::hash<std::string>()(host_) ^ (std::hash<int64_t>()(port_) << 1) ^ std::hash<std::string>()(method_);
}

NSURLAuthenticationChallenge::NSURLAuthenticationChallenge(NSURLProtectionSpacePtr space,
                                                           NSURLCredentialPtr proposedCredential,
                                                           int64_t previousFailureCount,
                                                           NSHTTPURLResponsePtr failureResponse)
    : space_(std::move(space)),
      proposed_(std::move(proposedCredential)),
      failures_(previousFailureCount),
      failureResponse_(std::move(failureResponse)) {}
