#pragma once

// Preferences over the user defaults: the suite-aware API (every operation
// names its suite) and, in LegacySharedPreferencesPlugin.h, the older API on
// the standard defaults. Neither keeps state: every request reads or writes
// the user defaults directly.

#include <memory>
#include <optional>
#include <string>

#include "plugins/shared_preferences_foundation/UserDefaultsApi.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSUserDefaults.h"

class SharedPreferencesPlugin : public NSObject,
                                public shared_preferences_foundation::UserDefaultsApi {
 public:
  // Sets up both APIs; the host registers only this class.
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void set(const std::string& key, const Value& value,
           const shared_preferences_foundation::SharedPreferencesPigeonOptions& options) override;
  void clear(const shared_preferences_foundation::OptionalStringList& allowList,
             const shared_preferences_foundation::SharedPreferencesPigeonOptions& options) override;
  ValueMap getAll(
      const shared_preferences_foundation::OptionalStringList& allowList,
      const shared_preferences_foundation::SharedPreferencesPigeonOptions& options) override;
  Value getValue(
      const std::string& key,
      const shared_preferences_foundation::SharedPreferencesPigeonOptions& options) override;
  shared_preferences_foundation::StringList getKeys(
      const shared_preferences_foundation::OptionalStringList& allowList,
      const shared_preferences_foundation::SharedPreferencesPigeonOptions& options) override;
};

// The defaults of a suite: no name is the application's own; a name must
// begin with "group.". Throws FlutterError "Argument Error" otherwise, or when
// the suite cannot be made.
std::shared_ptr<NSUserDefaults> SharedPreferencesDefaultsForSuite(
    const std::optional<std::string>& suiteName);

// The compatible entries of the suite's persistent domain (of the application
// when no suite is named), only the allowed keys when an allow list is given.
ValueMap SharedPreferencesGetAll(const shared_preferences_foundation::OptionalStringList& allowList,
                                 const std::optional<std::string>& suiteName);

// Booleans, numbers, strings, and lists of compatible values, nested no deeper
// than a getAll reply can carry back.
bool SharedPreferencesIsCompatible(const Value& value);

// Throws FlutterError "Write Error", its message naming the file and why, for
// a change the user defaults could not write (`written` false).
void SharedPreferencesCheckWritten(bool written, const NSErrorPtr& error);

// Throws FlutterError "Argument Error" for a value the user defaults cannot hold
// or one nested too deeply to be read back.
void SharedPreferencesCheckStorable(const std::string& key, const Value& value);
