#pragma once

// GIF playback on image views. A view given a GIF image (UIImageAnimGif.h)
// and a manager keeps its own playback state: the GIF, the frame to show at
// the next tick, the tick within the current display slot, the slot, the
// loops left, whether it plays and whether it is on screen, and an optional
// cache of decoded frames. Each tick of the manager shows the current frame,
// steps the counters, counts loops for the delegate, and drops or rebuilds
// the frame cache as the view leaves or enters the screen. A view that is
// hidden, outside every window or off the main screen is not stepped; it
// resumes at the same slot when it comes back.
//
// The state lives in the view's associated objects. Main thread only.

#include <cstdint>
#include <memory>

#include "platform/foundation/NSError.h"

class AnimGifManager;
class NSURL;
class NSURLSession;
class NSURLSessionDataTask;
class UIImage;
class UIImageView;
class UIView;
using AnimGifManagerPtr = std::shared_ptr<AnimGifManager>;
using NSURLPtr = std::shared_ptr<NSURL>;
using NSURLSessionPtr = std::shared_ptr<NSURLSession>;
using NSURLSessionDataTaskPtr = std::shared_ptr<NSURLSessionDataTask>;
using UIImagePtr = std::shared_ptr<UIImage>;
using UIImageViewPtr = std::shared_ptr<UIImageView>;
using UIViewPtr = std::shared_ptr<UIView>;

// What a playing view tells; every method is optional.
class AnimGifDelegate {
 public:
  virtual ~AnimGifDelegate() = default;
  // The view was newly added to its manager, or playback was (re)started.
  virtual void gifDidStartWithSender(const UIImageViewPtr&) {}
  // A loop ended and more follow.
  virtual void gifDidLoopWithSender(const UIImageViewPtr&) {}
  // The last loop ended.
  virtual void gifDidStopWithSender(const UIImageViewPtr&) {}
  // A URL load finished and playback started.
  virtual void gifURLDidFinishWithSender(const UIImageViewPtr&) {}
  // A URL load failed; the error may be null.
  virtual void gifURLDidFailWithSender(const UIImageViewPtr&, const NSURLPtr&,
                                       const NSErrorPtr&) {}
};

namespace AnimGif {

// --- Playback ---
// Plays `gifImage` under `manager`, `loopCount` loops (-1: forever). A GIF
// without a usable schedule is shown as a still image, outside any manager.
void setGifImage(const UIImageViewPtr& view, const UIImagePtr& gifImage,
                 const AnimGifManagerPtr& manager, int64_t loopCount);
// setGifImage for a GIF image; any other image is shown plainly and the view
// leaves the manager.
void setImage(const UIImageViewPtr& view, const UIImagePtr& image,
              const AnimGifManagerPtr& manager, int64_t loopCount);
// A new plain image view playing `gifImage`.
UIImageViewPtr imageViewWithGifImage(const UIImagePtr& gifImage,
                                     const AnimGifManagerPtr& manager, int64_t loopCount);
void startAnimatingGif(const UIImageViewPtr& view);
void stopAnimatingGif(const UIImageViewPtr& view);
bool isAnimatingGif(const UIImageView& view);

// The per-tick step, run by the manager's tick for playing views.
void updateCurrentImage(const UIImageViewPtr& view);
// Fills or empties the frame cache as the manager's budget says.
void updateCache(const UIImageViewPtr& view);

void showFrameAtIndex(const UIImageViewPtr& view, int64_t index);
// Moves by `delta` slots, wrapping round the loop; nothing without slots.
void showFrameForIndexDelta(const UIImageViewPtr& view, int64_t delta);
int64_t currentFrameIndex(const UIImageView& view);
// The decoded frame of a slot; an empty image when there is none.
UIImagePtr frameAtIndex(const UIImageView& view, int64_t index);

// Whether `view` is shown on the main screen, measured through `imageView`
// (usually the view itself): not hidden, in a window, and overlapping the
// screen's bounds.
bool isDisplayedInScreen(const UIImageView& view, const UIView* imageView);
// True when `imageView` is null or has no superview.
bool isDiscarded(const UIView* imageView);

// Empties the view of its GIF: the GIF image's properties, the GIF, the
// current frame, the frame cache and the manager; shows no image. Flags,
// counters and the manager's list stay as they are.
void clear(const UIImageViewPtr& view);

// --- Properties ---
UIImagePtr gifImage(const UIImageView& view);
// The property alone; playback is the four-argument setGifImage.
void setGifImage(const UIImageViewPtr& view, const UIImagePtr& gifImage);
UIImagePtr currentImage(const UIImageView& view);
void setCurrentImage(const UIImageViewPtr& view, const UIImagePtr& image);
AnimGifManagerPtr animationManager(const UIImageView& view);
void setAnimationManager(const UIImageViewPtr& view, const AnimGifManagerPtr& manager);
int64_t loopCount(const UIImageView& view);
void setLoopCount(const UIImageViewPtr& view, int64_t loopCount);
bool displaying(const UIImageView& view);
void setDisplaying(const UIImageViewPtr& view, bool displaying);
// Held weakly.
std::shared_ptr<AnimGifDelegate> delegate(const UIImageView& view);
void setDelegate(const UIImageViewPtr& view, const std::shared_ptr<AnimGifDelegate>& delegate);
// Whether the frame cache currently holds the GIF's frames.
bool frameCacheBuilt(const UIImageView& view);

// --- Loading from URLs ---
// Plays the GIF at `url`: from the manager's remote cache when it holds the
// bytes (answering no task), else downloaded through `session` while a
// loading indicator (`customLoader`, or a spinner) is centred on the view.
// Success and failure reach the delegate on the main thread; a response
// outside 2xx and bytes that are not an image are failures and are not
// cached.
NSURLSessionDataTaskPtr setGifFromURL(const UIImageViewPtr& view, const NSURLPtr& url,
                                      const AnimGifManagerPtr& manager, int64_t loopCount,
                                      float levelOfIntegrity, const NSURLSessionPtr& session,
                                      bool showLoader, const UIViewPtr& customLoader);
// A new plain image view loading `url` through the shared session with a
// spinner, at the default level of integrity.
UIImageViewPtr imageViewWithGifURL(const NSURLPtr& url, const AnimGifManagerPtr& manager,
                                   int64_t loopCount);

}  // namespace AnimGif
