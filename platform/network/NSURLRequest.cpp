#include "platform/network/NSURLRequest.h"

#include <algorithm>
#include <cctype>

namespace {

std::string trimmed(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

std::string asciiLowered(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// What every request starts with, shared so that a request without fields
// allocates none.
const NSHTTPHeaderFieldsPtr& noFields() {
  static const NSHTTPHeaderFieldsPtr none = std::make_shared<const NSHTTPHeaderFields>();
  return none;
}

std::optional<std::string> findField(const NSHTTPHeaderFields& fields, const std::string& name) {
  auto it = fields.find(name);
  if (it == fields.end()) return std::nullopt;
  return it->second;
}

}  // namespace

bool NSHTTPHeaderNameLess::operator()(std::string_view a, std::string_view b) const {
  auto folded = [](char c) {
    auto u = static_cast<unsigned char>(c);
    return static_cast<unsigned>(u - 'A') < 26u ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
  };
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    unsigned char x = folded(a[i]), y = folded(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

NSURLRequest::NSURLRequest(NSURLPtr url, NSURLRequestCachePolicy cachePolicy,
                           double timeoutInterval)
    : url_(std::move(url)),
      headers_(noFields()),
      timeout_(timeoutInterval > 0 ? timeoutInterval : kDefaultTimeoutInterval),
      cachePolicy_(cachePolicy) {}

NSURLRequestPtr NSURLRequest::requestWithURL(NSURLPtr url) {
  return std::make_shared<NSURLRequest>(std::move(url));
}

std::optional<std::string> NSURLRequest::valueForHTTPHeaderField(const std::string& field) const {
  return findField(*headers_, field);
}

NSHTTPHeaderFieldsPtr NSURLRequest::sharedHTTPHeaderFields() const {
  headersShared_.store(true, std::memory_order_relaxed);
  return headers_;
}

NSMutableURLRequestPtr NSURLRequest::mutableCopy() const {
  auto copy = std::make_shared<NSMutableURLRequest>(url_, cachePolicy_, timeout_);
  copy->setHTTPMethod(method_);
  copy->setAllHTTPHeaderFields(sharedHTTPHeaderFields());
  copy->setHTTPShouldHandleCookies(handleCookies_);
  copy->setHTTPShouldUsePipelining(pipelining_);
  return copy;
}

std::string NSURLRequest::description() const {
  return "<NSURLRequest " + method_ + " " + (url_ ? url_->absoluteString() : "(null)") + ">";
}

NSMutableURLRequestPtr NSMutableURLRequest::requestWithURL(NSURLPtr url) {
  return std::make_shared<NSMutableURLRequest>(std::move(url));
}

void NSMutableURLRequest::setHTTPMethod(const std::string& method) {
  std::string upper = trimmed(method);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  method_ = upper.empty() ? "GET" : upper;
}

NSHTTPHeaderFields& NSMutableURLRequest::ownHeaders() {
  if (headersShared_.load(std::memory_order_relaxed)) {
    headers_ = std::make_shared<NSHTTPHeaderFields>(*headers_);
    headersShared_.store(false, std::memory_order_relaxed);
  }
  // Made by this request and never handed out: nobody else reads it.
  return const_cast<NSHTTPHeaderFields&>(*headers_);
}

void NSMutableURLRequest::setAllHTTPHeaderFields(NSHTTPHeaderFields fields) {
  headers_ = std::make_shared<NSHTTPHeaderFields>(std::move(fields));
  headersShared_.store(false, std::memory_order_relaxed);
}

void NSMutableURLRequest::setAllHTTPHeaderFields(NSHTTPHeaderFieldsPtr fields) {
  headers_ = fields ? std::move(fields) : noFields();
  headersShared_.store(true, std::memory_order_relaxed);
}

void NSMutableURLRequest::setValueForHTTPHeaderField(std::optional<std::string> value,
                                                     const std::string& field) {
  if (!value && headers_->find(field) == headers_->end()) return;
  NSHTTPHeaderFields& headers = ownHeaders();
  headers.erase(field);
  if (value) headers.emplace(field, std::move(*value));
}

void NSMutableURLRequest::addValueForHTTPHeaderField(const std::string& value,
                                                     const std::string& field) {
  NSHTTPHeaderFields& headers = ownHeaders();
  auto it = headers.find(field);
  if (it == headers.end()) {
    headers.emplace(field, value);
  } else {
    it->second += ", " + value;
  }
}

void NSMutableURLRequest::setTimeoutInterval(double seconds) {
  timeout_ = seconds > 0 ? seconds : kDefaultTimeoutInterval;
}

NSHTTPURLResponse::NSHTTPURLResponse(NSURLPtr url, int64_t statusCode, NSHTTPHeaderFields headerFields)
    : url_(std::move(url)), status_(statusCode), headers_(std::move(headerFields)) {
  if (auto type = findField(headers_, "Content-Type")) {
    std::string_view rest = *type;
    size_t semicolon = rest.find(';');
    std::string mime = asciiLowered(trimmed(rest.substr(0, semicolon)));
    if (!mime.empty()) mimeType_ = mime;
    while (semicolon != std::string_view::npos) {
      rest = rest.substr(semicolon + 1);
      semicolon = rest.find(';');
      std::string parameter = trimmed(rest.substr(0, semicolon));
      size_t equals = parameter.find('=');
      if (equals == std::string::npos ||
          asciiLowered(trimmed(parameter.substr(0, equals))) != "charset") {
        continue;
      }
      std::string charset = trimmed(parameter.substr(equals + 1));
      if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"') {
        charset = charset.substr(1, charset.size() - 2);
      }
      if (!charset.empty()) encoding_ = asciiLowered(charset);
    }
  }
  if (auto length = findField(headers_, "Content-Length")) {
    std::string digits = trimmed(*length);
    bool valid = !digits.empty() && digits.size() <= 18 &&
                 std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (valid) expectedLength_ = std::stoll(digits);
  }
}

std::optional<std::string> NSHTTPURLResponse::valueForHTTPHeaderField(const std::string& field) const {
  return findField(headers_, field);
}

std::string NSHTTPURLResponse::description() const {
  return "<NSHTTPURLResponse " + std::to_string(status_) + " " +
         (url_ ? url_->absoluteString() : "(null)") + ">";
}
