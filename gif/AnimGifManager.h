#pragma once

// Drives the GIF image views handed to it from one display link on the main
// run loop and keeps the memory budget that decides whether they may hold
// their decoded frames: caching is allowed while the summed full-cache
// estimate of the views' GIFs stays within the limit. It also keeps the bytes
// of GIFs loaded from URLs, so that a second load needs no network.
//
// Views hold their manager strongly and the manager holds its views; a view
// leaves when it is deleted, when a tick finds it out of the view hierarchy,
// or when the manager is cleared. Main thread only.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/NSData.h"

class CADisplayLink;
class NSURL;
class UIImageView;
using UIImageViewPtr = std::shared_ptr<UIImageView>;
using NSURLPtr = std::shared_ptr<NSURL>;

class AnimGifManager;
using AnimGifManagerPtr = std::shared_ptr<AnimGifManager>;

class AnimGifManager : public std::enable_shared_from_this<AnimGifManager> {
 public:
  // GIF bytes by the absolute string of their source URL.
  using RemoteCache = std::unordered_map<std::string, NSDataPtr>;

  // `memoryLimit` in megabytes of 1,000,000 bytes.
  explicit AnimGifManager(int64_t memoryLimit);
  // Invalidates the display link.
  ~AnimGifManager();
  AnimGifManager(const AnimGifManager&) = delete;
  AnimGifManager& operator=(const AnimGifManager&) = delete;

  // Made on first use with a limit of 50 megabytes; assigning replaces it.
  static AnimGifManagerPtr defaultManager();
  static void setDefaultManager(AnimGifManagerPtr manager);

  bool haveCache() const { return haveCache_; }
  void setHaveCache(bool haveCache);
  int64_t memoryLimit() const { return memoryLimit_; }
  // Megabytes counted for the managed views' GIFs.
  int64_t totalGifSize() const { return totalGifSize_; }

  const RemoteCache& remoteCache() const { return remoteCache_; }
  void setRemoteCache(RemoteCache cache);
  NSDataPtr remoteCacheObjectForURL(const NSURL& url) const;
  void setRemoteCacheObject(const NSURL& url, NSDataPtr data);

  // The run-loop mode of the display link (the common modes unless set).
  const std::string& mode() const { return mode_; }
  void setMode(std::string mode);

  void startTimerIfNeeded();
  void stopTimer();

  // Answers true when the view was not managed yet. A managed view added
  // again only restarts a stopped link; its GIF is counted anew, since it
  // may have been replaced.
  bool addImageView(const UIImageViewPtr& imageView);
  void deleteImageView(const UIImageViewPtr& imageView);
  // Adds or removes the size of the view's current GIF, then lets every
  // managed view switch its frame cache on or off.
  void updateCacheSize(const UIImageViewPtr& imageView, bool add);
  // Empties every managed view of its GIF, forgets the views, stops the link
  // and resets the budget.
  void clear();
  bool containsImageView(const UIImageViewPtr& imageView) const;
  // Whether the view may cache frames: it is displayed, loops forever or at
  // least five times, and the budget allows.
  bool hasCache(const UIImageViewPtr& imageView) const;
  // One display-link tick.
  void updateImageView();

 private:
  struct Entry {
    UIImageViewPtr view;
    // What this view's GIF added to the total, so that it leaves exactly.
    int64_t countedSize = 0;
  };

  std::vector<Entry>::iterator find(const UIImageViewPtr& imageView);
  std::vector<Entry>::const_iterator find(const UIImageViewPtr& imageView) const;
  std::vector<UIImageViewPtr> snapshot() const;
  void changeTotal(int64_t delta);

  std::shared_ptr<CADisplayLink> timer_;
  std::vector<Entry> displayViews_;
  int64_t totalGifSize_ = 0;
  int64_t memoryLimit_;
  bool haveCache_ = true;
  RemoteCache remoteCache_;
  std::string mode_;
};
