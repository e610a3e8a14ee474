#include "NSError.h"

#include <cstring>

#include "Value.h"

const char* const NSLocalizedDescriptionKey = "NSLocalizedDescription";
const char* const NSUnderlyingErrorKey = "NSUnderlyingError";
const char* const NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
const char* const NSCocoaErrorDomain = "NSCocoaErrorDomain";

NSError::NSError(std::string domain, int64_t code) : NSError(std::move(domain), code, Value()) {}

NSError::NSError(std::string domain, int64_t code, Value userInfo)
    : domain_(std::move(domain)),
      code_(code),
      userInfo_(std::make_shared<const Value>(std::move(userInfo))) {}

std::shared_ptr<NSError> NSError::errorWithDomain(std::string domain, int64_t code) {
  return std::make_shared<NSError>(std::move(domain), code);
}

std::shared_ptr<NSError> NSError::errorWithDomain(std::string domain, int64_t code,
                                                  Value userInfo) {
  return std::make_shared<NSError>(std::move(domain), code, std::move(userInfo));
}

std::shared_ptr<NSError> NSError::errorWithDescription(std::string domain, int64_t code,
                                                       const std::string& description) {
  return errorWithDomain(std::move(domain), code,
                         Value::map({{NSLocalizedDescriptionKey, Value(description)}}));
}

std::shared_ptr<NSError> NSError::posixError(int err, const std::string& call) {
  return errorWithDescription(NSPOSIXErrorDomain, err, call + ": " + std::strerror(err));
}

std::string NSError::localizedDescription() const {
  if (const Value* d = userInfo_->find(NSLocalizedDescriptionKey); d && d->isString()) {
    return d->asString();
  }
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

bool NSError::isEqual(const NSObject& other) const {
  auto* e = dynamic_cast<const NSError*>(&other);
  return e && e->domain_ == domain_ && e->code_ == code_ && *e->userInfo_ == *userInfo_;
}

size_t NSError::hash() const { return std::hash<std::string>()(domain_) ^ static_cast<size_t>(code_); }

std::string NSError::description() const {
  return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
         localizedDescription() + "\"";
}
