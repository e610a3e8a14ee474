#pragma once

// The gallery's only child: it lays the items out as pages of the paging
// scroll view, keeps page controllers alive only for the current page and
// its two neighbours (recycling the others by class, last in first out),
// turns the page while the user drags, shows the footer over a blurred strip
// and hosts the pull-to-load indicators at both ends.

#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "AKPhotoGallery/AKPhotoGalleryScrollView.h"
#include "AKPhotoGallery/AKPhotoIncrementalIndicator.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIVisualEffectView.h"

class AKPhotoGalleryItem;
class AKPhotoGalleryContentVC;

class AKPhotoGalleryContentDataSource {
 public:
  using ResultHandler = std::function<void(int64_t inserted)>;
  virtual ~AKPhotoGalleryContentDataSource() = default;
  virtual std::shared_ptr<AKPhotoGalleryItem> itemForIndex(int64_t index) = 0;
  virtual int64_t numberOfItems() = 0;
  virtual bool hasIncrementalDataForLeft() = 0;
  virtual void incrementalItemsForLeft(ResultHandler handler) = 0;
  virtual bool hasIncrementalDataForRight() = 0;
  virtual void incrementalItemsForRight(ResultHandler handler) = 0;
};

class AKPhotoGalleryContentDelegate {
 public:
  virtual ~AKPhotoGalleryContentDelegate() = default;
  virtual bool contentVCCanScroll(AKPhotoGalleryContentVC& contentVC) = 0;
};

// The blurred strip at the bottom holding the client's footer at its top.
class AKPhotoGalleryContentFooterViewContainer : public UIView {
 public:
  explicit AKPhotoGalleryContentFooterViewContainer(std::shared_ptr<UIView> footerView);
  const std::shared_ptr<UIView>& footerView() const { return footerView_; }
  const std::shared_ptr<UIVisualEffectView>& backgroundView() const { return backgroundView_; }
  void layoutSubviews() override;
  std::string className() const override { return "AKPhotoGalleryContentFooterViewContainer"; }

 private:
  std::shared_ptr<UIView> footerView_;
  std::shared_ptr<UIVisualEffectView> backgroundView_;
};

class AKPhotoGalleryContentVC : public UIViewController, public UIScrollViewDelegate {
 public:
  AKPhotoGalleryContentVC();

  static double pageWidth();
  static double pageStride() { return pageWidth() + AKPhotoGalleryScrollView::kPageGap; }

  void setDataSource(const std::shared_ptr<AKPhotoGalleryContentDataSource>& d) { dataSource_ = d; }
  void setDelegate(const std::shared_ptr<AKPhotoGalleryContentDelegate>& d) { delegate_ = d; }
  void setPageChangeBlock(std::function<void(int64_t)> block) { pageChangeBlock_ = std::move(block); }
  void setPrepareToShow(std::function<void(AKPhotoBasePreviewVC&)> block) {
    prepareToShow_ = std::move(block);
  }

  int64_t currentIndex() const { return currentIndex_; }
  // Every write runs the page-change block, changed or not.
  void setCurrentIndex(int64_t index);
  std::shared_ptr<AKPhotoBasePreviewVC> currentVC();
  std::shared_ptr<UIView> currentContentView();

  const std::shared_ptr<AKPhotoGalleryScrollView>& mainView() const { return mainView_; }
  const std::shared_ptr<UIView>& footerView() const { return footerView_; }
  void setFooterView(std::shared_ptr<UIView> footer);
  const std::shared_ptr<AKPhotoGalleryContentFooterViewContainer>& footerViewContainer() const {
    return footerViewContainer_;
  }
  const std::shared_ptr<AKPhotoIncrementalIndicator>& leftIncrementalIndicator() const {
    return leftIndicator_;
  }
  const std::shared_ptr<AKPhotoIncrementalIndicator>& rightIncrementalIndicator() const {
    return rightIndicator_;
  }
  // The controllers of the pages in the current window, in no order.
  std::vector<std::shared_ptr<AKPhotoBasePreviewVC>> visibleVCs() const;
  std::shared_ptr<AKPhotoBasePreviewVC> visibleVCForItem(
      const std::shared_ptr<AKPhotoGalleryItem>& item) const;
  // Idle controllers of one exact class.
  size_t reuseCount(const AKPhotoPreviewClass& previewClass) const;

  void setFooterViewHidden(bool hidden, bool animated, OnceClosure completion);
  void updateFooterView();
  void updateVisibleViews(int64_t index, bool scrollToIndex, bool animated, bool indexOnly);
  void showViewIfNeeded(int64_t index);
  std::shared_ptr<AKPhotoBasePreviewVC> previewVCFor(const std::shared_ptr<AKPhotoGalleryItem>& item);
  void addToReuseQueue(const std::shared_ptr<AKPhotoBasePreviewVC>& controller);
  void prefillingReuseQueue();
  bool isScrollViewBouncing() const;

  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  uint64_t supportedInterfaceOrientations() const override { return 2; }
  bool shouldAutorotate() const override { return false; }

  void scrollViewDidScroll(UIScrollView& scrollView) override;
  void scrollViewWillEndDragging(UIScrollView& scrollView, CGPoint velocity,
                                 CGPoint* targetContentOffset) override;

  std::string className() const override { return "AKPhotoGalleryContentVC"; }

 private:
  std::shared_ptr<AKPhotoGalleryContentDataSource> dataSource() const;
  void attach(const std::shared_ptr<AKPhotoBasePreviewVC>& controller,
              const std::shared_ptr<AKPhotoGalleryItem>& item, int64_t index);
  void loadMore(bool left);
  void didLoadMore(bool left, int64_t count);

  std::weak_ptr<AKPhotoGalleryContentDataSource> dataSource_;
  std::weak_ptr<AKPhotoGalleryContentDelegate> delegate_;
  std::function<void(int64_t)> pageChangeBlock_;
  std::function<void(AKPhotoBasePreviewVC&)> prepareToShow_;
  int64_t currentIndex_ = 0;
  std::shared_ptr<AKPhotoGalleryScrollView> mainView_;
  std::map<AKPhotoPreviewClass, std::vector<std::shared_ptr<AKPhotoBasePreviewVC>>> reuseableVCs_;
  // Keyed by item identity; the pair keeps the item alive with its entry.
  std::unordered_map<const AKPhotoGalleryItem*,
                     std::pair<std::shared_ptr<AKPhotoGalleryItem>, std::shared_ptr<AKPhotoBasePreviewVC>>>
      visibleVCs_;
  std::shared_ptr<UIView> footerView_;
  std::shared_ptr<AKPhotoGalleryContentFooterViewContainer> footerViewContainer_;
  std::shared_ptr<AKPhotoIncrementalIndicator> leftIndicator_;
  std::shared_ptr<AKPhotoIncrementalIndicator> rightIndicator_;
  bool isFilled_ = false;
};
