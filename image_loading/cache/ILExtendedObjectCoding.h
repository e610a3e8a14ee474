#pragma once

// The typed serialisation of the extended object an image carries into the
// disk cache. Only registered types are written or read back: the stored
// form names its type, and reading an unknown type, a truncated record or
// bytes that the type's own reader refuses gives nullptr, so a file on disk
// can never make the process build an arbitrary object graph.
//
// Stored form: "ILX1", the type name's length (1 byte, 1..255), the name,
// then the type's own payload.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/foundation/ValueFwd.h"

class NSObject;

struct ILExtendedObjectType {
  std::string name;
  // Whether this type handles the object.
  std::function<bool(const NSObject&)> matches;
  std::function<std::optional<Bytes>(const NSObject&)> encode;
  // nullptr for a payload it refuses.
  std::function<std::shared_ptr<NSObject>(const Bytes&)> decode;
};

class ILExtendedObjectCoding {
 public:
  // A later registration under the same name replaces the earlier. NSData
  // is registered from the start.
  static void registerType(ILExtendedObjectType type);

  // nullopt with an error for an object of no registered type.
  static std::optional<Bytes> archive(const NSObject& object, NSErrorPtr* error = nullptr);
  static std::shared_ptr<NSObject> unarchive(const Bytes& bytes, NSErrorPtr* error = nullptr);
};
