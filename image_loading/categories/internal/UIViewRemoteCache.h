#pragma once

// Binding a remote image to a view: the view shows a placeholder, loads the
// URL through the image manager, feeds its load indicator, and sets the
// loaded image, with an optional transition, when the load ends. One generic
// entry does the work; the image view and button entries wrap it with their
// own set-image block and operation key.
//
// Each view keeps, per operation key, the running load operation (held
// weakly: a finished load drops out) and a load state (URL and progress), so
// that a new load cancels the previous one under the same key and a late
// result of a replaced load is never shown. An empty key stands for the
// view's class name.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "image_loading/cache/ILImageCacheProtocol.h"
#include "image_loading/categories/internal/ILRemoteImageIndicator.h"
#include "image_loading/categories/internal/ILRemoteImageTransition.h"
#include "image_loading/manager/ILRemoteImageManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"

class NSProgress;
class UIView;
class ILCallbackQueue;

// Context keys of the view entries.
inline constexpr const char* ILRemoteImageContextSetImageOperationKey = "setImageOperationKey";
inline constexpr const char* ILRemoteImageContextCustomManager = "customManager";

// (image, data, cache type, image URL).
using ILSetImageBlock = std::function<void(const UIImagePtr& image, const NSDataPtr& data,
                                           ILImageCacheKind cacheType, const NSURLPtr& imageURL)>;
// What the image view and button entries call back with: the load's data and
// finished flag are left out. Copyable: it runs for every stage of a load.
using ILExternalCompletionBlock = std::function<void(const UIImagePtr& image,
                                                     const NSErrorPtr& error,
                                                     ILImageCacheKind cacheType,
                                                     const NSURLPtr& imageURL)>;

// The URL and progress of the latest load under one key of a view. Any
// thread may read it: the manager reports progress from its own threads.
class ILRemoteImageLoadState : public NSObject {
 public:
  NSURLPtr url() const;
  void setUrl(NSURLPtr url);
  std::shared_ptr<NSProgress> progress() const;
  void setProgress(std::shared_ptr<NSProgress> progress);
  std::string className() const override { return "ILRemoteImageLoadState"; }

 private:
  mutable Mutex mutex_;
  NSURLPtr url_ GUARDED_BY(mutex_);
  std::shared_ptr<NSProgress> progress_ GUARDED_BY(mutex_);
};
using ILRemoteImageLoadStatePtr = std::shared_ptr<ILRemoteImageLoadState>;

// The generic entry; nullptr back when there is no URL. The view must be
// held by a shared_ptr (its blocks hold it weakly).
ILRemoteImageOperationPtr il_internalSetImageWithURL(UIView& view, const NSURLPtr& url,
                                                     const UIImagePtr& placeholder,
                                                     ILRemoteImageOptions options,
                                                     const ILRemoteImageContext& context,
                                                     ILSetImageBlock setImageBlock,
                                                     ILRemoteImageProgressBlock progress,
                                                     ILRemoteImageCompletionBlock completed);
// A URL string; one that does not parse counts as no URL.
ILRemoteImageOperationPtr il_internalSetImageWithURL(UIView& view, const std::string& url,
                                                     const UIImagePtr& placeholder,
                                                     ILRemoteImageOptions options,
                                                     const ILRemoteImageContext& context,
                                                     ILSetImageBlock setImageBlock,
                                                     ILRemoteImageProgressBlock progress,
                                                     ILRemoteImageCompletionBlock completed);

// Sets the image through the block, or the image view's or button's own
// setter when there is none; with a transition, through two chained view
// transitions (prepare, then set and animate) that stand down when a newer
// load has taken the view meanwhile. The callback runs once: at once, or
// after the transition with ILLoadWaitTransition.
void il_setImage(UIView& view, const UIImagePtr& image, const NSDataPtr& data,
                 const ILSetImageBlock& setImageBlock, ILImageCacheKind cacheType,
                 const NSURLPtr& imageURL);
void il_setImage(UIView& view, const UIImagePtr& image, const NSDataPtr& data,
                 ILRemoteImageOptions options, const ILSetImageBlock& setImageBlock,
                 const ILRemoteImageTransitionPtr& transition, ILImageCacheKind cacheType,
                 const NSURLPtr& imageURL, OnceClosure callback);

std::optional<std::string> il_latestOperationKey(const UIView& view);
void il_setLatestOperationKey(UIView& view, std::optional<std::string> key);
// The URL of the latest load.
NSURLPtr il_imageURL(const UIView& view);
// The progress of the latest load, made (and kept) when there is none.
std::shared_ptr<NSProgress> il_imageProgress(UIView& view);
// Ignores nullptr.
void il_setImageProgress(UIView& view, std::shared_ptr<NSProgress> progress);
// Both cancel the load under the latest operation key.
void il_cancelLatestImageLoad(UIView& view);
void il_cancelCurrentImageLoad(UIView& view);
void il_setNeedsLayout(UIView& view);

ILRemoteImageTransitionPtr il_imageTransition(const UIView& view);
void il_setImageTransition(UIView& view, ILRemoteImageTransitionPtr transition);
ILRemoteImageIndicatorPtr il_imageIndicator(const UIView& view);
// Replaces the indicator's view in the view: the new one sized to the view's
// bounds when it has no frame, centred and shown.
void il_setImageIndicator(UIView& view, ILRemoteImageIndicatorPtr indicator);
// Through the queue (the main queue when nullptr), when the view has an indicator.
void il_startImageIndicatorWithQueue(UIView& view, const std::shared_ptr<ILCallbackQueue>& queue);
void il_stopImageIndicatorWithQueue(UIView& view, const std::shared_ptr<ILCallbackQueue>& queue);

// The operation table.
ILRemoteImageOperationPtr il_imageLoadOperationForKey(const UIView& view, const std::string& key);
// Ignores nullptr.
void il_setImageLoadOperation(UIView& view, const ILRemoteImageOperationPtr& operation,
                              const std::string& key);
void il_cancelImageLoadOperationWithKey(UIView& view, const std::string& key);
void il_removeImageLoadOperationWithKey(UIView& view, const std::string& key);

// The load-state table; a nullptr state removes the key.
ILRemoteImageLoadStatePtr il_imageLoadStateForKey(const UIView& view, const std::string& key);
void il_setImageLoadState(UIView& view, ILRemoteImageLoadStatePtr state, const std::string& key);
void il_removeImageLoadStateForKey(UIView& view, const std::string& key);

// The wrappers' completion as the generic entry's; empty when `completed` is.
ILRemoteImageCompletionBlock ILExternalCompletion(ILExternalCompletionBlock completed);
// A copy of the context (or a new one) with the operation key set.
ILRemoteImageContext ILContextWithOperationKey(const ILRemoteImageContext& context,
                                               const std::string& key);
