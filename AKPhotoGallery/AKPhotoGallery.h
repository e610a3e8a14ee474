#pragma once

// The gallery: a navigation controller whose only child is the paging content
// controller. It owns the "i/n" title and the cancel button, decides what a
// single tap does, shows and hides its control view (bar, footer, video
// controls), asks an optional incremental data source for more items at
// either end, and is presented from any controller with its own presentation
// controller and transitions.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "AKPhotoGallery/AKPhotoGalleryContentVC.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "platform/foundation/NSError.h"
#include "platform/uikit/UINavigationController.h"

class AKPhotoGallery;
class AKPhotoGalleryTransitionController;
class UIAlertAction;
class UIImageView;

enum class AKPhotoGallerySingleTapMode { dismiss = 0, toggleControlView = 1 };

class AKPhotoGalleryDelegate {
 public:
  virtual ~AKPhotoGalleryDelegate() = default;
  virtual void photoGalleryDidShow(AKPhotoGallery& gallery, int64_t index) = 0;
};

class AKPhotoGalleryIncrementalDataSource {
 public:
  using ResultHandler =
      std::function<void(std::optional<std::vector<AKPhotoGalleryItemPtr>> items, NSErrorPtr error)>;
  virtual ~AKPhotoGalleryIncrementalDataSource() = default;
  virtual void photoGalleryItemsBefore(AKPhotoGallery& gallery, const AKPhotoGalleryItemPtr& first,
                                       ResultHandler handler) = 0;
  virtual void photoGalleryItemsAfter(AKPhotoGallery& gallery, const AKPhotoGalleryItemPtr& last,
                                      ResultHandler handler) = 0;
};

class AKPhotoGallery : public UINavigationController,
                       public AKPhotoGalleryContentDataSource,
                       public AKPhotoGalleryContentDelegate {
 public:
  using FinishedBlock =
      std::function<std::shared_ptr<UIImageView>(int64_t index, const AKPhotoGalleryItemPtr& item)>;

  AKPhotoGallery();

  const std::optional<std::vector<AKPhotoGalleryItemPtr>>& items() const { return items_; }
  void setItems(std::optional<std::vector<AKPhotoGalleryItemPtr>> items) { items_ = std::move(items); }
  void setIncrementalDataSource(std::shared_ptr<AKPhotoGalleryIncrementalDataSource> source) {
    incrementalDataSource_ = std::move(source);
  }
  const FinishedBlock& finishedBlock() const { return finishedBlock_; }
  void setFinishedBlock(FinishedBlock block) { finishedBlock_ = std::move(block); }
  const std::shared_ptr<UIImageView>& presentingFromImageView() const { return presentingFrom_; }
  void setPresentingFromImageView(std::shared_ptr<UIImageView> view) {
    presentingFrom_ = std::move(view);
  }
  int64_t presentationIndex() const { return presentationIndex_; }
  void setPresentationIndex(int64_t index) { presentationIndex_ = index; }
  void setLeftBarButtonItemColor(UIColorPtr color) { leftBarButtonItemColor_ = std::move(color); }
  AKPhotoGallerySingleTapMode singleTapMode() const { return singleTapMode_; }
  void setSingleTapMode(AKPhotoGallerySingleTapMode mode) { singleTapMode_ = mode; }
  void setGalleryDelegate(const std::shared_ptr<AKPhotoGalleryDelegate>& delegate) {
    galleryDelegate_ = delegate;
  }
  void setCustomLongPressActions(std::vector<std::shared_ptr<UIAlertAction>> actions) {
    customLongPressActions_ = std::move(actions);
  }
  void setCustomPreviewActions(std::vector<std::shared_ptr<NSObject>> actions) {
    customPreviewActions_ = std::move(actions);
  }
  const std::shared_ptr<UIView>& footerView() const { return footerView_; }
  void setFooterView(std::shared_ptr<UIView> footer);

  const std::shared_ptr<AKPhotoGalleryTransitionController>& transitionController() const {
    return transitionController_;
  }
  void setTransitionController(std::shared_ptr<AKPhotoGalleryTransitionController> controller) {
    transitionController_ = std::move(controller);
  }
  std::shared_ptr<AKPhotoGalleryContentVC> contentVC() const { return contentVC_.lock(); }
  bool hasMoreForLeft() const { return hasMoreForLeft_; }
  bool hasMoreForRight() const { return hasMoreForRight_; }

  void dismissGallery();
  int64_t currentIndex() const;
  std::shared_ptr<AKPhotoBasePreviewVC> currentContentVC() const;
  std::shared_ptr<UIView> currentContentView() const;
  void updateNavigation();
  void handleSingleTap();
  void toggleControlView();
  void showsControlView();
  void hidesControlView();
  std::vector<std::shared_ptr<UIPreviewActionItem>> previewActionItems() override;
  void updateContextBackground(double alpha);
  void updateFooterView();
  void setupPreviewVC(AKPhotoBasePreviewVC& previewVC);

  // Content data source and delegate.
  AKPhotoGalleryItemPtr itemForIndex(int64_t index) override;
  int64_t numberOfItems() override;
  bool hasIncrementalDataForLeft() override;
  void incrementalItemsForLeft(ResultHandler handler) override;
  bool hasIncrementalDataForRight() override;
  void incrementalItemsForRight(ResultHandler handler) override;
  bool contentVCCanScroll(AKPhotoGalleryContentVC& contentVC) override;

  void pushViewController(const std::shared_ptr<UIViewController>& vc, bool animated) override;
  std::shared_ptr<UIViewController> popViewControllerAnimated(bool animated) override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;

  static void setPreferredStatusBarStyle(int64_t style);
  int64_t galleryStatusBarStyle() const;

  std::string className() const override { return "AKPhotoGallery"; }

 private:
  void doSetupOnce();
  void loadMore(bool left, ResultHandler handler);

  std::optional<std::vector<AKPhotoGalleryItemPtr>> items_;
  std::shared_ptr<AKPhotoGalleryIncrementalDataSource> incrementalDataSource_;
  FinishedBlock finishedBlock_;
  std::shared_ptr<UIImageView> presentingFrom_;
  int64_t presentationIndex_ = 0;
  UIColorPtr leftBarButtonItemColor_;
  AKPhotoGallerySingleTapMode singleTapMode_ = AKPhotoGallerySingleTapMode::toggleControlView;
  std::weak_ptr<AKPhotoGalleryDelegate> galleryDelegate_;
  std::vector<std::shared_ptr<UIAlertAction>> customLongPressActions_;
  std::vector<std::shared_ptr<NSObject>> customPreviewActions_;
  std::shared_ptr<UIView> footerView_;

  std::shared_ptr<AKPhotoGalleryTransitionController> transitionController_;
  std::weak_ptr<AKPhotoGalleryContentVC> contentVC_;
  bool setupDone_ = false;
  bool hasMoreForLeft_ = true;
  bool hasMoreForRight_ = true;
  bool isNavigationBarHidden_ = false;
};

// Presents the gallery from `presenter` with its presentation controller,
// its present and dismiss animations and the pan-driven dismissal.
void presentWithPhotoGallery(const std::shared_ptr<UIViewController>& presenter,
                             const std::shared_ptr<AKPhotoGallery>& gallery,
                             OnceClosure completion = nullptr);
