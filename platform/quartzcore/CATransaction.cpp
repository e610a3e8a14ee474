#include "platform/quartzcore/CATransaction.h"

#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/quartzcore/CAAnimation.h"

namespace {

struct Frame {
  double duration = CAAnimation::kDefaultDuration;
  CAMediaTimingFunctionPtr timing;
  bool disableActions = false;
  std::shared_ptr<CACompletionGroup> group;
};

// Main thread only.
std::vector<Frame>& frames() {
  static std::vector<Frame> stack;
  return stack;
}

}  // namespace

void CATransaction::begin() {
  QX_DCHECK_MAIN_THREAD();
  Frame frame;
  if (!frames().empty()) {
    frame = frames().back();
    frame.group.reset();
  }
  frames().push_back(std::move(frame));
}

void CATransaction::commit() {
  QX_DCHECK_MAIN_THREAD();
  if (frames().empty()) return;
  auto group = std::move(frames().back().group);
  frames().pop_back();
  if (group) group->seal();
}

double CATransaction::animationDuration() {
  return frames().empty() ? CAAnimation::kDefaultDuration : frames().back().duration;
}

void CATransaction::setAnimationDuration(double duration) {
  QX_DCHECK_MAIN_THREAD();
  if (!frames().empty()) frames().back().duration = duration;
}

CAMediaTimingFunctionPtr CATransaction::animationTimingFunction() {
  return frames().empty() ? nullptr : frames().back().timing;
}

void CATransaction::setAnimationTimingFunction(CAMediaTimingFunctionPtr function) {
  QX_DCHECK_MAIN_THREAD();
  if (!frames().empty()) frames().back().timing = std::move(function);
}

bool CATransaction::disableActions() {
  return !frames().empty() && frames().back().disableActions;
}

void CATransaction::setDisableActions(bool disable) {
  QX_DCHECK_MAIN_THREAD();
  if (!frames().empty()) frames().back().disableActions = disable;
}

void CATransaction::setCompletionBlock(OnceClosure block) {
  QX_DCHECK_MAIN_THREAD();
  if (frames().empty()) return;
  frames().back().group = std::make_shared<CACompletionGroup>(
      [block = dispatch_bind_to_queue(dispatch_get_main_queue(), std::move(block))](bool) mutable {
        block();
      });
}

std::vector<std::shared_ptr<CACompletionGroup>> CATransaction::openCompletionGroups() {
  std::vector<std::shared_ptr<CACompletionGroup>> groups;
  for (const auto& f : frames()) {
    if (f.group) groups.push_back(f.group);
  }
  return groups;
}
