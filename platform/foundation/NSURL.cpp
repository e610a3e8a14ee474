#include "NSURL.h"

#include <unistd.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <functional>
#include <vector>

#include "NSFileManager.h"
#include "UTF8.h"

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Characters that may appear somewhere in a URL (anything else is refused),
// and the brackets, which only an IPv6 host may hold: one table look-up a
// character, as every download's URL is read this way.
constexpr uint8_t kMayAppear = 1;
constexpr uint8_t kBracket = 2;
constexpr std::array<uint8_t, 256> kCharacterClasses = [] {
  std::array<uint8_t, 256> classes{};
  for (int c = '0'; c <= '9'; ++c) classes[c] = kMayAppear;
  for (int c = 'a'; c <= 'z'; ++c) classes[c] = kMayAppear;
  for (int c = 'A'; c <= 'Z'; ++c) classes[c] = kMayAppear;
  for (char c : std::string_view("-._~!$&'()*+,;=:/?#@%")) {
    classes[static_cast<unsigned char>(c)] = kMayAppear;
  }
  classes['['] = classes[']'] = kMayAppear | kBracket;
  return classes;
}();

bool escapesAreWellFormed(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') continue;
    if (i + 2 >= s.size()) return false;
    if (HexDigitValue(s[i + 1]) < 0 || HexDigitValue(s[i + 2]) < 0) return false;
    i += 2;
  }
  return true;
}

bool hasBracket(std::string_view s) { return s.find_first_of("[]") != std::string_view::npos; }

const char* extraAllowed(NSURLAllowedCharacters set) {
  switch (set) {
    case NSURLAllowedCharacters::Path:
      return "!$&'()*+,/:=@";
    case NSURLAllowedCharacters::Query:
    case NSURLAllowedCharacters::Fragment:
      return "!$&'()*+,/:;=?@";
    case NSURLAllowedCharacters::Host:
      return "!$&'()*+,:;=[]";
    case NSURLAllowedCharacters::User:
    case NSURLAllowedCharacters::Password:
      return "!$&'()*+,;=";
    case NSURLAllowedCharacters::Unreserved:
      break;
  }
  return "";
}

std::string decodedOrRaw(const std::string& s) {
  auto decoded = stringByRemovingPercentEncoding(s);
  return decoded ? *decoded : s;
}

bool isDirectoryOnDisk(const std::string& path) {
  bool folder = false;
  return NSFileManager::defaultManager()->fileExistsAtPath(path, &folder) && folder;
}

std::string currentDirectory() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}

struct Authority {
  std::optional<std::string_view> userInfo;
  std::string_view host;
  std::optional<int64_t> port;
};

bool parsePort(std::string_view text, std::optional<int64_t>& port) {
  if (text.empty()) return true;  // "host:" has no port
  if (text.size() > 5) return false;
  int64_t value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535) return false;
  port = value;
  return true;
}

bool parseAuthority(std::string_view text, Authority& out) {
  size_t at = text.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view user = text.substr(0, at);
    if (hasBracket(user)) return false;
    out.userInfo = user;
    text = text.substr(at + 1);
  }
  std::string_view portText;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    out.host = text.substr(0, close + 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      portText = rest.substr(1);
    }
  } else {
    size_t colon = text.rfind(':');
    std::string_view host = colon == std::string_view::npos ? text : text.substr(0, colon);
    if (colon != std::string_view::npos) portText = text.substr(colon + 1);
    if (hasBracket(host)) return false;
    out.host = host;
  }
  return parsePort(portText, out.port);
}

// The scheme's length when `s` starts with a valid "scheme:", else 0.
size_t schemeLength(std::string_view s) {
  size_t colon = s.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAlpha(s[0])) return 0;
  for (size_t i = 1; i < colon; ++i) {
    char c = s[i];
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return colon;
}

// A URL string taken apart in place, each part a view into the string.
struct URLParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  Authority authorityParts;
  std::string_view path;
  std::optional<std::string_view> query;
  std::optional<std::string_view> fragment;
};

// False for what is not a URL; the one reading of a URL string, so that
// what only needs a part agrees with URLWithString on every string.
bool parseURLString(std::string_view s, URLParts& url) {
  if (s.empty() || s.size() > NSURL::kMaxLength) return false;
  uint8_t seen = 0;
  bool escaped = false;
  for (char c : s) {
    const uint8_t classes = kCharacterClasses[static_cast<unsigned char>(c)];
    if (!(classes & kMayAppear)) return false;
    seen |= classes;
    escaped |= c == '%';
  }
  if (escaped && !escapesAreWellFormed(s)) return false;
  // Most URLs hold no bracket: the parts need no look for one.
  const bool brackets = (seen & kBracket) != 0;

  std::string_view rest = s;
  if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
    std::string_view fragment = rest.substr(hash + 1);
    if (fragment.find('#') != std::string_view::npos || (brackets && hasBracket(fragment))) {
      return false;
    }
    url.fragment = fragment;
    rest = rest.substr(0, hash);
  }
  if (size_t question = rest.find('?'); question != std::string_view::npos) {
    std::string_view query = rest.substr(question + 1);
    if (brackets && hasBracket(query)) return false;
    url.query = query;
    rest = rest.substr(0, question);
  }
  if (size_t length = schemeLength(rest); length > 0) {
    url.scheme = rest.substr(0, length);
    rest = rest.substr(length + 1);
  }
  if (rest.substr(0, 2) == "//") {
    size_t slash = rest.find('/', 2);
    std::string_view authority =
        rest.substr(2, slash == std::string_view::npos ? rest.npos : slash - 2);
    if (!parseAuthority(authority, url.authorityParts)) return false;
    url.authority = authority;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  } else if (!url.scheme) {
    // A relative reference whose first segment holds ":" would read as a scheme.
    std::string_view first = rest.substr(0, rest.find('/'));
    if (first.find(':') != std::string_view::npos) return false;
  }
  if (brackets && hasBracket(rest)) return false;
  url.path = rest;
  return true;
}

std::optional<std::string> copied(const std::optional<std::string_view>& part) {
  return part ? std::optional<std::string>(std::in_place, *part) : std::nullopt;
}

}  // namespace

NSURLPtr NSURL::URLWithString(std::string_view s) {
  URLParts parts;
  if (!parseURLString(s, parts)) return nullptr;
  auto url = std::make_shared<NSURL>();
  url->string_ = std::string(s);
  url->scheme_ = copied(parts.scheme);
  if (parts.authority) {
    url->authority_ = std::string(*parts.authority);
    url->userInfo_ = copied(parts.authorityParts.userInfo);
    url->host_ = std::string(parts.authorityParts.host);
    url->port_ = parts.authorityParts.port;
  }
  url->path_ = std::string(parts.path);
  url->query_ = copied(parts.query);
  url->fragment_ = copied(parts.fragment);
  return url;
}

std::optional<std::string_view> NSURL::percentEncodedPathOfString(std::string_view string) {
  URLParts parts;
  if (!parseURLString(string, parts)) return std::nullopt;
  return parts.path;
}

NSURLPtr NSURL::fileURLWithPath(const std::string& path) {
  std::string absolute = !path.empty() && path[0] == '/' ? path : currentDirectory() + "/" + path;
  bool isDirectory = (!absolute.empty() && absolute.back() == '/') || isDirectoryOnDisk(absolute);
  return fileURLWithPath(absolute, isDirectory);
}

NSURLPtr NSURL::fileURLWithPath(const std::string& path, bool isDirectory) {
  std::string absolute = !path.empty() && path[0] == '/' ? path : currentDirectory() + "/" + path;
  std::string encoded =
      stringByAddingPercentEncodingWithAllowedCharacters(absolute, NSURLAllowedCharacters::Path);
  if (isDirectory && encoded.back() != '/') encoded += '/';
  return URLWithString("file://" + encoded);
}

std::optional<std::string> NSURL::user() const {
  if (!userInfo_) return std::nullopt;
  return decodedOrRaw(userInfo_->substr(0, userInfo_->find(':')));
}

std::optional<std::string> NSURL::password() const {
  if (!userInfo_) return std::nullopt;
  size_t colon = userInfo_->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return decodedOrRaw(userInfo_->substr(colon + 1));
}

std::optional<std::string> NSURL::host() const {
  if (!host_) return std::nullopt;
  std::string host = *host_;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return decodedOrRaw(host);
}

std::string NSURL::path() const {
  std::string path = decodedOrRaw(path_);
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string NSURL::lastPathComponent() const {
  std::string path = this->path();
  if (path.empty() || path == "/") return path;
  return path.substr(path.rfind('/') + 1);
}

std::string NSURL::pathExtension() const {
  std::string name = lastPathComponent();
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
  return name.substr(dot + 1);
}

bool NSURL::isFileURL() const {
  if (!scheme_ || scheme_->size() != 4) return false;
  std::string lower;
  for (char c : *scheme_) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "file";
}

bool NSURL::hasDirectoryPath() const { return !path_.empty() && path_.back() == '/'; }

NSURLPtr NSURL::URLByAppendingPathComponent(const std::string& component) const {
  bool isDirectory = !component.empty() && component.back() == '/';
  if (!isDirectory && isFileURL()) {
    std::string base = path();
    isDirectory = isDirectoryOnDisk((base == "/" ? base : base + "/") + component);
  }
  return URLByAppendingPathComponent(component, isDirectory);
}

NSURLPtr NSURL::URLByAppendingPathComponent(const std::string& component, bool isDirectory) const {
  std::string path = path_;
  if (path.empty() && authority_) path.push_back('/');
  if (!path.empty() && path.back() != '/') path += '/';
  size_t start = component.find_first_not_of('/');
  if (start != std::string::npos) {
    path += stringByAddingPercentEncodingWithAllowedCharacters(component.substr(start),
                                                               NSURLAllowedCharacters::Path);
  }
  if (isDirectory && !path.empty() && path.back() != '/') path += '/';
  return withPath(std::move(path));
}

NSURLPtr NSURL::URLByDeletingLastPathComponent() const {
  std::string path = path_;
  if (path.empty() || path == "/") return withPath(path + "../");
  if (path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return withPath(slash == std::string::npos ? "./" : path.substr(0, slash + 1));
}

NSURLPtr NSURL::standardizedURL() const {
  if (path_.empty() || path_[0] != '/') return withPath(path_);
  std::vector<std::string_view> segments;
  std::string_view rest = std::string_view(path_).substr(1);
  bool directory = false;
  for (;;) {
    size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    directory = segment == "." || segment == ".." || (slash != rest.npos && rest.size() == slash + 1);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (segment != "." && !(segment.empty() && slash == rest.npos)) {
      segments.push_back(segment);
    }
    if (slash == rest.npos) break;
    rest = rest.substr(slash + 1);
    if (rest.empty()) break;
  }
  std::string path;
  for (std::string_view segment : segments) {
    path += '/';
    path += segment;
  }
  if (path.empty() || directory) path += '/';
  return withPath(std::move(path));
}

NSURLPtr NSURL::withPath(std::string path) const {
  std::string s;
  if (scheme_) s += *scheme_ + ":";
  if (authority_) s += "//" + *authority_;
  s += path;
  if (query_) s += "?" + *query_;
  if (fragment_) s += "#" + *fragment_;
  return URLWithString(s);
}

bool NSURL::isEqual(const NSObject& other) const {
  auto* url = dynamic_cast<const NSURL*>(&other);
  return url && url->string_ == string_;
}

size_t NSURL::hash() const { return std::hash<std::string>()(string_); }

std::string stringByAddingPercentEncodingWithAllowedCharacters(std::string_view string,
                                                               NSURLAllowedCharacters allowed) {
  static const char kHex[] = "0123456789ABCDEF";
  const char* extra = extraAllowed(allowed);
  std::string out;
  out.reserve(string.size());
  for (char c : string) {
    if (isUnreserved(c) || (c != '\0' && std::strchr(extra, c))) {
      out += c;
      continue;
    }
    auto byte = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0f];
  }
  return out;
}

std::optional<std::string> stringByRemovingPercentEncoding(std::string_view string) {
  if (!escapesAreWellFormed(string)) return std::nullopt;
  std::string out;
  out.reserve(string.size());
  for (size_t i = 0; i < string.size(); ++i) {
    if (string[i] != '%') {
      out += string[i];
      continue;
    }
    out += static_cast<char>(HexDigitValue(string[i + 1]) * 16 + HexDigitValue(string[i + 2]));
    i += 2;
  }
  return out;
}
