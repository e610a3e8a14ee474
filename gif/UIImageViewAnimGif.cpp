#include "gif/UIImageViewAnimGif.h"

#include <vector>

#include "gif/AnimGifManager.h"
#include "gif/UIImageAnimGif.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIScreen.h"

namespace AnimGif {
namespace {

const char kPlaybackStateKey = 0;

// Everything a view keeps for playback, in one associated object so that a
// tick reads it with one look-up.
class PlaybackState : public NSObject {
 public:
  UIImagePtr gifImage;
  UIImagePtr currentImage;
  AnimGifManagerPtr manager;
  int64_t loopCount = 0;
  bool displaying = false;
  bool playing = false;
  int64_t slotTickCount = 0;
  int64_t displayIndex = 0;
  // Decoded frames by slot; null where a frame did not decode.
  std::vector<UIImagePtr> frameCache;
  bool frameCacheBuilt = false;
  std::weak_ptr<AnimGifDelegate> delegate;

  std::string className() const override { return "AnimGifPlaybackState"; }
};
using PlaybackStatePtr = std::shared_ptr<PlaybackState>;

PlaybackStatePtr stateOf(const UIImageView& view) {
  return view.associatedObject(&kPlaybackStateKey).objectAs<PlaybackState>();
}

PlaybackStatePtr ensureState(UIImageView& view) {
  if (auto state = stateOf(view)) return state;
  auto state = std::make_shared<PlaybackState>();
  view.setAssociatedObject(&kPlaybackStateKey, Value(state));
  return state;
}

void tell(const UIImageViewPtr& view, const PlaybackState& state,
          void (AnimGifDelegate::*message)(const UIImageViewPtr&)) {
  if (auto delegate = state.delegate.lock()) ((*delegate).*message)(view);
}

UIImagePtr decodeFrame(const CGImageSourceRef& source, int64_t index) {
  if (index < 0) return nullptr;
  CGImageRef frame = CGImageSourceCreateImageAtIndex(source, static_cast<size_t>(index));
  return frame ? UIImage::imageWithCGImage(frame) : nullptr;
}

void refreshCurrentImage(const UIImageView& view, PlaybackState& state) {
  const int64_t index = state.displayIndex;
  if (state.frameCacheBuilt && index >= 0 &&
      static_cast<uint64_t>(index) < state.frameCache.size() && state.frameCache[index]) {
    state.currentImage = state.frameCache[index];
    return;
  }
  state.currentImage = frameAtIndex(view, index);
}

void fillFrameCache(PlaybackState& state) {
  state.frameCache.clear();
  if (!state.gifImage) return;
  auto order = displayOrder(*state.gifImage);
  CGImageSourceRef source = imageSource(*state.gifImage);
  if (!order || !source) return;
  state.frameCache.reserve(order->size());
  for (int64_t frame : *order) state.frameCache.push_back(decodeFrame(source, frame));
}

// Ticks within the slot, then slots within the loop, then loops.
void advanceCounters(const UIImageViewPtr& view, PlaybackState& state) {
  if (!state.gifImage) return;
  const auto factor = displayRefreshFactor(*state.gifImage);
  if (!factor || *factor < 1) return;
  state.slotTickCount = (state.slotTickCount + 1) % *factor;
  if (state.slotTickCount != 0) return;
  const auto count = imageCount(*state.gifImage);
  if (!count || *count < 1) return;
  state.displayIndex = (state.displayIndex + 1) % *count;
  if (state.displayIndex != 0) return;
  if (state.loopCount == -1) {
    tell(view, state, &AnimGifDelegate::gifDidLoopWithSender);
  } else if (state.loopCount == 0) {
    // Played out already (a one-tick loop ends in the step that stops it):
    // counting on would turn 0 into -1, which plays forever.
  } else if (state.loopCount < 2) {
    tell(view, state, &AnimGifDelegate::gifDidStopWithSender);
    state.loopCount -= 1;
  } else {
    tell(view, state, &AnimGifDelegate::gifDidLoopWithSender);
    state.loopCount -= 1;
  }
}

// A view whose new GIF cannot play leaves the managers that drove its old
// one, which would otherwise keep showing and counting the old GIF.
void leaveManagers(const UIImageViewPtr& view, const AnimGifManagerPtr& previous,
                   const AnimGifManagerPtr& manager) {
  if (previous) previous->deleteImageView(view);
  if (manager && manager != previous) manager->deleteImageView(view);
}

}  // namespace

void setGifImage(const UIImageViewPtr& view, const UIImagePtr& gif,
                 const AnimGifManagerPtr& manager, int64_t loops) {
  QX_DCHECK_MAIN_THREAD();
  if (!view || !gif) return;
  auto state = ensureState(*view);
  const AnimGifManagerPtr previous = state->manager;
  if (NSDataPtr data = imageData(*gif)) {
    const auto count = imageCount(*gif);
    if (!count || *count < 1) {
      leaveManagers(view, previous, manager);
      view->setImage(UIImage::imageWithData(data));
      return;
    }
  }
  state->loopCount = loops;
  state->gifImage = gif;
  state->manager = manager;
  state->slotTickCount = 0;
  state->displayIndex = 0;
  state->frameCache.clear();
  state->frameCacheBuilt = false;
  // A view moving to another manager would otherwise be stepped by both.
  if (previous && previous != manager) previous->deleteImageView(view);

  CGImageSourceRef source = imageSource(*gif);
  UIImagePtr first = source ? decodeFrame(source, 0) : nullptr;
  if (!first) {
    leaveManagers(view, nullptr, manager);
    return;
  }
  state->currentImage = first;
  if (!manager || !manager->addImageView(view)) return;
  state->displaying = true;
  updateCache(view);
  state->playing = true;
  tell(view, *state, &AnimGifDelegate::gifDidStartWithSender);
}

void setImage(const UIImageViewPtr& view, const UIImagePtr& image,
              const AnimGifManagerPtr& manager, int64_t loops) {
  QX_DCHECK_MAIN_THREAD();
  if (!view) return;
  if (image && imageData(*image)) {
    setGifImage(view, image, manager, loops);
    return;
  }
  if (manager) manager->deleteImageView(view);
  view->setImage(image);
}

UIImageViewPtr imageViewWithGifImage(const UIImagePtr& gif, const AnimGifManagerPtr& manager,
                                     int64_t loops) {
  auto view = std::make_shared<UIImageView>();
  setGifImage(view, gif, manager, loops);
  return view;
}

void startAnimatingGif(const UIImageViewPtr& view) {
  QX_DCHECK_MAIN_THREAD();
  auto state = ensureState(*view);
  state->playing = true;
  tell(view, *state, &AnimGifDelegate::gifDidStartWithSender);
}

void stopAnimatingGif(const UIImageViewPtr& view) {
  QX_DCHECK_MAIN_THREAD();
  ensureState(*view)->playing = false;
}

bool isAnimatingGif(const UIImageView& view) {
  auto state = stateOf(view);
  return state && state->playing;
}

void updateCurrentImage(const UIImageViewPtr& view) {
  QX_DCHECK_MAIN_THREAD();
  auto state = stateOf(*view);
  if (!state) return;
  if (state->displaying) {
    refreshCurrentImage(*view, *state);
    advanceCounters(view, *state);
    if (state->loopCount != 0 && isDisplayedInScreen(*view, view.get()) && state->playing) return;
    state->displaying = false;
    updateCache(view);
    return;
  }
  if (isDisplayedInScreen(*view, view.get()) && state->loopCount != 0 && state->playing) {
    state->displaying = true;
    updateCache(view);
  }
  if (!view->superview()) {
    if (auto manager = state->manager) manager->deleteImageView(view);
  }
}

void updateCache(const UIImageViewPtr& view) {
  QX_DCHECK_MAIN_THREAD();
  auto state = stateOf(*view);
  if (!state || !state->manager) return;
  const bool allowed = state->manager->hasCache(view);
  if (allowed && !state->frameCacheBuilt) {
    fillFrameCache(*state);
    state->frameCacheBuilt = true;
  } else if (!allowed && state->frameCacheBuilt) {
    state->frameCache.clear();
    state->frameCacheBuilt = false;
  }
}

void showFrameAtIndex(const UIImageViewPtr& view, int64_t index) {
  QX_DCHECK_MAIN_THREAD();
  auto state = ensureState(*view);
  state->displayIndex = index;
  refreshCurrentImage(*view, *state);
}

void showFrameForIndexDelta(const UIImageViewPtr& view, int64_t delta) {
  QX_DCHECK_MAIN_THREAD();
  auto state = stateOf(*view);
  if (!state || !state->gifImage) return;
  const int64_t count = framesCount(*state->gifImage);
  if (count < 1) return;
  int64_t n = (state->displayIndex % count + delta % count) % count;
  if (n < 0) n += count;
  state->displayIndex = n;
  refreshCurrentImage(*view, *state);
}

int64_t currentFrameIndex(const UIImageView& view) {
  auto state = stateOf(view);
  return state ? state->displayIndex : 0;
}

UIImagePtr frameAtIndex(const UIImageView& view, int64_t index) {
  auto state = stateOf(view);
  UIImagePtr gif = state ? state->gifImage : nullptr;
  CGImageSourceRef source = gif ? imageSource(*gif) : nullptr;
  auto frame = gif ? displayOrderFrame(*gif, index) : std::nullopt;
  UIImagePtr image = source && frame ? decodeFrame(source, *frame) : nullptr;
  return image ? image : std::make_shared<UIImage>();
}

bool isDisplayedInScreen(const UIImageView& view, const UIView* imageView) {
  if (view.isHidden() || !imageView) return false;
  const CGRect onScreen = CGRectIntersection(imageView->convertRectToView(view.bounds(), nullptr),
                                             UIScreen::mainScreen()->bounds());
  if (!view.window() || CGRectIsEmpty(onScreen)) return false;
  return !CGRectIsNull(onScreen);
}

bool isDiscarded(const UIView* imageView) { return !imageView || !imageView->superview(); }

void clear(const UIImageViewPtr& view) {
  QX_DCHECK_MAIN_THREAD();
  if (auto state = stateOf(*view)) {
    // A cleared view has nothing to play: left in its manager it would keep
    // its share of the budget and the display link running for good, since
    // the tick that drops views without a superview needs the manager it
    // loses here.
    if (state->manager) state->manager->deleteImageView(view);
    if (state->gifImage) clear(*state->gifImage);
    state->gifImage = nullptr;
    state->currentImage = nullptr;
    state->frameCache.clear();
    state->manager = nullptr;
  }
  view->setImage(nullptr);
}

UIImagePtr gifImage(const UIImageView& view) {
  auto state = stateOf(view);
  return state ? state->gifImage : nullptr;
}

void setGifImage(const UIImageViewPtr& view, const UIImagePtr& gif) {
  QX_DCHECK_MAIN_THREAD();
  ensureState(*view)->gifImage = gif;
}

UIImagePtr currentImage(const UIImageView& view) {
  auto state = stateOf(view);
  return state ? state->currentImage : nullptr;
}

void setCurrentImage(const UIImageViewPtr& view, const UIImagePtr& image) {
  QX_DCHECK_MAIN_THREAD();
  ensureState(*view)->currentImage = image;
}

AnimGifManagerPtr animationManager(const UIImageView& view) {
  auto state = stateOf(view);
  return state ? state->manager : nullptr;
}

void setAnimationManager(const UIImageViewPtr& view, const AnimGifManagerPtr& manager) {
  QX_DCHECK_MAIN_THREAD();
  ensureState(*view)->manager = manager;
}

int64_t loopCount(const UIImageView& view) {
  auto state = stateOf(view);
  return state ? state->loopCount : 0;
}

void setLoopCount(const UIImageViewPtr& view, int64_t loops) {
  QX_DCHECK_MAIN_THREAD();
  ensureState(*view)->loopCount = loops;
}

bool displaying(const UIImageView& view) {
  auto state = stateOf(view);
  return state && state->displaying;
}

void setDisplaying(const UIImageViewPtr& view, bool displaying) {
  QX_DCHECK_MAIN_THREAD();
  ensureState(*view)->displaying = displaying;
}

std::shared_ptr<AnimGifDelegate> delegate(const UIImageView& view) {
  auto state = stateOf(view);
  return state ? state->delegate.lock() : nullptr;
}

void setDelegate(const UIImageViewPtr& view, const std::shared_ptr<AnimGifDelegate>& delegate) {
  QX_DCHECK_MAIN_THREAD();
  ensureState(*view)->delegate = delegate;
}

bool frameCacheBuilt(const UIImageView& view) {
  auto state = stateOf(view);
  return state && state->frameCacheBuilt;
}

}  // namespace AnimGif
