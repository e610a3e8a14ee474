#include "image_loading/categories/internal/UIViewRemoteCache.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/cache/ILImageCacheConfig.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSProgress.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImageView.h"

// ---------------------------------------------------------------------------
// Load state.

NSURLPtr ILRemoteImageLoadState::url() const {
  MutexLock lock(mutex_);
  return url_;
}

void ILRemoteImageLoadState::setUrl(NSURLPtr url) {
  MutexLock lock(mutex_);
  url_ = std::move(url);
}

std::shared_ptr<NSProgress> ILRemoteImageLoadState::progress() const {
  MutexLock lock(mutex_);
  return progress_;
}

void ILRemoteImageLoadState::setProgress(std::shared_ptr<NSProgress> progress) {
  MutexLock lock(mutex_);
  progress_ = std::move(progress);
}

namespace {

// What a view keeps of its loads, attached to it once.
class ViewLoading : public NSObject {
 public:
  Mutex mutex;
  std::optional<std::string> latestKey GUARDED_BY(mutex);
  ILRemoteImageTransitionPtr transition GUARDED_BY(mutex);
  ILRemoteImageIndicatorPtr indicator GUARDED_BY(mutex);
  std::map<std::string, std::weak_ptr<ILRemoteImageOperation>> operations GUARDED_BY(mutex);
  std::map<std::string, ILRemoteImageLoadStatePtr> states GUARDED_BY(mutex);
  // Per key, how many loads have replaced (cancelled) the one before: a
  // result or transition of an older load is stale.
  std::map<std::string, uint64_t> generations GUARDED_BY(mutex);
  std::string className() const override { return "ViewLoading"; }
};

const char kViewLoadingKey = 0;

ViewLoading& loadingOf(const UIView& view) {
  // Serialises the first attachment; the tables have their own lock after.
  static Mutex attachMutex;  // guards the first attachment of a view's table
  MutexLock lock(attachMutex);
  auto& object = const_cast<UIView&>(view);
  Value attached = object.associatedObject(&kViewLoadingKey);
  if (attached.isObject()) return *attached.objectAs<ViewLoading>();
  auto created = std::make_shared<ViewLoading>();
  object.setAssociatedObject(&kViewLoadingKey, Value(std::shared_ptr<NSObject>(created)));
  // The view holds it for the rest of its life.
  return *created;
}

std::string keyOrClassName(const UIView& view, const std::string& key) {
  return key.empty() ? view.className() : key;
}

uint64_t generationOf(const UIView& view, const std::string& key) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  return loading.generations[keyOrClassName(view, key)];
}

uint64_t replaceLoad(const UIView& view, const std::string& key) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  return ++loading.generations[keyOrClassName(view, key)];
}

std::shared_ptr<ILCallbackQueue> orMainQueue(const std::shared_ptr<ILCallbackQueue>& queue) {
  return queue ? queue : ILCallbackQueue::mainQueue();
}

// The context without one key.
ILRemoteImageContext withoutKey(const ILRemoteImageContext& context, const char* key) {
  ValueMap map;
  for (const auto& [k, v] : context.asMap()) {
    if (!(k.isString() && k.asString() == key)) ValueMapSet(map, k, v);
  }
  return Value(std::move(map));
}

// Indicator progress: received over expected, 0 while the length is
// unknown, never outside 0...1.
double indicatorProgress(int64_t received, int64_t expected) {
  if (expected == 0) return 0;
  const double value = double(received) / double(expected);
  return std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0;
}

void warmWeakMemoryCache(const ILRemoteImageManager& manager, const NSURLPtr& url,
                         const ILRemoteImageContext& context) {
  auto cache = std::dynamic_pointer_cast<ILImageCache>(manager.imageCache());
  if (!cache || !cache->config() || !cache->config()->shouldUseWeakMemoryCache) return;
  // Lets the memory cache take back an image still alive elsewhere before
  // the real query runs; the answer itself is not needed.
  cache->imageFromMemoryCacheForKey(manager.cacheKeyForURL(url, context));
}

ILRemoteImageProgressBlock makeProgressBlock(ILRemoteImageLoadStatePtr state,
                                             ILRemoteImageIndicatorPtr indicator,
                                             ILRemoteImageProgressBlock progress) {
  return [state, indicator, progress](int64_t received, int64_t expected, const NSURLPtr& target) {
    if (auto counts = state->progress()) {
      counts->setTotalUnitCount(expected);
      counts->setCompletedUnitCount(received);
    }
    if (indicator && indicator->respondsToUpdateIndicatorProgress()) {
      const double value = indicatorProgress(received, expected);
      dispatch_async(dispatch_get_main_queue(),
                     [indicator, value] { indicator->updateIndicatorProgress(value); });
    }
    if (progress) progress(received, expected, target);
  };
}

ILRemoteImageTransitionPtr transitionFor(const UIView& view, ILRemoteImageOptions options,
                                         ILImageCacheKind cacheType, bool finished) {
  if (!finished) return nullptr;
  if ((options & ILLoadForceTransition) || cacheType == ILImageCacheKindNone) {
    return il_imageTransition(view);
  }
  if (cacheType == ILImageCacheKindDisk &&
      !(options & (ILLoadQueryMemoryDataSync | ILLoadQueryDiskDataSync))) {
    return il_imageTransition(view);
  }
  return nullptr;
}

struct LoadCompletion {
  std::weak_ptr<UIView> view;
  std::string key;
  uint64_t generation;
  ILRemoteImageLoadStatePtr state;
  std::shared_ptr<ILCallbackQueue> queue;
  ILRemoteImageOptions options;
  UIImagePtr placeholder;
  ILSetImageBlock setImageBlock;
  ILRemoteImageCompletionBlock completed;
  NSURLPtr url;

  void operator()(UIImagePtr image, NSDataPtr data, NSErrorPtr error, ILImageCacheKind cacheType,
                  bool finished, NSURLPtr imageURL) const {
    auto strong = view.lock();
    if (!strong) return;
    if (finished && !error) {
      auto counts = state->progress();
      if (counts && counts->totalUnitCount() == 0 && counts->completedUnitCount() == 0) {
        counts->setTotalUnitCount(1);
        counts->setCompletedUnitCount(1);
      }
    }
    bool callCompletion = (options & ILLoadAvoidAutoSetImage) != 0;
    if (finished) {
      il_stopImageIndicatorWithQueue(*strong, queue);
      callCompletion = true;
    }
    const bool skipSet = (image && (options & ILLoadAvoidAutoSetImage)) ||
                         (!image && !(options & ILLoadDelayPlaceholder));
    auto completion = [view = view, skipSet, callCompletion, completed = completed, image, data,
                       error, cacheType, finished, url = url] {
      auto v = view.lock();
      if (!v) return;
      if (!skipSet) il_setNeedsLayout(*v);
      if (completed && callCompletion) completed(image, data, error, cacheType, finished, url);
    };
    const auto& callbackQueue = orMainQueue(queue);
    if (skipSet) {
      callbackQueue->async(completion);
      return;
    }
    // Only reached without an image under a delayed placeholder.
    UIImagePtr shown = image ? image : placeholder;
    NSDataPtr shownData = image ? data : nullptr;
    ILRemoteImageTransitionPtr transition = transitionFor(*strong, options, cacheType, finished);
    callbackQueue->async([view = view, key = key, generation = generation, shown, shownData,
                          options = options, setImageBlock = setImageBlock, transition, cacheType,
                          imageURL, completion] {
      auto v = view.lock();
      if (!v) return;
      // A result already on its way when a newer load replaced this one is
      // never shown; its caller still hears of it.
      if (generationOf(*v, key) != generation) {
        completion();
        return;
      }
      il_setImage(*v, shown, shownData, options, setImageBlock, transition, cacheType, imageURL,
                  completion);
    });
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// The generic entry.

ILRemoteImageOperationPtr il_internalSetImageWithURL(UIView& view, const std::string& url,
                                                     const UIImagePtr& placeholder,
                                                     ILRemoteImageOptions options,
                                                     const ILRemoteImageContext& context,
                                                     ILSetImageBlock setImageBlock,
                                                     ILRemoteImageProgressBlock progress,
                                                     ILRemoteImageCompletionBlock completed) {
  return il_internalSetImageWithURL(view, NSURL::URLWithString(url), placeholder, options, context,
                                    std::move(setImageBlock), std::move(progress),
                                    std::move(completed));
}

ILRemoteImageOperationPtr il_internalSetImageWithURL(UIView& view, const NSURLPtr& url,
                                                     const UIImagePtr& placeholder,
                                                     ILRemoteImageOptions options,
                                                     const ILRemoteImageContext& givenContext,
                                                     ILSetImageBlock setImageBlock,
                                                     ILRemoteImageProgressBlock progress,
                                                     ILRemoteImageCompletionBlock completed) {
  ILRemoteImageContext context = givenContext.isMap() ? givenContext : Value(ValueMap());
  std::string key;
  const Value* given = ILContextValue(context, ILRemoteImageContextSetImageOperationKey);
  if (given && given->isString()) {
    key = given->asString();
  } else {
    key = view.className();
    context = ILContextWithOperationKey(context, key);
  }
  il_setLatestOperationKey(view, key);
  uint64_t generation = generationOf(view, key);
  if (!(options & ILLoadAvoidAutoCancelImage)) {
    il_cancelImageLoadOperationWithKey(view, key);
    generation = replaceLoad(view, key);
  }

  ILRemoteImageLoadStatePtr state = il_imageLoadStateForKey(view, key);
  if (!state) state = std::make_shared<ILRemoteImageLoadState>();
  state->setUrl(url);
  il_setImageLoadState(view, state, key);

  ILRemoteImageManagerPtr manager =
      ILContextObject<ILRemoteImageManager>(context, ILRemoteImageContextCustomManager);
  if (manager) {
    context = withoutKey(context, ILRemoteImageContextCustomManager);
  } else {
    manager = ILRemoteImageManager::sharedManager();
  }
  auto queue = ILContextObject<ILCallbackQueue>(context, ILRemoteImageContextCallbackQueue);
  std::weak_ptr<UIView> weakView = WeakFromThis(&view);

  if (!(options & ILLoadDelayPlaceholder)) {
    warmWeakMemoryCache(*manager, url, context);
    orMainQueue(queue)->async([weakView, placeholder, setImageBlock, url] {
      if (auto v = weakView.lock()) {
        il_setImage(*v, placeholder, nullptr, setImageBlock, ILImageCacheKindNone, url);
      }
    });
  }

  if (!url) {
    il_stopImageIndicatorWithQueue(view, queue);
    if (completed) {
      orMainQueue(queue)->async([completed] {
        completed(nullptr, nullptr, ILRemoteImageError(ILRemoteImageErrorInvalidURL, "Image url is nil"),
                  ILImageCacheKindNone, true, nullptr);
      });
    }
    return nullptr;
  }

  if (auto counts = state->progress()) {
    counts->setTotalUnitCount(0);
    counts->setCompletedUnitCount(0);
  }
  il_startImageIndicatorWithQueue(view, queue);
  ILRemoteImageIndicatorPtr indicator = il_imageIndicator(view);
  LoadCompletion completion{weakView,    key,                      generation,           state, queue,
                            options,     placeholder,              std::move(setImageBlock),
                            std::move(completed), url};
  ILRemoteImageOperationPtr operation = manager->loadImageWithURL(
      url, options, context, makeProgressBlock(state, indicator, std::move(progress)),
      std::move(completion));
  il_setImageLoadOperation(view, operation, key);
  return operation;
}

// ---------------------------------------------------------------------------
// Setting the image.

void il_setImage(UIView& view, const UIImagePtr& image, const NSDataPtr& data,
                 const ILSetImageBlock& setImageBlock, ILImageCacheKind cacheType,
                 const NSURLPtr& imageURL) {
  il_setImage(view, image, data, 0, setImageBlock, nullptr, cacheType, imageURL, nullptr);
}

namespace {

ILSetImageBlock setterOf(UIView& view, const ILSetImageBlock& given) {
  if (given) return given;
  std::weak_ptr<UIView> weak = WeakFromThis(&view);
  if (dynamic_cast<UIImageView*>(&view)) {
    return [weak](const UIImagePtr& image, const NSDataPtr&, ILImageCacheKind, const NSURLPtr&) {
      if (auto v = std::static_pointer_cast<UIImageView>(weak.lock())) v->setImage(image);
    };
  }
  if (dynamic_cast<UIButton*>(&view)) {
    return [weak](const UIImagePtr& image, const NSDataPtr&, ILImageCacheKind, const NSURLPtr&) {
      if (auto v = std::static_pointer_cast<UIButton>(weak.lock())) {
        v->setImage(image, UIControlStateNormal);
      }
    };
  }
  return nullptr;
}

// The load a transition belongs to: the view's latest key, and how many
// loads had replaced one another under it.
struct LoadMark {
  std::optional<std::string> key;
  uint64_t generation = 0;
};

LoadMark latestLoad(const UIView& view) {
  LoadMark mark{il_latestOperationKey(view)};
  if (mark.key) mark.generation = generationOf(view, *mark.key);
  return mark;
}

// Whether no newer load has taken the view since the transition began.
bool stillLatest(const UIView& view, const LoadMark& mark) {
  LoadMark now = latestLoad(view);
  return mark.key && now.key == mark.key && now.generation == mark.generation;
}

}  // namespace

void il_setImage(UIView& view, const UIImagePtr& image, const NSDataPtr& data,
                 ILRemoteImageOptions options, const ILSetImageBlock& givenSetImageBlock,
                 const ILRemoteImageTransitionPtr& transition, ILImageCacheKind cacheType,
                 const NSURLPtr& imageURL, OnceClosure callback) {
  ILSetImageBlock setImageBlock = setterOf(view, givenSetImageBlock);
  const bool waitTransition = (options & ILLoadWaitTransition) != 0;
  if (!transition) {
    if (setImageBlock) setImageBlock(image, data, cacheType, imageURL);
    callback();
    return;
  }
  // Called once the transition ends, or at once when not waiting for it.
  OnceClosure afterTransition = waitTransition ? std::move(callback) : nullptr;
  const LoadMark key = latestLoad(view);
  std::shared_ptr<UIView> strong = SharedFromThis(&view);
  std::weak_ptr<UIView> weak = strong;
  UIView::transitionWithView(
      strong, 0, 0,
      [weak, key, transition, image, data, cacheType, imageURL] {
        auto v = weak.lock();
        if (v && stillLatest(*v, key) && transition->prepares) {
          transition->prepares(*v, image, data, cacheType, imageURL);
        }
      },
      [weak, key, transition, setImageBlock, image, data, cacheType, imageURL,
       afterTransition = std::move(afterTransition)](bool) mutable {
        auto v = weak.lock();
        if (!v) return;
        UIView::transitionWithView(
            v, transition->duration, transition->animationOptions,
            [weak, key, transition, setImageBlock, image, data, cacheType, imageURL] {
              auto v = weak.lock();
              if (!v || !stillLatest(*v, key)) return;
              if (setImageBlock && !transition->avoidAutoSetImage) {
                setImageBlock(image, data, cacheType, imageURL);
              }
              if (transition->animations) transition->animations(*v, image);
            },
            [weak, key, transition,
             afterTransition = std::move(afterTransition)](bool finished) mutable {
              auto v = weak.lock();
              if (!v || !stillLatest(*v, key)) return;
              if (transition->completion) transition->completion(finished);
              afterTransition();
            });
      });
  if (!waitTransition) callback();
}

// ---------------------------------------------------------------------------
// Per-view values.

std::optional<std::string> il_latestOperationKey(const UIView& view) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  return loading.latestKey;
}

void il_setLatestOperationKey(UIView& view, std::optional<std::string> key) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  loading.latestKey = std::move(key);
}

NSURLPtr il_imageURL(const UIView& view) {
  auto key = il_latestOperationKey(view);
  auto state = il_imageLoadStateForKey(view, key.value_or(""));
  return state ? state->url() : nullptr;
}

std::shared_ptr<NSProgress> il_imageProgress(UIView& view) {
  auto key = il_latestOperationKey(view);
  auto state = il_imageLoadStateForKey(view, key.value_or(""));
  if (state && state->progress()) return state->progress();
  auto progress = std::make_shared<NSProgress>();
  il_setImageProgress(view, progress);
  return progress;
}

void il_setImageProgress(UIView& view, std::shared_ptr<NSProgress> progress) {
  if (!progress) return;
  const std::string key = il_latestOperationKey(view).value_or("");
  auto state = il_imageLoadStateForKey(view, key);
  if (!state) state = std::make_shared<ILRemoteImageLoadState>();
  state->setProgress(std::move(progress));
  il_setImageLoadState(view, state, key);
}

void il_cancelLatestImageLoad(UIView& view) {
  il_cancelImageLoadOperationWithKey(view, il_latestOperationKey(view).value_or(""));
}

void il_cancelCurrentImageLoad(UIView& view) { il_cancelLatestImageLoad(view); }

void il_setNeedsLayout(UIView& view) { view.setNeedsLayout(); }

ILRemoteImageTransitionPtr il_imageTransition(const UIView& view) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  return loading.transition;
}

void il_setImageTransition(UIView& view, ILRemoteImageTransitionPtr transition) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  loading.transition = std::move(transition);
}

ILRemoteImageIndicatorPtr il_imageIndicator(const UIView& view) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  return loading.indicator;
}

void il_setImageIndicator(UIView& view, ILRemoteImageIndicatorPtr indicator) {
  QX_DCHECK_MAIN_THREAD();
  ILRemoteImageIndicatorPtr previous = il_imageIndicator(view);
  if (previous && previous->indicatorView()) previous->indicatorView()->removeFromSuperview();
  {
    ViewLoading& loading = loadingOf(view);
    MutexLock lock(loading.mutex);
    loading.indicator = indicator;
  }
  if (!indicator) return;
  std::shared_ptr<UIView> shown = indicator->indicatorView();
  if (!shown) return;
  if (CGRectEqualToRect(shown->frame(), CGRectZero)) shown->setFrame(view.bounds());
  const CGRect bounds = view.bounds();
  shown->setCenter(CGPointMake(CGRectGetMidX(bounds), CGRectGetMidY(bounds)));
  shown->setHidden(false);
  view.addSubview(shown);
}

void il_startImageIndicatorWithQueue(UIView& view, const std::shared_ptr<ILCallbackQueue>& queue) {
  if (auto indicator = il_imageIndicator(view)) {
    orMainQueue(queue)->async([indicator] { indicator->startAnimatingIndicator(); });
  }
}

void il_stopImageIndicatorWithQueue(UIView& view, const std::shared_ptr<ILCallbackQueue>& queue) {
  if (auto indicator = il_imageIndicator(view)) {
    orMainQueue(queue)->async([indicator] { indicator->stopAnimatingIndicator(); });
  }
}

// ---------------------------------------------------------------------------
// Operation and load-state tables.

ILRemoteImageOperationPtr il_imageLoadOperationForKey(const UIView& view, const std::string& key) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  auto it = loading.operations.find(keyOrClassName(view, key));
  return it == loading.operations.end() ? nullptr : it->second.lock();
}

void il_setImageLoadOperation(UIView& view, const ILRemoteImageOperationPtr& operation,
                              const std::string& key) {
  if (!operation) return;
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  loading.operations[keyOrClassName(view, key)] = operation;
}

void il_cancelImageLoadOperationWithKey(UIView& view, const std::string& key) {
  // Cancelling runs outside the lock: an operation may call back at once.
  ILRemoteImageOperationPtr operation = il_imageLoadOperationForKey(view, key);
  if (!operation) return;
  operation->cancel();
  il_removeImageLoadOperationWithKey(view, key);
}

void il_removeImageLoadOperationWithKey(UIView& view, const std::string& key) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  loading.operations.erase(keyOrClassName(view, key));
}

ILRemoteImageLoadStatePtr il_imageLoadStateForKey(const UIView& view, const std::string& key) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  auto it = loading.states.find(keyOrClassName(view, key));
  return it == loading.states.end() ? nullptr : it->second;
}

void il_setImageLoadState(UIView& view, ILRemoteImageLoadStatePtr state, const std::string& key) {
  if (!state) {
    il_removeImageLoadStateForKey(view, key);
    return;
  }
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  loading.states[keyOrClassName(view, key)] = std::move(state);
}

void il_removeImageLoadStateForKey(UIView& view, const std::string& key) {
  ViewLoading& loading = loadingOf(view);
  MutexLock lock(loading.mutex);
  loading.states.erase(keyOrClassName(view, key));
}

// ---------------------------------------------------------------------------
// Helpers of the wrappers.

ILRemoteImageCompletionBlock ILExternalCompletion(ILExternalCompletionBlock completed) {
  if (!completed) return nullptr;
  return [completed = std::move(completed)](UIImagePtr image, NSDataPtr, NSErrorPtr error,
                                            ILImageCacheKind cacheType, bool, NSURLPtr imageURL) {
    completed(image, error, cacheType, imageURL);
  };
}

ILRemoteImageContext ILContextWithOperationKey(const ILRemoteImageContext& context,
                                               const std::string& key) {
  return ILContextSetting(context, ILRemoteImageContextSetImageOperationKey, Value(key));
}
