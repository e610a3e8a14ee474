#pragma once

// Root of the stand-in object model: identity equality by default, a textual
// description, and the associated-object table that categories use to attach
// per-object state under a process-wide key.

#include <memory>
#include <string>
#include <typeinfo>

#include "ValueFwd.h"
#include "platform/foundation/Mutex.h"

class NSObject : public std::enable_shared_from_this<NSObject> {
 public:
  NSObject();
  // Identity and associations stay with the object: a copy starts bare.
  NSObject(const NSObject&);
  NSObject& operator=(const NSObject&) { return *this; }
  virtual ~NSObject();

  virtual bool isEqual(const NSObject& other) const { return this == &other; }
  virtual size_t hash() const { return reinterpret_cast<size_t>(this); }
  virtual std::string description() const;
  // Unqualified class name, as the runtime would print it.
  virtual std::string className() const;

  // Associated objects: keys are addresses of process-wide statics. Reading a
  // key that was never set answers null (nil, NO, 0).
  void setAssociatedObject(const void* key, Value value);
  Value associatedObject(const void* key) const;
  void removeAssociatedObjects();

 private:
  struct Associations;
  mutable Mutex associatedMutex_;
  // Allocated on the first association, so a plain object stays small.
  std::unique_ptr<Associations> associated_ GUARDED_BY(associatedMutex_);
};

// Demangled, namespace-free name of a polymorphic object's dynamic type.
std::string NSObjectTypeName(const std::type_info& info);
