#include "NSBundle.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "FilePath.h"
#include "NSApplicationLocations.h"
#include "NSData.h"
#include "NSFileManager.h"
#include "NSJSONSerialization.h"
#include "OSLog.h"
#include "UTF8.h"
#include "Value.h"
#include "platform/foundation/Mutex.h"

namespace {

const char* const kInfoFileName = "Info.json";

Mutex& bundlesMutex() {
  static Mutex m;  // guards bundlesByPath()
  return m;
}

std::map<std::string, NSBundlePtr>& bundlesByPath() REQUIRES(bundlesMutex()) {
  static auto* bundles = new std::map<std::string, NSBundlePtr>();
  return *bundles;
}

NSBundlePtr& mainBundleCache() {
  static auto* bundle = new NSBundlePtr();
  return *bundle;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isFolder(const std::string& path) {
  bool folder = false;
  return NSFileManager::defaultManager()->fileExistsAtPath(path, &folder) && folder;
}

bool exists(const std::string& path) {
  return NSFileManager::defaultManager()->fileExistsAtPath(path);
}

Value readInfoFile(const std::string& bundlePath) {
  std::string path = JoinPath(bundlePath, kInfoFileName);
  Bytes bytes;
  if (!ReadFileContents(path, bytes)) return Value(ValueMap());
  std::string error;
  auto info = NSJSONSerialization::JSONObjectWithData(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &error);
  if (!info || !info->isMap()) {
    NSLog("Ignoring malformed bundle info file " + path + (error.empty() ? "" : ": " + error));
    return Value(ValueMap());
  }
  return *info;
}

// The ".strings" text format: entries `"key" = "value";` (unquoted keys of
// word characters allowed), C comments, backslash escapes including \Uxxxx.
class StringsParser {
 public:
  explicit StringsParser(const std::string& text) : s_(text) {
    if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0) i_ = 3;
  }

  bool parse(std::map<std::string, std::string>& out) {
    for (;;) {
      if (!skipSpaceAndComments()) return false;
      if (i_ >= s_.size()) return true;
      std::string key, value;
      if (!readString(key) || !skipSpaceAndComments()) return false;
      if (i_ < s_.size() && s_[i_] == '=') {
        ++i_;
        if (!skipSpaceAndComments() || !readString(value) || !skipSpaceAndComments()) return false;
      } else {
        value = key;
      }
      if (i_ >= s_.size() || s_[i_] != ';') return failAt("expected ';'");
      ++i_;
      out[key] = value;
    }
  }

  const std::string& error() const { return error_; }

 private:
  bool failAt(const std::string& what) {
    error_ = what + " at offset " + std::to_string(i_);
    return false;
  }

  bool skipSpaceAndComments() {
    for (;;) {
      while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
      if (s_.compare(i_, 2, "/*") == 0) {
        size_t end = s_.find("*/", i_ + 2);
        if (end == std::string::npos) return failAt("unterminated comment");
        i_ = end + 2;
      } else if (s_.compare(i_, 2, "//") == 0) {
        size_t end = s_.find('\n', i_);
        i_ = end == std::string::npos ? s_.size() : end + 1;
      } else {
        return true;
      }
    }
  }

  static bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '$' ||
           c == ':' || c == '/' || c == '-';
  }

  bool readString(std::string& out) {
    if (i_ < s_.size() && s_[i_] == '"') return readQuoted(out);
    size_t start = i_;
    while (i_ < s_.size() && isWordChar(s_[i_])) ++i_;
    if (i_ == start) return failAt("expected a string");
    out = s_.substr(start, i_ - start);
    return true;
  }

  bool readHex4(uint32_t& cp) {
    if (i_ + 4 > s_.size()) return failAt("short \\U escape");
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      int digit = HexDigitValue(s_[i_++]);
      if (digit < 0) return failAt("bad \\U escape");
      cp = cp * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  bool readEscape(std::string& out) {
    char c = s_[i_++];
    switch (c) {
      case 'n':
        out += '\n';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 'U':
      case 'u': {
        uint32_t cp = 0;
        if (!readHex4(cp)) return false;
        // A high surrogate pairs with a following \Uxxxx low surrogate.
        if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(i_, 2, "\\U") == 0) {
          i_ += 2;
          uint32_t low = 0;
          if (!readHex4(low)) return false;
          if (low >= 0xDC00 && low < 0xE000) cp = CombineSurrogates(cp, low);
        }
        AppendUTF8(out, cp);
        return true;
      }
      default:
        out += c;  // \" \\ \' and anything else stand for themselves
        return true;
    }
  }

  bool readQuoted(std::string& out) {
    ++i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      if (s_[i_] == '\\') {
        ++i_;
        if (i_ >= s_.size()) break;
        if (!readEscape(out)) return false;
      } else {
        out += s_[i_++];
      }
    }
    if (i_ >= s_.size()) return failAt("unterminated string");
    ++i_;
    return true;
  }

  const std::string& s_;
  size_t i_ = 0;
  std::string error_;
};

}  // namespace

std::optional<std::map<std::string, std::string>> ParseStringsFile(const std::string& text,
                                                                   std::string* error) {
  std::map<std::string, std::string> table;
  StringsParser parser(text);
  if (parser.parse(table)) return table;
  if (error) *error = parser.error();
  return std::nullopt;
}

NSBundle::NSBundle(std::string path)
    : path_(withoutTrailingSlashes(std::move(path))),
      info_(std::make_shared<const Value>(readInfoFile(path_))) {}

NSBundlePtr NSBundle::mainBundle() {
  std::string path = withoutTrailingSlashes(NSApplicationLocations::current()->mainBundlePath());
  MutexLock lock(bundlesMutex());
  NSBundlePtr& cached = mainBundleCache();
  if (!cached || cached->bundlePath() != path) {
    NSBundlePtr& known = bundlesByPath()[path];
    if (!known) known = std::make_shared<NSBundle>(path);
    cached = known;
  }
  return cached;
}

NSBundlePtr NSBundle::bundleWithPath(const std::string& path) {
  if (path.empty() || !isFolder(path)) return nullptr;
  std::string key = withoutTrailingSlashes(path);
  MutexLock lock(bundlesMutex());
  NSBundlePtr& bundle = bundlesByPath()[key];
  if (!bundle) bundle = std::make_shared<NSBundle>(key);
  return bundle;
}

NSBundlePtr NSBundle::bundleWithURL(const NSURLPtr& url) {
  if (!url || !url->isFileURL()) return nullptr;
  return bundleWithPath(url->path());
}

NSBundlePtr NSBundle::bundleForClass(const std::type_info&) { return mainBundle(); }

NSBundlePtr NSBundle::resourceBundleNamed(const std::string& name,
                                          const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    // An empty path would be read as the working folder.
    if (folder.empty()) continue;
    NSURLPtr url =
        NSURL::fileURLWithPath(folder, true)->URLByAppendingPathComponent(name + ".bundle");
    if (NSBundlePtr bundle = bundleWithURL(url)) return bundle;
  }
  return nullptr;
}

NSBundlePtr NSBundle::moduleResourceBundle(const std::string& name, const std::type_info& marker) {
  NSBundlePtr main = mainBundle();
  return resourceBundleNamed(
      name, {main->resourcePath(), bundleForClass(marker)->resourcePath(), main->bundlePath()});
}

NSURLPtr NSBundle::bundleURL() const { return NSURL::fileURLWithPath(path_, true); }

NSURLPtr NSBundle::resourceURL() const { return NSURL::fileURLWithPath(resourcePath(), true); }

const Value& NSBundle::infoDictionary() const { return *info_; }

Value NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
  const Value* value = info_->find(key);
  return value ? *value : Value();
}

std::optional<std::string> NSBundle::bundleIdentifier() const {
  const Value* id = info_->find("CFBundleIdentifier");
  if (!id || !id->isString()) return std::nullopt;
  return id->asString();
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& type,
                                                     const std::string& subdirectory) const {
  if (name.empty()) return std::nullopt;
  std::string ext = !type.empty() && type[0] == '.' ? type.substr(1) : type;
  std::string file = ext.empty() ? name : name + "." + ext;
  std::string direct = JoinPath(JoinPath(resourcePath(), subdirectory), file);
  if (exists(direct)) return direct;
  for (const auto& language : preferredLocalizations()) {
    std::string folder = JoinPath(resourcePath(), language + ".lproj");
    std::string localized = JoinPath(JoinPath(folder, subdirectory), file);
    if (exists(localized)) return localized;
  }
  return std::nullopt;
}

NSURLPtr NSBundle::URLForResource(const std::string& name, const std::string& extension,
                                  const std::string& subdirectory) const {
  auto path = pathForResource(name, extension, subdirectory);
  return path ? NSURL::fileURLWithPath(*path) : nullptr;
}

const std::map<std::string, std::string>* NSBundle::stringTable(const std::string& relative) const {
  MutexLock lock(tablesMutex_);
  auto known = tables_.find(relative);
  if (known != tables_.end()) return &known->second;
  std::map<std::string, std::string>& table = tables_[relative];
  std::string path = JoinPath(resourcePath(), relative);
  Bytes bytes;
  if (ReadFileContents(path, bytes)) {
    std::string error;
    auto parsed = ParseStringsFile(std::string(bytes.begin(), bytes.end()), &error);
    if (parsed) {
      table = std::move(*parsed);
    } else {
      NSLog("Ignoring malformed string table " + path + ": " + error);
    }
  }
  return &table;  // std::map nodes stay put while others are added
}

std::string NSBundle::localizedStringForKey(const std::string& key, const std::string& value,
                                            const std::string& table) const {
  std::string file = (table.empty() ? std::string("Localizable") : table) + ".strings";
  std::vector<std::string> places;
  for (const auto& language : preferredLocalizations())
    places.push_back(language + ".lproj/" + file);
  places.push_back(file);
  for (const auto& place : places) {
    const auto* entries = stringTable(place);
    auto it = entries->find(key);
    if (it != entries->end()) return it->second;
  }
  return value.empty() ? key : value;
}

std::vector<std::string> NSBundle::preferredLocalizations() {
  std::vector<std::string> languages;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* env = std::getenv(name);
    if (!env || !*env) continue;
    std::string locale = env;
    std::string language = locale.substr(0, locale.find_first_of("_.@"));
    if (!language.empty() && language != "C" && language != "POSIX") languages.push_back(language);
    break;
  }
  for (const char* fallback : {"en", "Base"}) {
    if (languages.empty() || languages.front() != fallback) languages.push_back(fallback);
  }
  return languages;
}

NSURLPtr NSBundle::appStoreReceiptURL() const {
  return NSURL::fileURLWithPath(JoinPath(path_, "StoreKit/receipt"), false);
}

std::string NSBundle::description() const { return "NSBundle <" + path_ + ">"; }
