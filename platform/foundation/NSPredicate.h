#pragma once
// Predicates and sort descriptors over objects. A predicate is a block with
// the format text it stands for (for messages and tests); sort descriptors
// name a key whose values the caller reads.

#include <functional>
#include <memory>
#include <string>

#include "NSObject.h"
#include "ValueFwd.h"

class NSPredicate : public NSObject {
 public:
  using Block = std::function<bool(const std::shared_ptr<NSObject>&)>;
  NSPredicate(std::string format, Block block)
      : format_(std::move(format)), block_(std::move(block)) {}
  static std::shared_ptr<NSPredicate> predicateWithBlock(std::string format, Block block) {
    return std::make_shared<NSPredicate>(std::move(format), std::move(block));
  }
  bool evaluateWithObject(const std::shared_ptr<NSObject>& object) const {
    return block_ && block_(object);
  }
  const std::string& predicateFormat() const { return format_; }
  std::string description() const override { return format_; }
  std::string className() const override { return "NSPredicate"; }

 private:
  std::string format_;
  Block block_;
};
using NSPredicatePtr = std::shared_ptr<NSPredicate>;

struct NSSortDescriptor {
  std::string key;
  bool ascending = true;
  // <0, 0, >0 as `a` sorts before, with or after `b`: numbers by value,
  // strings bytewise, null before everything else; descending reverses it.
  int compare(const Value& a, const Value& b) const;
};
