#pragma once

// One notification as observers receive it. Its own header, so that code that
// only registers and posts by name does not compile Value; the user info is
// held out of line so that observers that do not read it need no Value either.

#include <memory>
#include <string>

#include "NSObject.h"
#include "ValueFwd.h"

struct NSNotification {
  NSNotification(std::string name, std::shared_ptr<NSObject> object, Value userInfo);

  std::string name;
  std::shared_ptr<NSObject> object;  // the sender, or nullptr
  // What the poster attached; a null value when nothing was.
  const Value& userInfo() const { return *userInfo_; }

 private:
  std::shared_ptr<const Value> userInfo_;
};
