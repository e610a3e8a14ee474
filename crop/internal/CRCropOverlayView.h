#pragma once

// The crop box's outline: four one-point frame lines just outside the box,
// an L-shaped handle at each corner, and a grid of two horizontal and two
// vertical hairlines inside that fades in while the user edits.

#include <memory>
#include <vector>

#include "platform/uikit/UIView.h"

class CRCropOverlayView : public UIView {
 public:
  // The view, not clipping, with its frame lines, handles and both grids.
  static std::shared_ptr<CRCropOverlayView> overlayWithFrame(const CGRect& frame);
  explicit CRCropOverlayView(const CGRect& frame);

  // Does what a view does, then re-lays the lines.
  void setFrame(const CGRect& frame);
  void didMoveToSuperview() override;
  void layoutLines();

  bool gridHidden() const { return gridHidden_; }
  void setGridHidden(bool hidden) { setGridHidden(hidden, false); }
  void setGridHidden(bool hidden, bool animated);

  bool displayHorizontalGridLines() const { return displayHorizontalGridLines_; }
  void setDisplayHorizontalGridLines(bool display);
  bool displayVerticalGridLines() const { return displayVerticalGridLines_; }
  void setDisplayVerticalGridLines(bool display);

  using Lines = std::vector<std::shared_ptr<UIView>>;
  const Lines& horizontalGridLines() const { return horizontalGridLines_; }
  const Lines& verticalGridLines() const { return verticalGridLines_; }
  // Top, right, bottom, left.
  const Lines& outerLineViews() const { return outerLineViews_; }
  // Each pair: the vertical bar, then the horizontal bar.
  const Lines& topLeftLineViews() const { return topLeftLineViews_; }
  const Lines& bottomLeftLineViews() const { return bottomLeftLineViews_; }
  const Lines& bottomRightLineViews() const { return bottomRightLineViews_; }
  const Lines& topRightLineViews() const { return topRightLineViews_; }

  std::string className() const override { return "CRCropOverlayView"; }

 private:
  void setup();
  std::shared_ptr<UIView> createNewLineView();
  Lines makeLines(size_t count);
  void layoutGridLines(const Lines& lines, bool horizontal, CGSize size);

  Lines horizontalGridLines_, verticalGridLines_, outerLineViews_;
  Lines topLeftLineViews_, bottomLeftLineViews_, bottomRightLineViews_, topRightLineViews_;
  bool gridHidden_ = false;
  bool displayHorizontalGridLines_ = false;
  bool displayVerticalGridLines_ = false;
};
