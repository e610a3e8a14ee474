#pragma once

// Locales by identifier ("en_US", "de_DE", "ja_JP"), as formatters take
// them. The current locale is the user's: the one the process environment
// names (LC_ALL, then LC_NUMERIC, then LANG, without encoding or modifier),
// "en_US" when it names none or only the C locale.

#include <memory>
#include <string>

#include "platform/foundation/NSObject.h"

class NSLocale;
using NSLocalePtr = std::shared_ptr<NSLocale>;

class NSLocale : public NSObject {
 public:
  explicit NSLocale(std::string identifier);

  static NSLocalePtr currentLocale();
  static NSLocalePtr localeWithLocaleIdentifier(const std::string& identifier);

  const std::string& localeIdentifier() const { return identifier_; }
  // The identifier in the form ICU takes ("de_DE", "sr_Latn_RS").
  std::string icuIdentifier() const;

  bool isEqual(const NSObject& other) const override;
  std::string className() const override { return "NSLocale"; }
  std::string description() const override { return "<NSLocale " + identifier_ + ">"; }

 private:
  std::string identifier_;
};
