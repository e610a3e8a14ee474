#include "platform/foundation/NSLocale.h"

#include <unicode/uloc.h>

#include <map>

#include "platform/foundation/NSProcessInfo.h"

namespace {

// "de_DE.UTF-8@euro" -> "de_DE"; "" for the C locale.
std::string identifierFromPosix(std::string name) {
  name = name.substr(0, name.find_first_of(".@"));
  if (name == "C" || name == "POSIX") return "";
  return name;
}

}  // namespace

NSLocale::NSLocale(std::string identifier) : identifier_(std::move(identifier)) {}

NSLocalePtr NSLocale::currentLocale() {
  const auto env = NSProcessInfo::processInfo().environment();
  for (const char* variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
    auto it = env.find(variable);
    if (it == env.end() || it->second.empty()) continue;
    std::string id = identifierFromPosix(it->second);
    return std::make_shared<NSLocale>(id.empty() ? "en_US" : id);
  }
  return std::make_shared<NSLocale>("en_US");
}

NSLocalePtr NSLocale::localeWithLocaleIdentifier(const std::string& identifier) {
  return std::make_shared<NSLocale>(identifier);
}

std::string NSLocale::icuIdentifier() const {
  char out[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_canonicalize(identifier_.c_str(), out, sizeof out, &status);
  return U_SUCCESS(status) ? std::string(out) : identifier_;
}

bool NSLocale::isEqual(const NSObject& other) const {
  auto* l = dynamic_cast<const NSLocale*>(&other);
  return l && l->identifier_ == identifier_;
}
