#pragma once

// Bundles: a folder holding an info file, "Info.json" (a JSON object with the
// platform's info-dictionary keys: CFBundleIdentifier, CFBundleName,
// CFBundleDisplayName, CFBundleShortVersionString, CFBundleVersion, ...),
// and its resources, flat or in "<language>.lproj" folders, as an
// application bundle is laid out.
//
// The main bundle is the folder NSApplicationLocations names.
// It exists even when the folder does not (with an empty info dictionary).
//
// String tables are "<table>.strings" files in the platform's text format
// ("key" = "value"; with /* */ and // comments), looked up in the language
// folders of preferredLocalizations() and then in the resource folder.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "NSObject.h"
#include "NSURL.h"
#include "ValueFwd.h"
#include "platform/foundation/Mutex.h"

class NSBundle;
using NSBundlePtr = std::shared_ptr<NSBundle>;

class NSBundle : public NSObject {
 public:
  static NSBundlePtr mainBundle();
  // nullptr when the path is not a folder. One object per path.
  static NSBundlePtr bundleWithPath(const std::string& path);
  static NSBundlePtr bundleWithURL(const NSURLPtr& url);
  // All code is linked into the executable, so every class lives in the main bundle.
  static NSBundlePtr bundleForClass(const std::type_info& type);
  // The resource bundle "<name>.bundle" that the build ships for a module:
  // the first of `folders`, in order, holding one that opens as a bundle (a
  // folder the platform does not give, an empty path, is skipped); nullptr
  // when none does. The name is joined as a path component of the folder's
  // file URL, so the bundle's path is absolute whatever the folder's was.
  static NSBundlePtr resourceBundleNamed(const std::string& name,
                                         const std::vector<std::string>& folders);
  // The same in the folders a module's resources may lie in, in this order:
  // the main bundle's resource folder, the resource folder of the bundle
  // holding the code of `marker` (a class private to the module), and the
  // main bundle's own folder.
  static NSBundlePtr moduleResourceBundle(const std::string& name, const std::type_info& marker);

  explicit NSBundle(std::string path);

  const std::string& bundlePath() const { return path_; }
  NSURLPtr bundleURL() const;
  // Resources sit in the bundle folder itself.
  const std::string& resourcePath() const { return path_; }
  NSURLPtr resourceURL() const;

  // The parsed info file; an empty map when it is missing or unreadable.
  const Value& infoDictionary() const;
  // Null when absent.
  Value objectForInfoDictionaryKey(const std::string& key) const;
  std::optional<std::string> bundleIdentifier() const;

  // `type` may be empty (the name carries its extension) and may start with ".".
  std::optional<std::string> pathForResource(const std::string& name, const std::string& type,
                                             const std::string& subdirectory = "") const;
  NSURLPtr URLForResource(const std::string& name, const std::string& extension,
                          const std::string& subdirectory = "") const;

  // The value of `key` in string table `table` ("Localizable" when empty);
  // when there is none, `value`, or the key itself when `value` is empty.
  std::string localizedStringForKey(const std::string& key, const std::string& value,
                                    const std::string& table) const;
  // The language of env LC_ALL / LC_MESSAGES / LANG (when one is set and not
  // C or POSIX), then "en" and "Base".
  static std::vector<std::string> preferredLocalizations();

  // <bundle>/StoreKit/receipt; the file need not exist.
  NSURLPtr appStoreReceiptURL() const;

  std::string description() const override;

 private:
  const std::map<std::string, std::string>* stringTable(const std::string& table) const;

  const std::string path_;
  // Held by pointer so that this header, which most screens reach, only names
  // Value.
  const std::shared_ptr<const Value> info_;
  mutable Mutex tablesMutex_;  // guards tables_
  mutable std::map<std::string, std::map<std::string, std::string>> tables_
      GUARDED_BY(tablesMutex_);
};

// Parses the platform's ".strings" text; nullopt (and `error`) on malformed text.
std::optional<std::map<std::string, std::string>> ParseStringsFile(const std::string& text,
                                                                   std::string* error = nullptr);
