#pragma once

// The base of every gallery page: a zoomable scroll view hosting the page's
// content view, the thumbnail shown while the content loads, the progress
// ring, the tap, double-tap and long-press gestures, the long-press sheet and
// a short toast. Subclasses supply the content through the hooks below; the
// class-level factory picks the page class for an item.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AKPhotoGallery/AKPhotoContentAnimationView.h"
#include "platform/foundation/NSError.h"
#include "platform/uikit/UIPreviewAction.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIViewController.h"

class AKPhotoGalleryItem;
class UIAlertAction;
class UIGestureRecognizer;
class UIImageView;

enum class AKPhotoPreviewType { photo = 0, video = 1, pdf = 2 };

// A page class, by its module-qualified runtime name.
using AKPhotoPreviewClass = std::string;
inline constexpr const char* kAKPhotoBasePreviewClass = "AKPhotoGallery.AKPhotoBasePreviewVC";
inline constexpr const char* kAKPhotoImagePreviewClass = "AKPhotoGallery.AKPhotoImagePreviewVC";
inline constexpr const char* kAKPhotoPlayerPreviewClass = "AKPhotoGallery.AKPhotoPlayerPreviewVC";
inline constexpr const char* kAKPhotoPDFPreviewClass = "AKPhotoGallery.AKPhotoPDFPreviewVC";

// What a page loaded: an image, raw image data (a GIF when its format code
// says so), or a URL for video and PDF pages. Null when nothing came.
using AKPhotoPreviewContent = std::shared_ptr<NSObject>;

class AKPhotoBasePreviewVC : public UIViewController, public UIScrollViewDelegate {
 public:
  // Copyable: it reports every step of a fetch.
  using ProgressBlock = std::function<void(float)>;
  using CompleteBlock = OnceCallback<void(AKPhotoPreviewContent content, NSErrorPtr error)>;

  AKPhotoBasePreviewVC();

  // The page class for the item (it may resolve a stored asset identifier
  // into an asset) and a new page of that class holding the item.
  static AKPhotoPreviewClass photoPreviewClassWith(const std::shared_ptr<AKPhotoGalleryItem>& item);
  static std::shared_ptr<AKPhotoBasePreviewVC> photoPreviewVCWith(
      const std::shared_ptr<AKPhotoGalleryItem>& item);
  // The runtime name of this page's class.
  virtual AKPhotoPreviewClass previewClass() const { return kAKPhotoBasePreviewClass; }

  const std::shared_ptr<AKPhotoGalleryItem>& item() const { return item_; }
  virtual void setItem(std::shared_ptr<AKPhotoGalleryItem> item) { item_ = std::move(item); }
  const std::shared_ptr<UIView>& contentView() const { return contentView_; }
  void setContentView(std::shared_ptr<UIView> view) { contentView_ = std::move(view); }
  const std::vector<std::shared_ptr<UIAlertAction>>& customLongPressActions() const {
    return customLongPressActions_;
  }
  void setCustomLongPressActions(std::vector<std::shared_ptr<UIAlertAction>> actions) {
    customLongPressActions_ = std::move(actions);
  }
  const std::vector<std::shared_ptr<NSObject>>& customPreviewActions() const {
    return customPreviewActions_;
  }
  void setCustomPreviewActions(std::vector<std::shared_ptr<NSObject>> actions) {
    customPreviewActions_ = std::move(actions);
  }
  const std::function<void()>& singleTapBlock() const { return singleTapBlock_; }
  void setSingleTapBlock(std::function<void()> block) { singleTapBlock_ = std::move(block); }
  const std::shared_ptr<UIImageView>& thumbnailView() const { return thumbnailView_; }
  const std::shared_ptr<UIScrollView>& scrollView() const { return scrollView_; }
  const std::shared_ptr<AKPhotoProgressIndicatorProtocol>& indicatorView() const {
    return indicatorView_;
  }

  virtual void photoPreviewWillAppear() {}
  virtual void photoPreviewWillDisappear() {}
  virtual void resetScale();
  virtual void showTips(const std::string& message);
  virtual void setNeedsUpdateContent() { startFetchContent(); }
  virtual void prepareForReuse();
  virtual void setupGestures();
  virtual void startFetchContent();
  virtual void centerContentView(CGSize size);
  virtual void singleTapAction(UIGestureRecognizer& gesture);
  virtual void doubleTapAction(UIGestureRecognizer& gesture);
  virtual void longPressAction(UIGestureRecognizer& gesture);
  // The 3D-Touch actions: the custom ones first, then the built-in ones.
  std::vector<std::shared_ptr<UIPreviewActionItem>> previewActionItems() override;

  // The content hooks.
  virtual std::shared_ptr<UIView> createContentView();
  virtual void updateContentView(const AKPhotoPreviewContent& content);
  virtual CGSize contentSize();
  virtual void fetchContent(ProgressBlock progress, CompleteBlock complete);
  virtual std::shared_ptr<UIImage> snapshotImage() { return nullptr; }
  virtual void showError() {}
  virtual void hidesError() {}
  virtual bool enableZoom() { return true; }
  virtual bool enableIndicatorView() { return true; }
  virtual std::vector<std::shared_ptr<UIPreviewActionItem>> defaultPreviewActions() { return {}; }
  virtual std::vector<std::shared_ptr<UIAlertAction>> defaultLongPressActions() { return {}; }
  virtual AKPhotoPreviewType previewType() const { return AKPhotoPreviewType::photo; }

  // Pages with playback controls (video pages) show, hide and configure them
  // as the gallery's control view asks; other pages have none.
  virtual void setControlViewHidden(bool) {}
  virtual void configureVideoControls(bool /*hidden*/, bool /*autoHides*/, bool /*tapToToggle*/,
                                      std::function<void()> /*beginPlay*/,
                                      std::function<void()> /*close*/) {}

  // Scroll-view delegate.
  std::shared_ptr<UIView> viewForZoomingInScrollView(UIScrollView&) override { return contentView_; }
  void scrollViewDidZoom(UIScrollView&) override { centerContentView(contentSize()); }

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidLayoutSubviews() override;
  bool shouldAutorotate() const override { return false; }
  uint64_t supportedInterfaceOrientations() const override { return 2; }
  bool prefersStatusBarHidden() const override { return true; }

  std::string className() const override { return "AKPhotoBasePreviewVC"; }

 private:
  std::shared_ptr<AKPhotoGalleryItem> item_;
  std::shared_ptr<UIView> contentView_;
  std::vector<std::shared_ptr<UIAlertAction>> customLongPressActions_;
  std::vector<std::shared_ptr<NSObject>> customPreviewActions_;
  std::function<void()> singleTapBlock_;
  std::shared_ptr<UIImageView> thumbnailView_;
  std::shared_ptr<UIScrollView> scrollView_;
  std::shared_ptr<AKPhotoProgressIndicatorProtocol> indicatorView_;
};

// The gallery's short message in the middle of a view, gone after about
// three seconds.
void AKShowToast(const std::shared_ptr<UIView>& view, const std::string& message);

// Registers the gallery's page classes with the runtime.
void registerAKPhotoGalleryClasses();
// The runtime names a gallery makes its pages from, whatever its items are.
const std::vector<AKPhotoPreviewClass>& AKPhotoGalleryPageClasses();
