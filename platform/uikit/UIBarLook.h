#pragma once

// The values of the navigation bar's appearance proxy
// (UINavigationBar::appearance()), which bars take when they are made. Kept
// apart from UINavigationBar.h because the title attributes hold values.

#include <optional>

#include "platform/foundation/Value.h"
#include "platform/uikit/NSTextTypes.h"
#include "platform/uikit/UIColor.h"

// The look shared by bars (the appearance proxy's values).
struct UIBarLook {
  std::optional<UIColorPtr> tintColor;
  std::optional<UIColorPtr> barTintColor;
  std::optional<bool> translucent;
  std::optional<NSAttributeDictionary> titleTextAttributes;
};
