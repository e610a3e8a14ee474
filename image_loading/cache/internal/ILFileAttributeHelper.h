#pragma once

// Extended attributes of files (Linux user namespace). Every call takes a
// path and whether to follow a symbolic link at its end; failures answer
// nil/false and, when asked, an NSError of the POSIX domain whose code is
// errno and whose user info names the call ("function"), its text ("error")
// and, for calls on one attribute, the attribute (":name").
//
// Names given here are the caller's; the "user." namespace prefix is added
// on the way in and stripped on the way out, since Linux refuses unprefixed
// names.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/ValueFwd.h"

class ILFileAttributeHelper {
 public:
  static std::optional<std::vector<std::string>> extendedAttributeNamesAtPath(
      const std::string& path, bool traverseLink, NSErrorPtr* error = nullptr);
  static bool hasExtendedAttribute(const std::string& name, const std::string& path,
                                   bool traverseLink, NSErrorPtr* error = nullptr);
  static std::optional<Bytes> extendedAttribute(const std::string& name,
                                                const std::string& path, bool traverseLink,
                                                NSErrorPtr* error = nullptr);
  static bool setExtendedAttribute(const std::string& name, const Bytes& value,
                                   const std::string& path, bool traverseLink,
                                   bool overwrite, NSErrorPtr* error = nullptr);
  static bool removeExtendedAttribute(const std::string& name, const std::string& path,
                                      bool traverseLink, NSErrorPtr* error = nullptr);
};
