#include "image_loading/categories/internal/ILRemoteImageTransition.h"

#include "platform/uikit/UIViewAnimation.h"

namespace {

std::shared_ptr<ILRemoteImageTransition> preset(uint64_t transitionOption, double duration) {
  auto transition = std::make_shared<ILRemoteImageTransition>();
  transition->duration = duration;
  transition->animationOptions = transitionOption | UIViewAnimationOptionAllowUserInteraction;
  return transition;
}

}  // namespace

std::shared_ptr<ILRemoteImageTransition> ILRemoteImageTransition::fadeTransition(double duration) {
  return preset(UIViewAnimationOptionTransitionCrossDissolve, duration);
}

std::shared_ptr<ILRemoteImageTransition> ILRemoteImageTransition::flipFromLeftTransition(
    double duration) {
  return preset(UIViewAnimationOptionTransitionFlipFromLeft, duration);
}

std::shared_ptr<ILRemoteImageTransition> ILRemoteImageTransition::flipFromRightTransition(
    double duration) {
  return preset(UIViewAnimationOptionTransitionFlipFromRight, duration);
}

std::shared_ptr<ILRemoteImageTransition> ILRemoteImageTransition::flipFromTopTransition(
    double duration) {
  return preset(UIViewAnimationOptionTransitionFlipFromTop, duration);
}

std::shared_ptr<ILRemoteImageTransition> ILRemoteImageTransition::flipFromBottomTransition(
    double duration) {
  return preset(UIViewAnimationOptionTransitionFlipFromBottom, duration);
}

std::shared_ptr<ILRemoteImageTransition> ILRemoteImageTransition::curlUpTransition(
    double duration) {
  return preset(UIViewAnimationOptionTransitionCurlUp, duration);
}

std::shared_ptr<ILRemoteImageTransition> ILRemoteImageTransition::curlDownTransition(
    double duration) {
  return preset(UIViewAnimationOptionTransitionCurlDown, duration);
}
