#pragma once

// One notification as observers receive it. Its own header, so that code that
// only registers and posts by name does not compile Value.

#include <memory>
#include <string>

#include "NSObject.h"
#include "Value.h"

struct NSNotification {
  std::string name;
  std::shared_ptr<NSObject> object;  // the sender, or nullptr
  Value userInfo;
};
