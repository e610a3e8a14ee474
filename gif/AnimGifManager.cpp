#include "gif/AnimGifManager.h"

#include <algorithm>
#include <mutex>

#include "gif/UIImageAnimGif.h"
#include "gif/UIImageViewAnimGif.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "platform/uikit/UIImageView.h"

namespace {

constexpr int64_t kDefaultMemoryLimit = 50;

Mutex gDefaultMutex;
AnimGifManagerPtr gDefaultManager GUARDED_BY(gDefaultMutex);

// Megabytes of the view's GIF; 0 without one (or for a size set below 0,
// which would otherwise make room in the budget).
int64_t gifSizeOf(const UIImageView& view) {
  UIImagePtr gif = AnimGif::gifImage(view);
  return gif ? std::max<int64_t>(0, AnimGif::imageSize(*gif).value_or(0)) : 0;
}

}  // namespace

AnimGifManager::AnimGifManager(int64_t memoryLimit)
    : memoryLimit_(memoryLimit), mode_(NSRunLoopCommonModes) {}

AnimGifManager::~AnimGifManager() {
  if (timer_) timer_->invalidate();
}

AnimGifManagerPtr AnimGifManager::defaultManager() {
  MutexLock lock(gDefaultMutex);
  if (!gDefaultManager) {
    static std::once_flag registered;
    std::call_once(registered, [] {
      SingletonResets::add([] {
        AnimGifManagerPtr old;
        {
          MutexLock lock(gDefaultMutex);
          old.swap(gDefaultManager);
        }
        // Views and the manager hold each other; clearing breaks the cycle.
        if (old) old->clear();
      });
    });
    gDefaultManager = std::make_shared<AnimGifManager>(kDefaultMemoryLimit);
  }
  return gDefaultManager;
}

void AnimGifManager::setDefaultManager(AnimGifManagerPtr manager) {
  MutexLock lock(gDefaultMutex);
  gDefaultManager = std::move(manager);
}

void AnimGifManager::setHaveCache(bool haveCache) {
  QX_DCHECK_MAIN_THREAD();
  haveCache_ = haveCache;
}

void AnimGifManager::setRemoteCache(RemoteCache cache) {
  QX_DCHECK_MAIN_THREAD();
  remoteCache_ = std::move(cache);
}

void AnimGifManager::setMode(std::string mode) {
  QX_DCHECK_MAIN_THREAD();
  mode_ = std::move(mode);
}

NSDataPtr AnimGifManager::remoteCacheObjectForURL(const NSURL& url) const {
  auto it = remoteCache_.find(url.absoluteString());
  return it == remoteCache_.end() ? nullptr : it->second;
}

void AnimGifManager::setRemoteCacheObject(const NSURL& url, NSDataPtr data) {
  QX_DCHECK_MAIN_THREAD();
  if (data) {
    remoteCache_[url.absoluteString()] = std::move(data);
  } else {
    remoteCache_.erase(url.absoluteString());
  }
}

void AnimGifManager::startTimerIfNeeded() {
  QX_DCHECK_MAIN_THREAD();
  if (timer_) return;
  std::weak_ptr<AnimGifManager> weak = weak_from_this();
  timer_ = std::make_shared<CADisplayLink>([weak](CADisplayLink&) {
    auto self = weak.lock();
    if (self) self->updateImageView();
    return self != nullptr;
  });
  timer_->setDrivesPlayback(true);
  timer_->addToRunLoop(NSRunLoop::mainRunLoop(), mode_);
}

void AnimGifManager::stopTimer() {
  QX_DCHECK_MAIN_THREAD();
  if (timer_) timer_->invalidate();
  timer_ = nullptr;
}

std::vector<AnimGifManager::Entry>::iterator AnimGifManager::find(
    const UIImageViewPtr& imageView) {
  return std::find_if(displayViews_.begin(), displayViews_.end(),
                      [&](const Entry& e) { return e.view->isEqual(*imageView); });
}

std::vector<AnimGifManager::Entry>::const_iterator AnimGifManager::find(
    const UIImageViewPtr& imageView) const {
  return const_cast<AnimGifManager*>(this)->find(imageView);
}

std::vector<UIImageViewPtr> AnimGifManager::snapshot() const {
  // Delegates told during a step may add or delete views.
  std::vector<UIImageViewPtr> views;
  views.reserve(displayViews_.size());
  for (const Entry& e : displayViews_) views.push_back(e.view);
  return views;
}

bool AnimGifManager::addImageView(const UIImageViewPtr& imageView) {
  QX_DCHECK_MAIN_THREAD();
  if (!imageView) return false;
  auto it = find(imageView);
  if (it != displayViews_.end()) {
    const int64_t size = gifSizeOf(*imageView);
    if (size != it->countedSize) {
      const int64_t delta = size - it->countedSize;
      it->countedSize = size;
      changeTotal(delta);
    }
    startTimerIfNeeded();
    return false;
  }
  const int64_t size = gifSizeOf(*imageView);
  // Counted before the view is listed, so the budget update leaves its
  // (not yet displayed) cache alone.
  changeTotal(size);
  displayViews_.push_back({imageView, size});
  startTimerIfNeeded();
  return true;
}

void AnimGifManager::deleteImageView(const UIImageViewPtr& imageView) {
  QX_DCHECK_MAIN_THREAD();
  if (!imageView) return;
  auto it = find(imageView);
  if (it == displayViews_.end()) return;
  const int64_t counted = it->countedSize;
  displayViews_.erase(it);
  changeTotal(-counted);
}

void AnimGifManager::updateCacheSize(const UIImageViewPtr& imageView, bool add) {
  QX_DCHECK_MAIN_THREAD();
  const int64_t size = imageView ? gifSizeOf(*imageView) : 0;
  changeTotal(add ? size : -size);
}

void AnimGifManager::changeTotal(int64_t delta) {
  totalGifSize_ += delta;
  haveCache_ = totalGifSize_ <= memoryLimit_;
  for (const UIImageViewPtr& view : snapshot()) AnimGif::updateCache(view);
}

void AnimGifManager::clear() {
  QX_DCHECK_MAIN_THREAD();
  std::vector<Entry> views;
  views.swap(displayViews_);
  for (const Entry& e : views) AnimGif::clear(e.view);
  stopTimer();
  // Nothing is managed any more, so nothing counts against the budget.
  totalGifSize_ = 0;
  haveCache_ = true;
}

bool AnimGifManager::containsImageView(const UIImageViewPtr& imageView) const {
  return imageView && find(imageView) != displayViews_.end();
}

bool AnimGifManager::hasCache(const UIImageViewPtr& imageView) const {
  if (!imageView || !AnimGif::displaying(*imageView)) return false;
  const int64_t loops = AnimGif::loopCount(*imageView);
  if (loops != -1 && loops < 5) return false;
  return haveCache_;
}

void AnimGifManager::updateImageView() {
  QX_DCHECK_MAIN_THREAD();
  if (displayViews_.empty()) {
    stopTimer();
    return;
  }
  // Views that leave during the tick are still stepped once, as listed when
  // it began.
  for (const UIImageViewPtr& view : snapshot()) {
    UIImagePtr current = AnimGif::currentImage(*view);
    if (view->image() != current) view->setImage(current);
    if (AnimGif::isAnimatingGif(*view)) {
      AnimGif::updateCurrentImage(view);
    } else if (!view->superview()) {
      deleteImageView(view);
    }
  }
}
