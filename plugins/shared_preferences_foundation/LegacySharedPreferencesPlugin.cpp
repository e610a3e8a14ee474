#include "internal/LegacySharedPreferencesPlugin.h"

#include "SharedPreferencesPlugin.h"

using shared_preferences_foundation::OptionalStringList;

void LegacySharedPreferencesPlugin::registerWithRegistrar(
    const FlutterPluginRegistrarPtr& registrar) {
  shared_preferences_foundation::LegacyUserDefaultsApiSetup::setUp(
      registrar->messenger(), std::make_shared<LegacySharedPreferencesPlugin>(), "");
}

void LegacySharedPreferencesPlugin::remove(const std::string& key) {
  NSErrorPtr error;
  SharedPreferencesCheckWritten(
      NSUserDefaults::standardUserDefaults()->removeObjectForKey(key, &error), error);
}

void LegacySharedPreferencesPlugin::setBool(const std::string& key, bool value) {
  NSErrorPtr error;
  SharedPreferencesCheckWritten(NSUserDefaults::standardUserDefaults()->setBool(value, key, &error),
                                error);
}

void LegacySharedPreferencesPlugin::setDouble(const std::string& key, double value) {
  NSErrorPtr error;
  SharedPreferencesCheckWritten(
      NSUserDefaults::standardUserDefaults()->setDouble(value, key, &error), error);
}

void LegacySharedPreferencesPlugin::setValue(const std::string& key, const Value& value) {
  SharedPreferencesCheckStorable(key, value);
  NSErrorPtr error;
  SharedPreferencesCheckWritten(
      NSUserDefaults::standardUserDefaults()->setObject(value, key, &error), error);
}

ValueMap LegacySharedPreferencesPlugin::getAll(const std::string& prefix,
                                               const OptionalStringList& allowList) {
  ValueMap out;
  for (auto& [key, value] : SharedPreferencesGetAll(allowList, std::nullopt)) {
    if (key.asString().compare(0, prefix.size(), prefix) == 0) out.emplace_back(key, value);
  }
  return out;
}

bool LegacySharedPreferencesPlugin::clear(const std::string& prefix,
                                          const OptionalStringList& allowList) {
  auto defaults = NSUserDefaults::standardUserDefaults();
  NSErrorPtr error;
  for (const auto& [key, value] : getAll(prefix, allowList)) {
    SharedPreferencesCheckWritten(defaults->removeObjectForKey(key.asString(), &error), error);
  }
  return true;
}
