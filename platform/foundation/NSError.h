#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "NSObject.h"
#include "ValueFwd.h"

extern const char* const NSLocalizedDescriptionKey;
extern const char* const NSUnderlyingErrorKey;
extern const char* const NSPOSIXErrorDomain;
extern const char* const NSCocoaErrorDomain;

class NSError : public NSObject {
 public:
  NSError(std::string domain, int64_t code);
  NSError(std::string domain, int64_t code, Value userInfo);
  static std::shared_ptr<NSError> errorWithDomain(std::string domain, int64_t code);
  static std::shared_ptr<NSError> errorWithDomain(std::string domain, int64_t code,
                                                  Value userInfo);
  // An error whose user info holds only a localized description.
  static std::shared_ptr<NSError> errorWithDescription(std::string domain, int64_t code,
                                                       const std::string& description);
  // POSIX-domain error for errno, describing the failed call.
  static std::shared_ptr<NSError> posixError(int err, const std::string& call);

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const Value& userInfo() const { return *userInfo_; }
  // The user info's description, or "The operation couldn't be completed.
  // (<domain> error <code>.)" as the platform words it.
  std::string localizedDescription() const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  std::string domain_;
  int64_t code_;
  // Never null; held apart so this header does not need Value's definition.
  std::shared_ptr<const Value> userInfo_;
};

using NSErrorPtr = std::shared_ptr<NSError>;
