#pragma once

// The scroll view that carries the image and tells its owner when a touch on
// it begins and ends, so the canvas can enter and leave its editing state.

#include <functional>

#include "platform/uikit/UIScrollView.h"

class CRCropScrollView : public UIScrollView {
 public:
  using UIScrollView::UIScrollView;
  using Block = std::function<void()>;

  void setTouchesBegan(Block b) { touchesBegan_ = std::move(b); }
  void setTouchesEnded(Block b) { touchesEnded_ = std::move(b); }
  void setTouchesCancelled(Block b) { touchesCancelled_ = std::move(b); }
  const Block& touchesBeganBlock() const { return touchesBegan_; }
  const Block& touchesEndedBlock() const { return touchesEnded_; }
  const Block& touchesCancelledBlock() const { return touchesCancelled_; }

  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;
  void touchesCancelled(const UITouchSet& touches, UIEvent* event) override;

  std::string className() const override { return "CRCropScrollView"; }

 private:
  Block touchesBegan_, touchesEnded_, touchesCancelled_;
};
