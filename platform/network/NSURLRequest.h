#pragma once

// URL requests as the loading system takes them, and the HTTP responses it
// answers. Header names compare without regard to case, as HTTP has it.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"

enum class NSURLRequestCachePolicy {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
  ReturnCacheDataElseLoad = 2,
  ReturnCacheDataDontLoad = 3,
};

// ASCII case folding only: field names are tokens, and the order must not
// depend on the process's locale.
struct NSHTTPHeaderNameLess {
  bool operator()(std::string_view a, std::string_view b) const;
};
using NSHTTPHeaderFields = std::map<std::string, std::string, NSHTTPHeaderNameLess>;
// Fields that requests share: handing them to a request costs a reference,
// not a copy of the map.
using NSHTTPHeaderFieldsPtr = std::shared_ptr<const NSHTTPHeaderFields>;

class NSURLRequest;
class NSMutableURLRequest;
using NSURLRequestPtr = std::shared_ptr<NSURLRequest>;
using NSMutableURLRequestPtr = std::shared_ptr<NSMutableURLRequest>;

class NSURLRequest : public NSObject {
 public:
  static constexpr double kDefaultTimeoutInterval = 60.0;

  explicit NSURLRequest(NSURLPtr url,
                        NSURLRequestCachePolicy cachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy,
                        double timeoutInterval = kDefaultTimeoutInterval);
  static NSURLRequestPtr requestWithURL(NSURLPtr url);

  const NSURLPtr& URL() const { return url_; }
  // Upper case; "GET" unless set.
  const std::string& HTTPMethod() const { return method_; }
  // A reference taken before a change to this request's fields may show
  // the fields as they were.
  const NSHTTPHeaderFields& allHTTPHeaderFields() const { return *headers_; }
  // The same fields, shared: a copy of this request's fields at no cost.
  NSHTTPHeaderFieldsPtr sharedHTTPHeaderFields() const;
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
  // Seconds without progress before the load fails as timed out.
  double timeoutInterval() const { return timeout_; }
  NSURLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  bool HTTPShouldHandleCookies() const { return handleCookies_; }
  // A hint only: HTTP/1.1 pipelining is not used, HTTP/2 multiplexes anyway.
  bool HTTPShouldUsePipelining() const { return pipelining_; }

  NSMutableURLRequestPtr mutableCopy() const;
  std::string description() const override;

 protected:
  NSURLPtr url_;
  std::string method_ = "GET";
  // Never null. Copies of a request share the map until one of them
  // changes it; the one that changes it writes its own.
  NSHTTPHeaderFieldsPtr headers_;
  // Whether anything besides this request may hold headers_; set once it
  // is handed out, cleared when a change makes the map this request's own.
  mutable std::atomic<bool> headersShared_{true};
  double timeout_;
  NSURLRequestCachePolicy cachePolicy_;
  bool handleCookies_ = true;
  bool pipelining_ = false;
};

class NSMutableURLRequest : public NSURLRequest {
 public:
  using NSURLRequest::NSURLRequest;
  static NSMutableURLRequestPtr requestWithURL(NSURLPtr url);

  void setURL(NSURLPtr url) { url_ = std::move(url); }
  void setHTTPMethod(const std::string& method);
  // Replaces the field; nullopt removes it.
  void setValueForHTTPHeaderField(std::optional<std::string> value, const std::string& field);
  // Appends to an existing field with ", ", as HTTP combines repeated fields.
  void addValueForHTTPHeaderField(const std::string& value, const std::string& field);
  void setAllHTTPHeaderFields(NSHTTPHeaderFields fields);
  // Shares the fields; null means none. Changes to this request's fields
  // afterwards leave `fields` as it is.
  void setAllHTTPHeaderFields(NSHTTPHeaderFieldsPtr fields);
  // A value of 0 or below means the default.
  void setTimeoutInterval(double seconds);
  void setCachePolicy(NSURLRequestCachePolicy policy) { cachePolicy_ = policy; }
  void setHTTPShouldHandleCookies(bool handle) { handleCookies_ = handle; }
  void setHTTPShouldUsePipelining(bool pipelining) { pipelining_ = pipelining; }

 private:
  // The fields to change in place, made this request's own first.
  NSHTTPHeaderFields& ownHeaders();
};

class NSHTTPURLResponse;
using NSHTTPURLResponsePtr = std::shared_ptr<NSHTTPURLResponse>;

class NSHTTPURLResponse : public NSObject {
 public:
  NSHTTPURLResponse(NSURLPtr url, int64_t statusCode, NSHTTPHeaderFields headerFields);

  const NSURLPtr& URL() const { return url_; }
  int64_t statusCode() const { return status_; }
  // The Content-Type without its parameters, lower case; nullopt without one.
  const std::optional<std::string>& MIMEType() const { return mimeType_; }
  // The charset parameter of the Content-Type, when given.
  const std::optional<std::string>& textEncodingName() const { return encoding_; }
  // From Content-Length; -1 when the server did not say.
  int64_t expectedContentLength() const { return expectedLength_; }
  const NSHTTPHeaderFields& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;

  std::string description() const override;

 private:
  NSURLPtr url_;
  int64_t status_;
  NSHTTPHeaderFields headers_;
  std::optional<std::string> mimeType_;
  std::optional<std::string> encoding_;
  int64_t expectedLength_ = -1;
};
