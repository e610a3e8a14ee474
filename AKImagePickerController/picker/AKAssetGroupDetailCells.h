#pragma once
// The cells of the asset grid: the protocol through which the grid talks to
// every cell, the base cell with its long press and press feedback, and the
// camera, photo (selection badge with its number) and video (duration bar)
// cells. Cells only show things: the grid fetches thumbnails and decides
// selection.

#include <functional>
#include <memory>
#include <string>

#include "AKImagePickerController/data/AKAsset.h"
#include "platform/uikit/UICollectionViewCell.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UILongPressGestureRecognizer.h"

class AKImagePickerController;
class AKAssetGroupDetailBaseCell;

// What the grid reads and writes on a cell.
class AKAssetGroupCellItemProtocol {
 public:
  virtual ~AKAssetGroupCellItemProtocol() = default;
  virtual AKAssetPtr asset() const = 0;
  virtual void setAsset(const AKAssetPtr& asset) = 0;
  virtual int64_t selectedIndex() const = 0;
  virtual void setSelectedIndex(int64_t index) = 0;
  virtual UIImagePtr thumbnailImage() const = 0;
  virtual void setThumbnailImage(UIImagePtr image) = 0;
  virtual std::shared_ptr<UIImageView> thumbnailImageView() = 0;
};

class AKAssetGroupDetailBaseCell : public UICollectionViewCell, public AKAssetGroupCellItemProtocol {
 public:
  static constexpr double kLongPressDuration = 0.3;

  explicit AKAssetGroupDetailBaseCell(const CGRect& frame = CGRectZero);

  AKAssetPtr asset() const override { return asset_.lock(); }
  void setAsset(const AKAssetPtr& asset) override { asset_ = asset; }
  std::shared_ptr<AKImagePickerController> imagePickerController() const {
    return imagePickerController_.lock();
  }
  void setImagePickerController(const std::shared_ptr<AKImagePickerController>& picker) {
    imagePickerController_ = picker;
  }
  int64_t selectedIndex() const override { return selectedIndex_; }
  void setSelectedIndex(int64_t index) override { selectedIndex_ = index; }
  UIImagePtr thumbnailImage() const override { return thumbnailImage_; }
  void setThumbnailImage(UIImagePtr image) override { thumbnailImage_ = std::move(image); }
  // Cells that show a thumbnail answer their image view.
  std::shared_ptr<UIImageView> thumbnailImageView() override { return nullptr; }

  const std::function<void()>& longPressBlock() const { return longPressBlock_; }
  void setLongPressBlock(std::function<void()> block) { longPressBlock_ = std::move(block); }
  const std::shared_ptr<UILongPressGestureRecognizer>& longPressGestureRecognizer() const {
    return longPress_;
  }

  void setHighlighted(bool highlighted) override;
  void didMoveToSuperview() override;
  std::string className() const override { return "AKAssetGroupDetailBaseCell"; }

 protected:
  void longPressWithGestureRecognizer(UIGestureRecognizer& recognizer);

 private:
  std::weak_ptr<AKAsset> asset_;
  std::weak_ptr<AKImagePickerController> imagePickerController_;
  int64_t selectedIndex_ = 0;
  UIImagePtr thumbnailImage_;
  std::function<void()> longPressBlock_;
  std::shared_ptr<UILongPressGestureRecognizer> longPress_;
  bool longPressAttached_ = false;
};
using AKAssetGroupDetailBaseCellPtr = std::shared_ptr<AKAssetGroupDetailBaseCell>;

class AKAssetGroupDetailCameraCell : public AKAssetGroupDetailBaseCell {
 public:
  explicit AKAssetGroupDetailCameraCell(const CGRect& frame = CGRectZero);
  static std::string cellReuseIdentifier() { return "AKImageCameraIdentifier"; }
  std::string className() const override { return "AKAssetGroupDetailCameraCell"; }
};

class AKAssetGroupDetailImageCell : public AKAssetGroupDetailBaseCell {
 public:
  // The selection badge: the check background, tinted, and the number.
  class AKImageCheckView : public UIView {
   public:
    using UIView::UIView;
    const std::shared_ptr<UIImageView>& checkImageView();
    const std::shared_ptr<UILabel>& checkLabel();
    void layoutSubviews() override;
    std::string className() const override { return "AKImageCheckView"; }

   private:
    std::shared_ptr<UIImageView> checkImageView_;
    std::shared_ptr<UILabel> checkLabel_;
  };

  explicit AKAssetGroupDetailImageCell(const CGRect& frame = CGRectZero);
  static std::string cellReuseIdentifier() { return "AKImageAssetIdentifier"; }

  std::shared_ptr<UIImageView> thumbnailImageView() override { return _thumbnailImageView(); }
  const std::shared_ptr<UIImageView>& _thumbnailImageView();
  void set_thumbnailImageView(std::shared_ptr<UIImageView> view) {
    thumbnailImageView_ = std::move(view);
  }
  const std::shared_ptr<AKImageCheckView>& checkView() const { return checkView_; }

  // The content view, which every asset cell identifies alike, reads the
  // asset's local identifier as its label, so each cell can be told apart.
  void setAsset(const AKAssetPtr& asset) override;
  void setThumbnailImage(UIImagePtr image) override;
  void setSelectedIndex(int64_t index) override;
  void setSelected(bool selected) override;
  std::string className() const override { return "AKAssetGroupDetailImageCell"; }

 private:
  std::shared_ptr<UIImageView> thumbnailImageView_;
  std::shared_ptr<AKImageCheckView> checkView_;
};

class AKAssetGroupDetailVideoCell : public AKAssetGroupDetailImageCell {
 public:
  static constexpr double kBarHeight = 30;
  static constexpr int64_t kDurationLabelTag = -1;

  explicit AKAssetGroupDetailVideoCell(const CGRect& frame = CGRectZero);
  static std::string cellReuseIdentifier() { return "AKVideoAssetIdentifier"; }

  const std::shared_ptr<UIView>& videoInfoView();

  void setAsset(const AKAssetPtr& asset) override;
  void setSelected(bool selected) override;
  void layoutSubviews() override;
  std::string className() const override { return "AKAssetGroupDetailVideoCell"; }

 private:
  std::shared_ptr<UIView> videoInfoView_;
};

// "m:ss" for a duration in seconds: rounded once to whole seconds (halves
// away from zero), then split; NaN and negative durations read "0:00".
std::string AKVideoDurationText(double seconds);

// An image completion that hands its image to `body` on the main thread: at
// once when it is called there, else through the main queue (the media
// provider may answer on its own queue).
AKImageCompletion AKOnMainThread(std::function<void(const UIImagePtr& image)> body);
