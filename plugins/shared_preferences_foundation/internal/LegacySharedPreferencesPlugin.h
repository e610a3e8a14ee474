#pragma once

// The older preferences API: the standard defaults only, filtered by key
// prefix.

#include "plugins/shared_preferences_foundation/UserDefaultsApi.h"
#include "platform/flutter/FlutterPlugin.h"

class LegacySharedPreferencesPlugin : public NSObject,
                                      public shared_preferences_foundation::LegacyUserDefaultsApi {
 public:
  // Sets up only this API (the host registers SharedPreferencesPlugin, which
  // sets up both).
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void remove(const std::string& key) override;
  void setBool(const std::string& key, bool value) override;
  void setDouble(const std::string& key, double value) override;
  void setValue(const std::string& key, const Value& value) override;
  ValueMap getAll(const std::string& prefix,
                  const shared_preferences_foundation::OptionalStringList& allowList) override;
  bool clear(const std::string& prefix,
             const shared_preferences_foundation::OptionalStringList& allowList) override;
};
