#pragma once

// The pull-to-load spinner beside an open end of the gallery's pages. It
// grows spoke by spoke while the pages are pulled past that end; released
// at a full pull it holds the pages open by a content inset, spins, and asks
// for more items. The content controller ends the refreshing once they came.

#include <functional>
#include <memory>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/uikit/UIView.h"

class CAReplicatorLayer;
class CALayer;
class UIScrollView;

enum class AKPhotoIncrementalIndicatorDirection { left, right };

class AKPhotoIncrementalIndicator : public UIView, public NSKeyValueObserver {
 public:
  static constexpr double kPullDistance = 60;
  static constexpr double kIndicatorSize = 30;
  static constexpr int64_t kMaxInstanceCount = 14;

  // A left or right indicator, as the direction says.
  static std::shared_ptr<AKPhotoIncrementalIndicator> make(
      AKPhotoIncrementalIndicatorDirection direction, std::function<void()> refreshBlock);
  ~AKPhotoIncrementalIndicator() override;

  AKPhotoIncrementalIndicatorDirection direction() const { return direction_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  float progress() const { return progress_; }
  // Shows the view and the spokes for this much of a full pull.
  void setProgress(float progress);
  const std::shared_ptr<CAReplicatorLayer>& replicatorLayer() const { return replicator_; }
  const std::shared_ptr<CALayer>& instanceLayer() const { return instance_; }

  void beginRefreshing();
  void endRefreshing();

  void willMoveToSuperview(const std::shared_ptr<UIView>& superview) override;
  void layoutSubviews() override;
  void observeValueForKeyPath(const std::string& keyPath, NSObject* object, const Value& change,
                              void* context) override;
  std::string className() const override { return "AKPhotoIncrementalIndicator"; }

 protected:
  AKPhotoIncrementalIndicator(AKPhotoIncrementalIndicatorDirection direction,
                              std::function<void()> refreshBlock);
  std::shared_ptr<UIScrollView> scrollView() const { return scrollView_.lock(); }
  // The side's own geometry.
  virtual void updateFrame() = 0;
  virtual void contentOffsetDidChange() = 0;
  virtual void resetContentInset() = 0;
  // Holds the pages open at the current offset and starts refreshing when
  // the finger is off and the pull is full; else follows the pull.
  void applyPull(double pull);

 private:
  void stopObserving();

  AKPhotoIncrementalIndicatorDirection direction_;
  std::function<void()> refreshBlock_;
  bool enabled_ = true;
  std::shared_ptr<CAReplicatorLayer> replicator_;
  std::shared_ptr<CALayer> instance_;
  std::weak_ptr<UIScrollView> scrollView_;
  UIScrollView* observed_ = nullptr;
  float progress_ = 0;
};
