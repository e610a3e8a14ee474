#pragma once

// How a view changes from its old image to a newly loaded one: two chained
// view transitions, a zero-length one that runs `prepares`, then one of
// `duration` and `animationOptions` that sets the image (unless
// `avoidAutoSetImage`), runs `animations`, and at its end `completion`.

#include <cstdint>
#include <functional>
#include <memory>

#include "image_loading/cache/ILImageCacheProtocol.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"

class UIImage;
class UIView;
class CAMediaTimingFunction;

class ILRemoteImageTransition : public NSObject {
 public:
  using Prepares = std::function<void(UIView& view, const std::shared_ptr<UIImage>& image,
                                      const NSDataPtr& data, ILImageCacheKind cacheType,
                                      const NSURLPtr& imageURL)>;
  using Animations = std::function<void(UIView& view, const std::shared_ptr<UIImage>& image)>;
  // Copyable: one transition serves every load it is given to.
  using Completion = std::function<void(bool finished)>;

  static std::shared_ptr<ILRemoteImageTransition> fadeTransition(double duration = 0.5);
  static std::shared_ptr<ILRemoteImageTransition> flipFromLeftTransition(double duration = 0.5);
  static std::shared_ptr<ILRemoteImageTransition> flipFromRightTransition(double duration = 0.5);
  static std::shared_ptr<ILRemoteImageTransition> flipFromTopTransition(double duration = 0.5);
  static std::shared_ptr<ILRemoteImageTransition> flipFromBottomTransition(double duration = 0.5);
  static std::shared_ptr<ILRemoteImageTransition> curlUpTransition(double duration = 0.5);
  static std::shared_ptr<ILRemoteImageTransition> curlDownTransition(double duration = 0.5);

  // The animations set the image themselves.
  bool avoidAutoSetImage = false;
  double duration = 0.5;
  // Kept for callers; the view transition does not use it.
  std::shared_ptr<CAMediaTimingFunction> timingFunction;
  // UIViewAnimationOptions bits.
  uint64_t animationOptions = 0;
  Prepares prepares;
  Animations animations;
  Completion completion;

  std::string className() const override { return "ILRemoteImageTransition"; }
};

using ILRemoteImageTransitionPtr = std::shared_ptr<ILRemoteImageTransition>;
