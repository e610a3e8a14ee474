#pragma once

// Counts what operator new hands out in this test program (it replaces the
// global allocation functions), so a test can tell how much memory a step
// took at its peak without timing or guessing.

#include <cstddef>

namespace imageio_test {

class AllocationCounter {
 public:
  AllocationCounter();
  // The most bytes allocated at once since construction, beyond what was
  // allocated then.
  size_t peakBytes() const;
  // Every byte handed out since construction, whether freed since or not.
  size_t allocatedBytes() const;

 private:
  size_t baseline_;
  size_t totalBaseline_;
};

}  // namespace imageio_test
