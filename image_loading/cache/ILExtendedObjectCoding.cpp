#include "image_loading/cache/ILExtendedObjectCoding.h"

#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/ThreadChecks.h"

namespace {

constexpr char kMagic[4] = {'I', 'L', 'X', '1'};
constexpr int64_t kCodingErrorCode = 4864;  // the platform's "cannot decode" code

struct Registry {
  Mutex lock;
  std::vector<ILExtendedObjectType> types GUARDED_BY(lock);

  Registry() {
    types.push_back({"NSData",
                     [](const NSObject& o) { return dynamic_cast<const NSData*>(&o) != nullptr; },
                     [](const NSObject& o) -> std::optional<Bytes> {
                       return static_cast<const NSData&>(o).vector();
                     },
                     [](const Bytes& b) -> std::shared_ptr<NSObject> {
                       return NSData::dataWithBytes(b);
                     }});
  }
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

void fail(NSErrorPtr* error, const std::string& message) {
  if (error) *error = NSError::errorWithDescription(NSCocoaErrorDomain, kCodingErrorCode, message);
}

}  // namespace

void ILExtendedObjectCoding::registerType(ILExtendedObjectType type) {
  Registry& r = registry();
  MutexLock lock(r.lock);
  for (auto& existing : r.types) {
    if (existing.name == type.name) {
      existing = std::move(type);
      return;
    }
  }
  r.types.push_back(std::move(type));
}

std::optional<Bytes> ILExtendedObjectCoding::archive(const NSObject& object, NSErrorPtr* error) {
  ILExtendedObjectType type;
  {
    Registry& r = registry();
    MutexLock lock(r.lock);
    // The latest registration wins, so an application type can take over.
    for (auto it = r.types.rbegin(); it != r.types.rend(); ++it) {
      if (it->matches(object)) {
        type = *it;
        break;
      }
    }
  }
  if (type.name.empty() || type.name.size() > 255) {
    fail(error, "The object's type is not registered for archiving.");
    return std::nullopt;
  }
  std::optional<Bytes> payload = type.encode(object);
  if (!payload) {
    fail(error, "The " + type.name + " object could not be archived.");
    return std::nullopt;
  }
  Bytes out(kMagic, kMagic + 4);
  out.push_back(static_cast<uint8_t>(type.name.size()));
  out.insert(out.end(), type.name.begin(), type.name.end());
  out.insert(out.end(), payload->begin(), payload->end());
  return out;
}

std::shared_ptr<NSObject> ILExtendedObjectCoding::unarchive(const Bytes& bytes,
                                                            NSErrorPtr* error) {
  if (bytes.size() < 5 || !std::equal(kMagic, kMagic + 4, bytes.begin())) {
    fail(error, "The data is not an archived extended object.");
    return nullptr;
  }
  const size_t nameLength = bytes[4];
  if (nameLength == 0 || bytes.size() < 5 + nameLength) {
    fail(error, "The archived extended object is truncated.");
    return nullptr;
  }
  const std::string name(bytes.begin() + 5, bytes.begin() + 5 + static_cast<long>(nameLength));
  std::function<std::shared_ptr<NSObject>(const Bytes&)> decode;
  {
    Registry& r = registry();
    MutexLock lock(r.lock);
    for (const auto& type : r.types)
      if (type.name == name) decode = type.decode;
  }
  if (!decode) {
    fail(error, "The archived type " + name + " is not registered.");
    return nullptr;
  }
  auto object = decode(Bytes(bytes.begin() + 5 + static_cast<long>(nameLength), bytes.end()));
  if (!object) fail(error, "The archived " + name + " object could not be read.");
  return object;
}
