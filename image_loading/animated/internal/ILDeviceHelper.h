#pragma once

// Memory and screen facts of the device, as the animated-image player sizes
// its frame buffer from them.

#include <cstdint>

class ILDeviceHelper {
 public:
  // Physical memory in bytes.
  static uint64_t totalMemory();
  // Free pages times the page size; 0 when the host refuses the query.
  static uint64_t freeMemory();
  static double screenScale();
  // No extended dynamic range on this screen: 1.
  static double screenEDR();
  static double screenMaxEDR();
};
