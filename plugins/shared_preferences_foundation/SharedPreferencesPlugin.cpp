#include "SharedPreferencesPlugin.h"

#include <unordered_set>

#include "LegacySharedPreferencesPlugin.h"

using shared_preferences_foundation::OptionalStringList;
using shared_preferences_foundation::SharedPreferencesPigeonOptions;
using shared_preferences_foundation::StringList;

namespace {

const char* const kArgumentError = "Argument Error";

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
  if (value.isBool() || value.isNumber() || value.isString()) return true;
  if (!value.isList()) return false;
  for (const Value& e : value.asList()) {
    if (!SharedPreferencesIsCompatible(e)) return false;
  }
  return true;
}

void SharedPreferencesCheckStorable(const std::string& key, const Value& value) {
  std::string why;
  if (NSUserDefaults::isPropertyListValue(value, &why)) return;
  argumentError("The value for key '" + key + "' cannot be stored in the user defaults: " + why);
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
  defaults->setObject(value, key);
}

void SharedPreferencesPlugin::clear(const OptionalStringList& allowList,
                                    const SharedPreferencesPigeonOptions& options) {
  auto defaults = SharedPreferencesDefaultsForSuite(options.suiteName());
  if (allowList) {
    for (const std::string& key : *allowList) defaults->removeObjectForKey(key);
    return;
  }
  for (const auto& [key, value] : defaults->dictionaryRepresentation()) {
    defaults->removeObjectForKey(key.asString());
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
