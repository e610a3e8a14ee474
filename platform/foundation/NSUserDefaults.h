#pragma once

// User defaults: named domains of key-value preferences searched in a fixed
// order. Persistent domains (the application's own, each suite, the global
// domain) live in one file each under the application container's
// Library/Preferences/ and are rewritten atomically on every change, so a
// crash or a kill leaves either the old or the new file, never half of one.
// Volatile domains (arguments, registration) live for the process.
//
// Search order of objectForKey and dictionaryRepresentation:
//   NSArgumentDomain, this object's persistent domain (the suite's, or the
//   application's), NSGlobalDomain, NSRegistrationDomain.
// Writes go to this object's persistent domain only.
//
// All state is process-wide and guarded by one lock, so defaults objects may
// be made and used from any thread; two objects for the same suite see the
// same values.

#include <memory>
#include <optional>
#include <string>

#include "NSError.h"
#include "NSObject.h"
#include "Value.h"

extern const char* const NSGlobalDomain;
extern const char* const NSArgumentDomain;
extern const char* const NSRegistrationDomain;

class NSUserDefaults : public NSObject {
 public:
  // Made by standardUserDefaults and initWithSuiteName only.
  explicit NSUserDefaults(std::string domainName) : domain_(std::move(domainName)) {}

  // The application's own defaults, one instance per process.
  static std::shared_ptr<NSUserDefaults> standardUserDefaults();
  // Forgets the shared instance and every loaded domain, so the next use
  // reads the files again.
  static void resetStandardUserDefaults();
  // No name: the application's own defaults. nullptr for a name that cannot
  // be a suite: NSGlobalDomain, the application's own domain, or a name that
  // is not a plain file name (empty, starting with ".", holding "/" or NUL,
  // longer than 200 bytes).
  static std::shared_ptr<NSUserDefaults> initWithSuiteName(
      const std::optional<std::string>& suiteName);

  // The application's persistent domain: the main bundle's identifier, or the
  // executable's name when the bundle has none.
  static std::string applicationDomainName();
  // <container>/Library/Preferences, where the domain files live.
  static std::string preferencesDirectory();

  // Values a persistent domain can hold: booleans, numbers, strings, byte
  // data, dates (NSDate objects), and lists and string-keyed maps of them.
  // `why`, when given, names the first part that is not.
  static bool isPropertyListValue(const Value& value, std::string* why = nullptr);

  const std::string& domainName() const { return domain_; }

  // The first value found in search order; null when no domain has the key.
  Value objectForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;        // numbers: non-zero
  int64_t integerForKey(const std::string& key) const;  // 0 when absent
  double doubleForKey(const std::string& key) const;    // 0 when absent

  // Stores into this object's persistent domain; null removes the key. A
  // value that is not a property-list value is refused: false, nothing
  // stored, a log line. False with `error` set when the file cannot be
  // written.
  bool setObject(const Value& value, const std::string& key, NSErrorPtr* error = nullptr);
  bool setBool(bool value, const std::string& key, NSErrorPtr* error = nullptr) {
    return setObject(Value(value), key, error);
  }
  bool setInteger(int64_t value, const std::string& key, NSErrorPtr* error = nullptr) {
    return setObject(Value::integer(value), key, error);
  }
  bool setDouble(double value, const std::string& key, NSErrorPtr* error = nullptr) {
    return setObject(Value(value), key, error);
  }
  // Removing a key the domain does not hold writes nothing and succeeds.
  bool removeObjectForKey(const std::string& key, NSErrorPtr* error = nullptr);

  // Every domain in search order merged; the first domain holding a key wins.
  ValueMap dictionaryRepresentation() const;

  // Adds to the process-wide registration domain (later calls win per key).
  void registerDefaults(const ValueMap& defaults);
  // Persistent domains by name (a suite, the application's, NSGlobalDomain);
  // nullopt when the domain holds nothing.
  std::optional<ValueMap> persistentDomainForName(const std::string& name) const;
  // Replaces a whole persistent domain; false when a value is refused or
  // the file cannot be written.
  bool setPersistentDomain(const ValueMap& domain, const std::string& name,
                           NSErrorPtr* error = nullptr);
  bool removePersistentDomainForName(const std::string& name, NSErrorPtr* error = nullptr);
  // Replaces a volatile domain (NSArgumentDomain, NSRegistrationDomain).
  void setVolatileDomain(const ValueMap& domain, const std::string& name);

  // True: every change is written (or refused) before its setter returns.
  bool synchronize();

 private:
  std::string domain_;
};
