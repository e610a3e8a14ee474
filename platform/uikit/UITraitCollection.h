#pragma once

// The traits a view lays out for: the screen's scale, the device idiom, the
// size classes of its window and the light or dark appearance.

#include "platform/uikit/UIUserInterfaceIdiom.h"

enum UIUserInterfaceSizeClass : int64_t {
  UIUserInterfaceSizeClassUnspecified = 0,
  UIUserInterfaceSizeClassCompact = 1,
  UIUserInterfaceSizeClassRegular = 2,
};

enum UIUserInterfaceStyle : int64_t {
  UIUserInterfaceStyleUnspecified = 0,
  UIUserInterfaceStyleLight = 1,
  UIUserInterfaceStyleDark = 2,
};

struct UITraitCollection {
  // The traits dynamic colours resolve with on this thread (unspecified
  // style reads as light), and setting them, as drawing code does around a
  // view's drawing.
  static UITraitCollection currentTraitCollection();
  static void setCurrentTraitCollection(const UITraitCollection& traits);
  static UITraitCollection traitCollectionWithUserInterfaceStyle(UIUserInterfaceStyle style) {
    UITraitCollection t;
    t.userInterfaceStyle = style;
    return t;
  }

  double displayScale = 0;
  UIUserInterfaceStyle userInterfaceStyle = UIUserInterfaceStyleUnspecified;
  UIUserInterfaceIdiom userInterfaceIdiom = UIUserInterfaceIdiomUnspecified;
  UIUserInterfaceSizeClass horizontalSizeClass = UIUserInterfaceSizeClassUnspecified;
  UIUserInterfaceSizeClass verticalSizeClass = UIUserInterfaceSizeClassUnspecified;
  bool operator==(const UITraitCollection&) const = default;
};
