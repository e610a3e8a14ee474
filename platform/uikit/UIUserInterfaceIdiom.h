#pragma once

// The kind of interface the application presents, with the platform's raw
// values. Apart from UIDevice.h so that the traits every view carries do not
// bring the device, its battery and its notifications into every object.

#include <cstdint>

enum UIUserInterfaceIdiom : int64_t {
  UIUserInterfaceIdiomUnspecified = -1,
  UIUserInterfaceIdiomPhone = 0,
  UIUserInterfaceIdiomPad = 1,
};
