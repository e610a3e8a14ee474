#pragma once

// Groups layer changes. Values set between begin() and commit() apply to the
// animations added meanwhile: the duration and timing defaults that views
// read, and a completion block that runs once every animation added after it
// was set has stopped (on the main run loop; at once after commit when there
// were none). Main thread only, like the layers it governs.

#include <memory>
#include <vector>

#include "platform/foundation/OnceCallback.h"
#include "platform/quartzcore/CAMediaTimingFunction.h"

class CACompletionGroup;

class CATransaction {
 public:
  static void begin();
  // A commit without a begin is ignored.
  static void commit();
  static void flush() {}

  // 0.25 s outside any transaction.
  static double animationDuration();
  static void setAnimationDuration(double duration);
  static CAMediaTimingFunctionPtr animationTimingFunction();
  static void setAnimationTimingFunction(CAMediaTimingFunctionPtr function);
  static bool disableActions();
  static void setDisableActions(bool disable);
  static void setCompletionBlock(OnceClosure block);

  // The completion groups of the open transactions, innermost last: an
  // animation added now joins each.
  static std::vector<std::shared_ptr<CACompletionGroup>> openCompletionGroups();
};
