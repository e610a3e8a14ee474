#pragma once

// The traits a view lays out for: the screen's scale, the device idiom and
// the size classes of its window.

#include "platform/uikit/UIDevice.h"

enum UIUserInterfaceSizeClass : int64_t {
  UIUserInterfaceSizeClassUnspecified = 0,
  UIUserInterfaceSizeClassCompact = 1,
  UIUserInterfaceSizeClassRegular = 2,
};

struct UITraitCollection {
  double displayScale = 0;
  UIUserInterfaceIdiom userInterfaceIdiom = UIUserInterfaceIdiomUnspecified;
  UIUserInterfaceSizeClass horizontalSizeClass = UIUserInterfaceSizeClassUnspecified;
  UIUserInterfaceSizeClass verticalSizeClass = UIUserInterfaceSizeClassUnspecified;
  bool operator==(const UITraitCollection&) const = default;
};
