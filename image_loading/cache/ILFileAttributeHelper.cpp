#include "image_loading/cache/internal/ILFileAttributeHelper.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/foundation/Value.h"

namespace {

constexpr const char kUserPrefix[] = "user.";

std::string systemName(const std::string& name) { return kUserPrefix + name; }

// What a failed call was asked to do; the set-only details are absent for
// the other calls.
struct CallDetails {
  const char* function;
  const std::string* name;
  const std::string& path;
  bool traverseLink;
  std::optional<size_t> valueLength = std::nullopt;
  std::optional<bool> overwrite = std::nullopt;
};

void fillError(NSErrorPtr* error, const CallDetails& call) {
  if (!error) return;
  const int err = errno;
  const char* function = call.function;
  ValueMap info;
  info.emplace_back(Value("error"), Value(std::string(strerror(err))));
  info.emplace_back(Value("function"), Value(std::string(function)));
  if (call.name) info.emplace_back(Value(":name"), Value(*call.name));
  if (call.valueLength) info.emplace_back(Value(":value.length"), Value(int64_t(*call.valueLength)));
  info.emplace_back(Value(":path"), Value(call.path));
  info.emplace_back(Value(":traverseLink"), Value(int64_t(call.traverseLink ? 1 : 0)));
  if (call.overwrite) info.emplace_back(Value(":overwrite"), Value(int64_t(*call.overwrite ? 1 : 0)));
  info.emplace_back(Value(NSLocalizedDescriptionKey),
                    Value(std::string(function) + ": " + strerror(err)));
  *error = NSError::errorWithDomain(NSPOSIXErrorDomain, err, Value(std::move(info)));
}

ssize_t listNames(const std::string& path, bool traverse, char* buffer, size_t size) {
  return traverse ? listxattr(path.c_str(), buffer, size)
                  : llistxattr(path.c_str(), buffer, size);
}

ssize_t readValue(const std::string& path, const std::string& name, bool traverse,
                  void* buffer, size_t size) {
  return traverse ? getxattr(path.c_str(), name.c_str(), buffer, size)
                  : lgetxattr(path.c_str(), name.c_str(), buffer, size);
}

}  // namespace

std::optional<std::vector<std::string>> ILFileAttributeHelper::extendedAttributeNamesAtPath(
    const std::string& path, bool traverseLink, NSErrorPtr* error) {
  // The list can grow between the size query and the read; ERANGE asks again.
  for (;;) {
    ssize_t size = listNames(path, traverseLink, nullptr, 0);
    if (size < 0) {
      fillError(error, {"listxattr", nullptr, path, traverseLink});
      return std::nullopt;
    }
    std::vector<std::string> names;
    if (size == 0) return names;
    std::string buffer(static_cast<size_t>(size), '\0');
    ssize_t got = listNames(path, traverseLink, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == ERANGE) continue;
      fillError(error, {"listxattr", nullptr, path, traverseLink});
      return std::nullopt;
    }
    size_t start = 0;
    for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
      if (buffer[i] != '\0') continue;
      std::string name = buffer.substr(start, i - start);
      start = i + 1;
      if (name.rfind(kUserPrefix, 0) == 0) names.push_back(name.substr(sizeof kUserPrefix - 1));
    }
    return names;
  }
}

bool ILFileAttributeHelper::hasExtendedAttribute(const std::string& name,
                                                 const std::string& path, bool traverseLink,
                                                 NSErrorPtr* error) {
  auto names = extendedAttributeNamesAtPath(path, traverseLink, error);
  if (!names) return false;
  for (const auto& n : *names)
    if (n == name) return true;
  return false;
}

std::optional<Bytes> ILFileAttributeHelper::extendedAttribute(const std::string& name,
                                                              const std::string& path,
                                                              bool traverseLink,
                                                              NSErrorPtr* error) {
  const std::string sys = systemName(name);
  for (;;) {
    ssize_t size = readValue(path, sys, traverseLink, nullptr, 0);
    if (size < 0) {
      fillError(error, {"getxattr", &name, path, traverseLink});
      return std::nullopt;
    }
    Bytes value(static_cast<size_t>(size));
    if (size == 0) return value;
    ssize_t got = readValue(path, sys, traverseLink, value.data(), value.size());
    if (got < 0) {
      if (errno == ERANGE) continue;  // grew between the two calls
      fillError(error, {"getxattr", &name, path, traverseLink});
      return std::nullopt;
    }
    value.resize(static_cast<size_t>(got));
    return value;
  }
}

bool ILFileAttributeHelper::setExtendedAttribute(const std::string& name, const Bytes& value,
                                                 const std::string& path, bool traverseLink,
                                                 bool overwrite, NSErrorPtr* error) {
  const std::string sys = systemName(name);
  const int flags = overwrite ? 0 : XATTR_CREATE;
  const int rc = traverseLink
                     ? setxattr(path.c_str(), sys.c_str(), value.data(), value.size(), flags)
                     : lsetxattr(path.c_str(), sys.c_str(), value.data(), value.size(), flags);
  if (rc < 0) {
    fillError(error, {"setxattr", &name, path, traverseLink, value.size(), overwrite});
    return false;
  }
  return true;
}

bool ILFileAttributeHelper::removeExtendedAttribute(const std::string& name,
                                                    const std::string& path,
                                                    bool traverseLink, NSErrorPtr* error) {
  const std::string sys = systemName(name);
  const int rc = traverseLink ? removexattr(path.c_str(), sys.c_str())
                              : lremovexattr(path.c_str(), sys.c_str());
  if (rc < 0) {
    fillError(error, {"removexattr", &name, path, traverseLink});
    return false;
  }
  return true;
}
