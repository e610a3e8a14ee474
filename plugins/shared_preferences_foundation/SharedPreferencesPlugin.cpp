#include "SharedPreferencesPlugin.h"

#include <unordered_set>

#include "internal/LegacySharedPreferencesPlugin.h"
#include "platform/flutter/FlutterCodec.h"

using shared_preferences_foundation::OptionalStringList;
using shared_preferences_foundation::SharedPreferencesPigeonOptions;
using shared_preferences_foundation::StringList;

namespace {

const char* const kArgumentError = "Argument Error";
const char* const kWriteError = "Write Error";

// The deepest value a reply can carry: the reader on the other side takes
// kMaxDepth levels, and getAll's reply puts each value two levels down (the
// reply's list, then the map of entries).
constexpr int kMaxValueDepth = FlutterStandardReader::kMaxDepth - 2;

// Whether the value nests at most `levels` deep (a scalar is one level). Stops
// as soon as the budget runs out, so its own recursion is bounded too.
bool nestsWithin(const Value& value, int levels) {
  if (levels < 1) return false;
  if (value.isList()) {
    for (const Value& e : value.asList()) {
      if (!nestsWithin(e, levels - 1)) return false;
    }
  } else if (value.isMap()) {
    for (const auto& [k, e] : value.asMap()) {
      if (!nestsWithin(k, levels - 1) || !nestsWithin(e, levels - 1)) return false;
    }
  }
  return true;
}

bool isCompatibleWithin(const Value& value, int levels) {
  if (levels < 1) return false;
  if (value.isBool() || value.isNumber() || value.isString()) return true;
  if (!value.isList()) return false;
  for (const Value& e : value.asList()) {
    if (!isCompatibleWithin(e, levels - 1)) return false;
  }
  return true;
}

[[noreturn]] void argumentError(const std::string& message) {
  throw FlutterError(kArgumentError, message, Value(""));
}

}  // namespace

void SharedPreferencesPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  shared_preferences_foundation::UserDefaultsApiSetup::setUp(
      registrar->messenger(), std::make_shared<SharedPreferencesPlugin>(), "");
  LegacySharedPreferencesPlugin::registerWithRegistrar(registrar);
}

std::shared_ptr<NSUserDefaults> SharedPreferencesDefaultsForSuite(
    const std::optional<std::string>& suiteName) {
  if (!suiteName) return NSUserDefaults::initWithSuiteName(std::nullopt);
  const std::string& name = *suiteName;
  if (name.compare(0, 6, "group.") != 0) {
    argumentError("The provided Suite Name '" + name +
                  "' does not follow the predefined requirements");
  }
  auto defaults = NSUserDefaults::initWithSuiteName(name);
  if (!defaults) argumentError("The provided Suite Name '" + name + "' does not exist");
  return defaults;
}

bool SharedPreferencesIsCompatible(const Value& value) {
  return isCompatibleWithin(value, kMaxValueDepth);
}

void SharedPreferencesCheckStorable(const std::string& key, const Value& value) {
  std::string why;
  if (!NSUserDefaults::isPropertyListValue(value, &why)) {
    argumentError("The value for key '" + key + "' cannot be stored in the user defaults: " + why);
  }
  // Stored, it could never be read back: every later getAll would fail.
  if (!nestsWithin(value, kMaxValueDepth)) {
    argumentError("The value for key '" + key + "' is nested more than " +
                  std::to_string(kMaxValueDepth) + " levels deep and could not be read back");
  }
}

void SharedPreferencesCheckWritten(bool written, const NSErrorPtr& error) {
  if (written) return;
  throw FlutterError(kWriteError,
                     error ? error->localizedDescription() : "The preferences were not written",
                     Value(""));
}

ValueMap SharedPreferencesGetAll(const OptionalStringList& allowList,
                                 const std::optional<std::string>& suiteName) {
  std::optional<std::unordered_set<std::string>> allowed;
  if (allowList) allowed.emplace(allowList->begin(), allowList->end());
  std::string domain = suiteName ? *suiteName : NSUserDefaults::applicationDomainName();
  auto defaults = SharedPreferencesDefaultsForSuite(suiteName);
  auto persistent = defaults->persistentDomainForName(domain);
  ValueMap out;
  if (!persistent) return out;
  for (const auto& [key, value] : *persistent) {
    if (allowed && !allowed->count(key.asString())) continue;
    if (SharedPreferencesIsCompatible(value)) out.emplace_back(key, value);
  }
  return out;
}

void SharedPreferencesPlugin::set(const std::string& key, const Value& value,
                                  const SharedPreferencesPigeonOptions& options) {
  auto defaults = SharedPreferencesDefaultsForSuite(options.suiteName());
  SharedPreferencesCheckStorable(key, value);
  NSErrorPtr error;
  SharedPreferencesCheckWritten(defaults->setObject(value, key, &error), error);
}

void SharedPreferencesPlugin::clear(const OptionalStringList& allowList,
                                    const SharedPreferencesPigeonOptions& options) {
  auto defaults = SharedPreferencesDefaultsForSuite(options.suiteName());
  NSErrorPtr error;
  if (allowList) {
    for (const std::string& key : *allowList) {
      SharedPreferencesCheckWritten(defaults->removeObjectForKey(key, &error), error);
    }
    return;
  }
  for (const auto& [key, value] : defaults->dictionaryRepresentation()) {
    SharedPreferencesCheckWritten(defaults->removeObjectForKey(key.asString(), &error), error);
  }
}

ValueMap SharedPreferencesPlugin::getAll(const OptionalStringList& allowList,
                                         const SharedPreferencesPigeonOptions& options) {
  return SharedPreferencesGetAll(allowList, options.suiteName());
}

Value SharedPreferencesPlugin::getValue(const std::string& key,
                                        const SharedPreferencesPigeonOptions& options) {
  Value value = SharedPreferencesDefaultsForSuite(options.suiteName())->objectForKey(key);
  return SharedPreferencesIsCompatible(value) ? value : Value();
}

StringList SharedPreferencesPlugin::getKeys(const OptionalStringList& allowList,
                                            const SharedPreferencesPigeonOptions& options) {
  StringList keys;
  for (const auto& [key, value] : SharedPreferencesGetAll(allowList, options.suiteName())) {
    keys.push_back(key.asString());
  }
  return keys;
}
