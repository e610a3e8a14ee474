#pragma once

// The crop screen: one image in the crop canvas with the toolbar along one
// edge and an optional title. The user moves and resizes the box, turns the
// image, picks an aspect ratio, resets, and confirms with Done or leaves with
// Cancel. Done shares the crop or hands it to the delegate and the blocks.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crop/CRCropView.h"
#include "platform/uikit/UIActivityItemSource.h"
#include "platform/uikit/UIViewController.h"

class UIActivity;
class UIActivityViewController;

class CRCropToolbar;
class CRCropViewController;
class CRCropViewControllerTransitioning;
class UILabel;

enum CRCropViewControllerToolbarPosition : int64_t {
  CRCropViewControllerToolbarPositionBottom = 0,
  CRCropViewControllerToolbarPositionTop = 1,
};

enum CRCropViewControllerAspectRatioPreset : int64_t {
  CRCropViewControllerAspectRatioPresetOriginal = 0,
  CRCropViewControllerAspectRatioPresetSquare = 1,
  CRCropViewControllerAspectRatioPreset3x2 = 2,
  CRCropViewControllerAspectRatioPreset5x3 = 3,
  CRCropViewControllerAspectRatioPreset4x3 = 4,
  CRCropViewControllerAspectRatioPreset5x4 = 5,
  CRCropViewControllerAspectRatioPreset7x5 = 6,
  CRCropViewControllerAspectRatioPreset16x9 = 7,
  CRCropViewControllerAspectRatioPresetCustom = 8,
};

// All four operations are optional: a delegate says which it has through
// respondsTo(), and only those are sent.
class CRCropViewControllerDelegate {
 public:
  enum class Operation { DidCropImageToRect, DidCropToImage, DidCropToCircularImage,
                         DidFinishCancelled };
  virtual ~CRCropViewControllerDelegate() = default;
  virtual bool respondsTo(Operation) const { return false; }
  virtual void cropViewControllerDidCropImageToRect(CRCropViewController&, CGRect, int64_t) {}
  virtual void cropViewControllerDidCropToImage(CRCropViewController&,
                                                const std::shared_ptr<UIImage>&, CGRect,
                                                int64_t) {}
  virtual void cropViewControllerDidCropToCircularImage(CRCropViewController&,
                                                        const std::shared_ptr<UIImage>&, CGRect,
                                                        int64_t) {}
  virtual void cropViewControllerDidFinishCancelled(CRCropViewController&, bool) {}
};

class CRCropViewController : public UIViewController,
                             public UIViewControllerTransitioningDelegate,
                             public CRCropViewDelegate {
 public:
  using RectBlock = std::function<void(CGRect cropRect, int64_t angle)>;
  using ImageBlock =
      std::function<void(const std::shared_ptr<UIImage>& image, CGRect cropRect, int64_t angle)>;
  using CancelBlock = std::function<void(bool cancelled)>;
  using Block = std::function<void()>;
  static constexpr double kToolbarThickness = 44;
  static constexpr double kTitleMargin = 14;
  static constexpr double kResultDelay = 0.03;

  // A missing image, or one of zero width or height, stops the process.
  static std::shared_ptr<CRCropViewController> controllerWithImage(std::shared_ptr<UIImage> image);
  static std::shared_ptr<CRCropViewController> controllerWithCroppingStyle(
      CRCropViewCroppingStyle style, std::shared_ptr<UIImage> image);
  CRCropViewController(CRCropViewCroppingStyle style, std::shared_ptr<UIImage> image);
  ~CRCropViewController() override;

  const std::shared_ptr<UIImage>& image() const { return image_; }
  CRCropViewCroppingStyle croppingStyle() const { return croppingStyle_; }
  std::shared_ptr<CRCropViewControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<CRCropViewControllerDelegate>& d) { delegate_ = d; }
  void setTitle(std::string title);

  bool showActivitySheetOnDone = false;
  ValueList activityItems;
  std::vector<std::shared_ptr<UIActivity>> applicationActivities;
  std::vector<UIActivityType> excludedActivityTypes;
  bool showCancelConfirmationDialog = false;
  CRCropViewControllerToolbarPosition toolbarPosition = CRCropViewControllerToolbarPositionBottom;
  bool hidesNavigationBar = true;
  std::optional<std::string> customAspectRatioName;
  // Presets 0...7 for the sheet; nullopt lists all eight.
  std::optional<std::vector<int64_t>> allowedAspectRatios;
  RectBlock onDidCropImageToRect;
  ImageBlock onDidCropToRect;
  ImageBlock onDidCropToCircleImage;
  CancelBlock onDidFinishCancelled;

  // --- Presets ---
  CRCropViewControllerAspectRatioPreset aspectRatioPreset() const { return aspectRatioPreset_; }
  // Stores only; a non-zero preset is applied when the screen appears.
  void setAspectRatioPreset(CRCropViewControllerAspectRatioPreset p) { aspectRatioPreset_ = p; }
  void setAspectRatioPreset(CRCropViewControllerAspectRatioPreset p, bool animated);
  CGSize customAspectRatio() const { return customAspectRatio_; }
  void setCustomAspectRatio(CGSize ratio);
  bool aspectRatioLockEnabled();
  void setAspectRatioLockEnabled(bool on);
  bool aspectRatioLockDimensionSwapEnabled() const { return aspectRatioLockDimensionSwapEnabled_; }
  void setAspectRatioLockDimensionSwapEnabled(bool on);
  bool resetAspectRatioEnabled();
  void setResetAspectRatioEnabled(bool on);
  double minimumAspectRatio();
  void setMinimumAspectRatio(double r);
  void showAspectRatioDialog();
  // The width:height pair of a preset (zero for the original ratio).
  CGSize ratioForPreset(int64_t preset) const;

  // --- Crop state (kept by the canvas) ---
  int64_t angle();
  void setAngle(int64_t angle);
  CGRect imageCropFrame();
  void setImageCropFrame(const CGRect& frame);

  // --- Toolbar settings (kept by the toolbar) ---
  std::optional<std::string> doneButtonTitle();
  void setDoneButtonTitle(std::optional<std::string> title);
  std::optional<std::string> cancelButtonTitle();
  void setCancelButtonTitle(std::optional<std::string> title);
  UIColorPtr doneButtonColor();
  void setDoneButtonColor(UIColorPtr color);
  UIColorPtr cancelButtonColor();
  void setCancelButtonColor(UIColorPtr color);
  bool showOnlyIcons();
  void setShowOnlyIcons(bool on);
  bool rotateButtonsHidden();
  void setRotateButtonsHidden(bool hidden);
  bool rotateClockwiseButtonHidden();
  void setRotateClockwiseButtonHidden(bool hidden);
  bool resetButtonHidden();
  void setResetButtonHidden(bool hidden);
  bool aspectRatioPickerButtonHidden();
  void setAspectRatioPickerButtonHidden(bool hidden);
  bool doneButtonHidden();
  void setDoneButtonHidden(bool hidden);
  bool cancelButtonHidden();
  void setCancelButtonHidden(bool hidden);
  bool reverseContentLayout();
  void setReverseContentLayout(bool on);

  // Made on first use.
  const std::shared_ptr<CRCropView>& cropView();
  const std::shared_ptr<CRCropToolbar>& toolbar();
  // Present while the title is non-empty.
  const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
  const std::shared_ptr<CRCropViewControllerTransitioning>& transitionController() const {
    return transitionController_;
  }
  bool inTransition() const { return inTransition_; }

  // --- Actions ---
  void doneButtonTapped();
  void commitCurrentCrop() { doneButtonTapped(); }
  void cancelButtonTapped();
  void dismissCropViewController();
  void resetCropViewLayout();
  void rotateCropViewClockwise();
  void rotateCropViewCounterclockwise();

  // --- Zoom transition ---
  void presentAnimatedFromParentViewController(const std::shared_ptr<UIViewController>& parent,
                                               const std::shared_ptr<UIView>& fromView,
                                               CGRect fromFrame, Block setup,
                                               OnceClosure completion);
  void presentAnimatedFromParentViewController(const std::shared_ptr<UIViewController>& parent,
                                               const std::shared_ptr<UIImage>& image,
                                               const std::shared_ptr<UIView>& fromView,
                                               CGRect fromFrame, int64_t angle, CGRect toImageFrame,
                                               Block setup, OnceClosure completion);
  void dismissAnimatedFromParentViewController(const std::shared_ptr<UIViewController>& parent,
                                               const std::shared_ptr<UIView>& toView,
                                               CGRect toFrame, Block setup, OnceClosure completion);
  void dismissAnimatedFromParentViewController(const std::shared_ptr<UIViewController>& parent,
                                               const std::shared_ptr<UIImage>& croppedImage,
                                               const std::shared_ptr<UIView>& toView,
                                               CGRect toFrame, Block setup, OnceClosure completion);

  // --- Layout ---
  bool verticalLayout();
  double statusBarHeight();
  bool statusBarHidden() const;
  bool overrideStatusBar() const;
  UIEdgeInsets statusBarSafeInsets();
  CGRect frameForToolbarWithVerticalLayout(bool vertical);
  CGRect frameForCropViewWithVerticalLayout(bool vertical);
  CGRect frameForTitleLabelWithSize(CGSize size, bool vertical);
  void adjustCropViewInsets();
  void adjustToolbarInsets();

  // --- UIViewController ---
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;
  void viewDidLayoutSubviews() override;
  void viewSafeAreaInsetsDidChange() override;
  void viewWillTransitionToSize(const CGSize& size,
                                UIViewControllerTransitionCoordinator& coordinator) override;
  bool prefersStatusBarHidden() const override;
  UIStatusBarStyle preferredStatusBarStyle() const override;
  // All four edges.
  uint64_t preferredScreenEdgesDeferringSystemGestures() const { return 15; }

  // --- UIViewControllerTransitioningDelegate ---
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForPresentedController(
      const std::shared_ptr<UIViewController>& presented,
      const std::shared_ptr<UIViewController>& presenting,
      const std::shared_ptr<UIViewController>& source) override;
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForDismissedController(
      const std::shared_ptr<UIViewController>& dismissed) override;

  // --- CRCropViewDelegate ---
  void cropViewDidBecomeResettable(CRCropView&) override;
  void cropViewDidBecomeNonResettable(CRCropView&) override;

  std::string className() const override { return "CRCropViewController"; }

 private:
  std::shared_ptr<CRCropViewController> me() {
    return std::static_pointer_cast<CRCropViewController>(shared_from_this());
  }
  bool delegateResponds(CRCropViewControllerDelegate::Operation op) const;
  // Pops the screen off a navigation stack of two or more (true), else asks
  // its presenter to dismiss it (false).
  bool leaveScreen();
  bool usesZoomTransition() const;
  void installToolbarCallbacks();
  void presentShareSheet(CGRect cropFrame, int64_t angle);
  void finishSharing(const std::weak_ptr<UIActivityViewController>& sheet);
  void deliverResult(const std::shared_ptr<UIImage>& image, CGRect cropFrame, int64_t angle,
                     bool circular);
  void rotationWillBegin(bool landscape, double duration);
  void rotationAnimates(bool landscape, double duration);
  void rotationDidEnd();

  std::shared_ptr<UIImage> image_;
  CRCropViewCroppingStyle croppingStyle_;
  std::weak_ptr<CRCropViewControllerDelegate> delegate_;
  CRCropViewControllerAspectRatioPreset aspectRatioPreset_ =
      CRCropViewControllerAspectRatioPresetOriginal;
  CGSize customAspectRatio_ = CGSizeZero;
  bool aspectRatioLockDimensionSwapEnabled_ = false;
  std::shared_ptr<CRCropView> cropView_;
  std::shared_ptr<CRCropToolbar> toolbar_;
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UIView> toolbarSnapshotView_;
  Block prepareForTransitionHandler_;
  std::shared_ptr<CRCropViewControllerTransitioning> transitionController_;
  bool inTransition_ = false;
  bool navigationBarHidden_ = false;
  bool toolbarHidden_ = false;
  bool firstTime_ = false;
  // Set from Done until the result has been delivered, so a double tap delivers once.
  bool delivering_ = false;
};
