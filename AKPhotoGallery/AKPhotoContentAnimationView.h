#pragma once

// A stand-in for a page's content during a transition: it holds a content
// view of a known natural size and lays it out inside its own bounds the way
// an image view lays out its image for each content mode, so that growing
// or shrinking the wrapper moves the content exactly like the real page.

#include <memory>

#include "platform/uikit/UIView.h"

class UIImage;

class AKPhotoContentAnimationView : public UIView {
 public:
  // The image in a new image view; zero content size without an image.
  static std::shared_ptr<AKPhotoContentAnimationView> withImage(std::shared_ptr<UIImage> image);
  // A content size with both sides zero falls back to the view's bounds.
  static std::shared_ptr<AKPhotoContentAnimationView> withView(std::shared_ptr<UIView> view,
                                                              CGSize contentSize);

  AKPhotoContentAnimationView(std::shared_ptr<UIView> contentView, CGSize contentSize);

  const std::shared_ptr<UIView>& contentView() const { return contentView_; }
  CGSize contentSize() const { return contentSize_; }

  // Stores the mode and lays the content out at once.
  void setContentMode(UIViewContentMode mode);
  UIColorPtr backgroundColor() const { return contentView_->backgroundColor(); }
  void setBackgroundColor(UIColorPtr color) { contentView_->setBackgroundColor(std::move(color)); }

  void layoutSubviews() override;
  std::string className() const override { return "AKPhotoContentAnimationView"; }

 private:
  void layoutContent();

  std::shared_ptr<UIView> contentView_;
  CGSize contentSize_{};
};

// What the base preview needs of a progress indicator.
class AKPhotoProgressIndicatorProtocol {
 public:
  virtual ~AKPhotoProgressIndicatorProtocol() = default;
  virtual void startIndicating() = 0;
  virtual void stopIndicating() = 0;
  virtual void setProgress(float progress) = 0;
};

// The download ring: a thin full circle with a thicker arc growing clockwise
// from 12 o'clock.
class AKPhotoProgressIndicator : public UIView, public AKPhotoProgressIndicatorProtocol {
 public:
  // Sized to the host's bounds at this moment, hidden, added to the host.
  static std::shared_ptr<AKPhotoProgressIndicator> withHostView(const std::shared_ptr<UIView>& host);
  explicit AKPhotoProgressIndicator(const CGRect& frame);

  void startIndicating() override;
  void stopIndicating() override;
  void setProgress(float progress) override;
  float progress() const { return progress_; }

  void drawRect(const CGRect& rect) override;
  std::string className() const override { return "AKPhotoProgressIndicator"; }

 private:
  float progress_ = 0;
};
