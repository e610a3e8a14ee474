#include "NSUserDefaults.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "FileIO.h"
#include "FilePath.h"
#include "NSBundle.h"
#include "NSData.h"
#include "NSDate.h"
#include "NSFileManager.h"
#include "NSJSONSerialization.h"
#include "OSLog.h"
#include "platform/foundation/Mutex.h"

const char* const NSGlobalDomain = "NSGlobalDomain";
const char* const NSArgumentDomain = "NSArgumentDomain";
const char* const NSRegistrationDomain = "NSRegistrationDomain";

// Domain file format. Each persistent domain is one JSON object, key to
// value, in "<domain>.json" (the global domain in ".GlobalPreferences.json").
// Booleans, integers, strings and lists are plain JSON; finite doubles are
// always written with a "." or an exponent, so they read back as doubles and
// integers as integers. Every other kind is an object with exactly one tag:
//   {"$map": {"key": value, ...}}   a map (tagged too, so that a stored map
//                                   can never be mistaken for a tag)
//   {"$data": "<base64>"}           byte data
//   {"$date": <seconds since 1970>} a date
//   {"$double": "nan"|"inf"|"-inf"} a double that JSON cannot write
// A file that does not parse, or holds anything else, loads as an empty domain
// and is moved aside to "<file>.corrupt" (then ".corrupt-2", ...: an earlier
// copy is never overwritten) so that the next write does not destroy what may
// still be recovered by hand.
//
// Several processes may share a container. Every read-modify-write of a domain
// file holds an exclusive lock on the preferences folder (flock), reads what
// is on disk and applies only the keys this process changed, so no process
// undoes another's acknowledged writes. A file changed on disk by another
// process is read again on next use. Under the lock no write is in progress,
// so temporary files left by a writer that was killed are stale and removed
// when a domain loads.

namespace {

constexpr size_t kMaxSuiteNameBytes = 200;

// What identifies one version of a domain file on disk.
struct FileStamp {
  ino_t inode = 0;
  int64_t mtimeNanos = -1;
  off_t size = -1;
  bool operator==(const FileStamp&) const = default;
};

struct Domain {
  ValueMap values;
  bool loaded = false;  // persistent domains load their file on first use
  // Keys the change being written sets or removes; `replaced` when it
  // replaces the whole domain, so the file's keys do not count.
  std::set<std::string> changed;
  bool replaced = false;
  FileStamp stamp;  // of the file as last read or written
};

struct Store {
  Mutex mutex;
  std::map<std::string, Domain> domains GUARDED_BY(mutex);
  std::shared_ptr<NSUserDefaults> standard GUARDED_BY(mutex);
};

Store& store() {
  static Store* s = new Store;  // never destroyed: used until the process ends
  return *s;
}

OSLogRef defaultsLog() {
  static OSLogRef log = os_log_create("com.quorlinex.foundation", "NSUserDefaults");
  return log;
}

bool isVolatile(const std::string& name) {
  return name == NSArgumentDomain || name == NSRegistrationDomain;
}

std::string domainPath(const std::string& name) {
  std::string file = name == NSGlobalDomain ? ".GlobalPreferences" : name;
  return NSUserDefaults::preferencesDirectory() + "/" + file + ".json";
}

// ---------------------------------------------------------------------------
// Values to and from the file format

Value tagged(const char* tag, Value body) {
  ValueMap m;
  m.emplace_back(Value(tag), std::move(body));
  return Value(std::move(m));
}

Value encodeValue(const Value& v) {
  switch (v.type()) {
    case Value::Type::Double: {
      double d = v.asDouble();
      if (std::isfinite(d)) return v;
      return tagged("$double", Value(std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf"));
    }
    case Value::Type::Bytes:
      return tagged("$data", Value(Base64Encode(v.asBytes().data(), v.asBytes().size())));
    case Value::Type::Object:
      return tagged("$date", Value(v.objectAs<NSDate>()->timeIntervalSince1970()));
    case Value::Type::List: {
      ValueList out;
      out.reserve(v.size());
      for (const Value& e : v.asList()) out.push_back(encodeValue(e));
      return Value(std::move(out));
    }
    case Value::Type::Map: {
      ValueMap out;
      out.reserve(v.size());
      for (const auto& [k, e] : v.asMap()) out.emplace_back(k, encodeValue(e));
      return tagged("$map", Value(std::move(out)));
    }
    default:
      return v;
  }
}

std::optional<Value> decodeValue(const Value& v);

std::optional<Value> decodeMap(const Value& body) {
  if (!body.isMap()) return std::nullopt;
  ValueMap out;
  out.reserve(body.size());
  for (const auto& [k, e] : body.asMap()) {
    auto decoded = decodeValue(e);
    if (!decoded) return std::nullopt;
    out.emplace_back(k, std::move(*decoded));
  }
  return Value(std::move(out));
}

std::optional<Value> decodeTagged(const std::string& tag, const Value& body) {
  if (tag == "$map") return decodeMap(body);
  if (tag == "$data" && body.isString()) {
    auto bytes = Base64Decode(body.asString());
    if (bytes) return Value::bytes(std::move(*bytes));
  }
  if (tag == "$date" && body.isNumber()) {
    return Value(NSDate::dateWithTimeIntervalSince1970(body.asDouble()));
  }
  if (tag == "$double" && body.isString()) {
    const std::string& s = body.asString();
    if (s == "nan") return Value(std::nan(""));
    if (s == "inf") return Value(HUGE_VAL);
    if (s == "-inf") return Value(-HUGE_VAL);
  }
  return std::nullopt;
}

std::optional<Value> decodeValue(const Value& v) {
  if (v.isMap()) {
    if (v.size() != 1 || !v.asMap()[0].first.isString()) return std::nullopt;
    return decodeTagged(v.asMap()[0].first.asString(), v.asMap()[0].second);
  }
  if (v.isList()) {
    ValueList out;
    out.reserve(v.size());
    for (const Value& e : v.asList()) {
      auto decoded = decodeValue(e);
      if (!decoded) return std::nullopt;
      out.push_back(std::move(*decoded));
    }
    return Value(std::move(out));
  }
  if (v.isNull()) return std::nullopt;
  return v;
}

// ---------------------------------------------------------------------------
// Domain files (called with the store's lock held)

FileStamp stampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FileStamp{};
  return FileStamp{st.st_ino, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                   st.st_size};
}

// The preferences folder locked against other processes for the scope.
class FolderLock {
 public:
  FolderLock() {
    const std::string dir = NSUserDefaults::preferencesDirectory();
    NSFileManager::defaultManager()->createDirectoryAtPath(dir, true);
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

// Removes "<file>.tmp-XXXXXX" files of one domain (called with the lock held).
void removeStaleTemporaryFiles(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = path.substr(0, slash);
  const std::string prefix = path.substr(slash + 1) + ".tmp-";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* entry = ::readdir(d)) {
    std::string name = entry->d_name;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
      ::unlink((dir + "/" + name).c_str());
    }
  }
  ::closedir(d);
}

void setAsideCorruptFile(const std::string& path, const std::string& why) {
  // link() never replaces an existing file, so each set-aside copy keeps its own name.
  std::string aside = path + ".corrupt";
  for (int n = 2; ::link(path.c_str(), aside.c_str()) != 0 && errno == EEXIST && n < 10000; ++n) {
    aside = path + ".corrupt-" + std::to_string(n);
  }
  ::unlink(path.c_str());
  os_log_with_type(defaultsLog(), OSLogType::Error,
                   "Preferences file " + path + " is unreadable (" + why +
                       "); starting with an empty domain, the old file is kept as " + aside);
}

ValueMap readDomainFile(const std::string& path) {
  Bytes bytes;
  NSErrorPtr error;
  if (!ReadFileContents(path, bytes, &error)) {
    // A path through something that is not a folder holds no file either;
    // the write that follows says why it cannot be made.
    if (error && error->code() != ENOENT && error->code() != ENOTDIR) {
      os_log_with_type(defaultsLog(), OSLogType::Error,
                       "Cannot read preferences file " + path + ": " + error->description());
    }
    return {};
  }
  std::string why;
  auto json = NSJSONSerialization::JSONObjectWithData(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &why);
  if (!json || !json->isMap()) {
    setAsideCorruptFile(path, json ? "not a JSON object" : why);
    return {};
  }
  auto decoded = decodeMap(*json);
  if (!decoded) {
    setAsideCorruptFile(path, "a value of unknown form");
    return {};
  }
  return decoded->asMap();
}

// Why the domain file could not be written, naming it, as the caller's error
// and a log line.
NSErrorPtr writeFailure(const std::string& path, int64_t code, const std::string& why) {
  const std::string message = "Cannot write preferences file " + path + ": " + why;
  os_log_with_type(defaultsLog(), OSLogType::Error, message);
  return NSError::errorWithDescription(NSPOSIXErrorDomain, code, message);
}

NSErrorPtr writeDomainFile(const std::string& name, const ValueMap& values) {
  const std::string path = domainPath(name);
  if (values.empty()) {
    if (FileIO::current()->unlink(path.c_str()) == 0 || errno == ENOENT) return nullptr;
    return writeFailure(path, errno, std::string("unlink: ") + std::strerror(errno));
  }
  ValueMap encoded;
  encoded.reserve(values.size());
  for (const auto& [k, v] : values) encoded.emplace_back(k, encodeValue(v));
  std::string why;
  auto text = NSJSONSerialization::dataWithJSONObject(Value(std::move(encoded)), true, &why);
  if (!text) return writeFailure(path, EINVAL, "cannot serialise: " + why);
  NSErrorPtr error;
  if (!NSFileManager::defaultManager()->createDirectoryAtPath(
          NSUserDefaults::preferencesDirectory(), true, &error) ||
      !WriteFileAtomically(*FileIO::current(), path, path + ".tmp-XXXXXX", text->data(),
                           text->size(), &error)) {
    return writeFailure(path, error ? error->code() : EIO,
                        error ? error->localizedDescription() : "unknown error");
  }
  return nullptr;
}

// `base` (what is on disk) with this process's changes applied.
ValueMap mergedOnto(ValueMap base, const Domain& d) {
  if (d.replaced) return d.values;
  for (const std::string& key : d.changed) {
    if (const Value* v = ValueMapFind(d.values, key)) {
      ValueMapSet(base, Value(key), *v);
    } else {
      std::erase_if(base, [&](const auto& e) { return e.first.isString() && e.first.asString() == key; });
    }
  }
  return base;
}

Domain& domainLocked(const std::string& name) REQUIRES(store().mutex) {
  Domain& d = store().domains[name];
  if (isVolatile(name)) {
    d.loaded = true;
    return d;
  }
  const std::string path = domainPath(name);
  if (d.loaded && stampOf(path) == d.stamp) return d;
  // First use, or another process wrote the file since: read it again.
  FolderLock lock;
  if (!d.loaded) removeStaleTemporaryFiles(path);
  d.loaded = true;
  d.values = readDomainFile(path);
  d.stamp = stampOf(path);
  return d;
}

// Writes the domain's changes over what is on disk; null on success.
NSErrorPtr persistLocked(const std::string& name, Domain& d) REQUIRES(store().mutex) {
  if (isVolatile(name)) return nullptr;
  const std::string path = domainPath(name);
  FolderLock lock;
  ValueMap merged = d.replaced ? d.values : mergedOnto(readDomainFile(path), d);
  if (NSErrorPtr error = writeDomainFile(name, merged)) return error;
  d.values = std::move(merged);
  d.changed.clear();
  d.replaced = false;
  d.stamp = stampOf(path);
  return nullptr;
}

// Applies `change` to the domain and writes it. A change that cannot be
// written is taken back, so that no reader is shown a value that a restart
// would lose, and the caller hears why.
bool changeLocked(const std::string& name, const std::function<void(Domain&)>& change,
                  NSErrorPtr* error) REQUIRES(store().mutex) {
  Domain& d = domainLocked(name);
  Domain before = d;
  change(d);
  NSErrorPtr failure = persistLocked(name, d);
  if (!failure) return true;
  d = std::move(before);
  if (error) *error = std::move(failure);
  return false;
}

std::vector<std::string> searchList(const std::string& own) {
  return {NSArgumentDomain, own, NSGlobalDomain, NSRegistrationDomain};
}

std::string executableName() {
  std::string path = ExecutablePath();
  if (path.empty()) return "application";
  return path.substr(path.find_last_of('/') + 1);
}

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.size() <= kMaxSuiteNameBytes &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// Names that can have a domain file.
bool isPersistentName(const std::string& name) {
  return name == NSGlobalDomain || isPlainFileName(name);
}

}  // namespace

// ---------------------------------------------------------------------------

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
  std::string name = applicationDomainName();
  MutexLock lock(store().mutex);
  if (!store().standard) store().standard = std::make_shared<NSUserDefaults>(name);
  return store().standard;
}

void NSUserDefaults::resetStandardUserDefaults() {
  MutexLock lock(store().mutex);
  store().domains.clear();
  store().standard.reset();
}

std::shared_ptr<NSUserDefaults> NSUserDefaults::initWithSuiteName(
    const std::optional<std::string>& suiteName) {
  std::string app = applicationDomainName();
  if (!suiteName) return std::make_shared<NSUserDefaults>(app);
  const std::string& name = *suiteName;
  if (name == NSGlobalDomain || name == app || isVolatile(name) || !isPlainFileName(name)) {
    return nullptr;
  }
  return std::make_shared<NSUserDefaults>(name);
}

std::string NSUserDefaults::applicationDomainName() {
  if (auto identifier = NSBundle::mainBundle()->bundleIdentifier()) return *identifier;
  static const std::string name = executableName();
  return name;
}

std::string NSUserDefaults::preferencesDirectory() {
  return NSFileManager::containerRoot() + "/Library/Preferences";
}

bool NSUserDefaults::isPropertyListValue(const Value& value, std::string* why) {
  auto refuse = [why](const std::string& what) {
    if (why) *why = what;
    return false;
  };
  switch (value.type()) {
    case Value::Type::Null:
      return refuse("null");
    case Value::Type::Int32List:
    case Value::Type::Int64List:
    case Value::Type::Float32List:
    case Value::Type::Float64List:
      return refuse("typed numeric data");
    case Value::Type::Object:
      if (value.objectAs<NSDate>()) return true;
      return refuse(value.asObject()->description());
    case Value::Type::List:
      for (const Value& e : value.asList()) {
        if (!isPropertyListValue(e, why)) return false;
      }
      return true;
    case Value::Type::Map:
      for (const auto& [k, e] : value.asMap()) {
        if (!k.isString()) return refuse("a map key that is not a string");
        if (!isPropertyListValue(e, why)) return false;
      }
      return true;
    default:
      return true;
  }
}

Value NSUserDefaults::objectForKey(const std::string& key) const {
  MutexLock lock(store().mutex);
  for (const std::string& name : searchList(domain_)) {
    if (const Value* v = ValueMapFind(domainLocked(name).values, key)) return *v;
  }
  return Value();
}

std::optional<std::string> NSUserDefaults::stringForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isString()) return v.asString();
  if (v.isNumber() || v.isBool()) return v.description();
  return std::nullopt;
}

bool NSUserDefaults::boolForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isBool()) return v.asBool();
  if (v.isNumber()) return v.asDouble() != 0;
  if (v.isString()) {
    const std::string& s = v.asString();
    return s == "YES" || s == "yes" || s == "true" || s == "TRUE" || std::atoi(s.c_str()) != 0;
  }
  return false;
}

int64_t NSUserDefaults::integerForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber() || v.isBool()) return v.asInt64();
  if (v.isString()) return std::strtoll(v.asString().c_str(), nullptr, 10);
  return 0;
}

double NSUserDefaults::doubleForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber() || v.isBool()) return v.asDouble();
  if (v.isString()) return std::strtod(v.asString().c_str(), nullptr);
  return 0;
}

bool NSUserDefaults::setObject(const Value& value, const std::string& key, NSErrorPtr* error) {
  if (value.isNull()) return removeObjectForKey(key, error);
  std::string why;
  if (!isPropertyListValue(value, &why)) {
    os_log_with_type(
        defaultsLog(), OSLogType::Error,
        "Refusing to store a value that is not a property list under \"" + key + "\": " + why);
    return false;
  }
  MutexLock lock(store().mutex);
  return changeLocked(
      domain_,
      [&](Domain& d) {
        ValueMapSet(d.values, Value(key), value);
        d.changed.insert(key);
      },
      error);
}

bool NSUserDefaults::removeObjectForKey(const std::string& key, NSErrorPtr* error) {
  MutexLock lock(store().mutex);
  auto held = [&](const auto& entry) {
    return entry.first.isString() && entry.first.asString() == key;
  };
  const ValueMap& values = domainLocked(domain_).values;
  if (std::find_if(values.begin(), values.end(), held) == values.end()) return true;
  return changeLocked(
      domain_,
      [&](Domain& d) {
        std::erase_if(d.values, held);
        d.changed.insert(key);
      },
      error);
}

ValueMap NSUserDefaults::dictionaryRepresentation() const {
  MutexLock lock(store().mutex);
  ValueMap merged;
  for (const std::string& name : searchList(domain_)) {
    for (const auto& [k, v] : domainLocked(name).values) {
      if (!ValueMapFind(merged, k.asString())) merged.emplace_back(k, v);
    }
  }
  return merged;
}

void NSUserDefaults::registerDefaults(const ValueMap& defaults) {
  MutexLock lock(store().mutex);
  Domain& d = domainLocked(NSRegistrationDomain);
  for (const auto& [k, v] : defaults) {
    if (k.isString() && !v.isNull()) ValueMapSet(d.values, k, v);
  }
}

std::optional<ValueMap> NSUserDefaults::persistentDomainForName(const std::string& name) const {
  if (!isPersistentName(name)) return std::nullopt;
  MutexLock lock(store().mutex);
  const Domain& d = domainLocked(name);
  if (d.values.empty()) return std::nullopt;
  return d.values;
}

bool NSUserDefaults::setPersistentDomain(const ValueMap& domain, const std::string& name,
                                         NSErrorPtr* error) {
  if (!isPersistentName(name)) return false;
  for (const auto& [k, v] : domain) {
    std::string why = "a key that is not a string";
    if (!k.isString() || !isPropertyListValue(v, &why)) {
      os_log_with_type(defaultsLog(), OSLogType::Error,
                       "Refusing to replace domain " + name + ": " + why);
      return false;
    }
  }
  MutexLock lock(store().mutex);
  return changeLocked(
      name,
      [&](Domain& d) {
        d.values = domain;
        d.replaced = true;
        d.changed.clear();
      },
      error);
}

bool NSUserDefaults::removePersistentDomainForName(const std::string& name, NSErrorPtr* error) {
  if (!isPersistentName(name)) return false;
  MutexLock lock(store().mutex);
  return changeLocked(
      name,
      [](Domain& d) {
        d.values.clear();
        d.replaced = true;
        d.changed.clear();
      },
      error);
}

void NSUserDefaults::setVolatileDomain(const ValueMap& domain, const std::string& name) {
  if (!isVolatile(name)) return;
  MutexLock lock(store().mutex);
  Domain& d = domainLocked(name);
  d.values.clear();
  for (const auto& [k, v] : domain) {
    if (k.isString() && !v.isNull()) ValueMapSet(d.values, k, v);
  }
}

// Every change is written before its setter returns: nothing is ever pending.
bool NSUserDefaults::synchronize() { return true; }
