// Resizing the crop box by dragging its edges and corners.

#include <algorithm>
#include <cmath>

#include "crop/internal/CRCropGeometry.h"
#include "crop/internal/CRCropOverlayView.h"
#include "crop/CRCropView.h"
#include "platform/uikit/UIPanGestureRecognizer.h"

namespace {

constexpr double kEps = CRCropView::kEpsilon;
constexpr double kMinSize = CRCropView::kMinimumBoxSize;
constexpr double kGridPanBand = 22;
constexpr double kEdgeHitMargin = 32;

bool contains(const CGRect& r, const CGPoint& p) { return CGRectContainsPoint(r, p); }

// Whether (w, h) keeps at least the minimum ratio of its shorter to its longer side.
bool ratioAllowed(double w, double h, double minimum) {
  return std::min(w, h) / std::max(w, h) >= minimum;
}

// One drag event against the box as it stood when the drag began.
struct BoxDrag {
  CGRect origin;  // the box when the drag began
  CGRect bounds;  // where the box may go
  double dx, dy;  // how far the finger moved, in whole points
  double aspect;  // the origin's width over its height
  double minimumRatio;
};

// Which sides of the box a dragged edge holds (the right and bottom ones
// stay where they were) and along which axes a locked ratio scales it.
struct DragShape {
  bool leftAnchored = false, topAnchored = false;
  bool horizontal = false, vertical = false;
};

DragShape shapeOfDrag(CRCropViewTappedEdge edge) {
  switch (edge) {
    case CRCropViewTappedEdgeTopLeft: return {true, true, true, true};
    case CRCropViewTappedEdgeTop: return {false, true, false, true};
    case CRCropViewTappedEdgeTopRight: return {false, true, true, true};
    case CRCropViewTappedEdgeRight: return {false, false, true, false};
    case CRCropViewTappedEdgeBottomRight: return {false, false, true, true};
    case CRCropViewTappedEdgeBottom: return {false, false, false, true};
    case CRCropViewTappedEdgeBottomLeft: return {true, false, true, true};
    case CRCropViewTappedEdgeLeft: return {true, false, true, false};
    case CRCropViewTappedEdgeNone: break;
  }
  return {};
}

// Without the lock an edge moves its sides as far as the finger went, unless
// that would squeeze the box beyond the minimum ratio (then it stays).
void dragFree(CRCropViewTappedEdge edge, const BoxDrag& d, CGRect& F) {
  const CGRect& O = d.origin;
  const double Ow = O.size.width, Oh = O.size.height, dx = d.dx, dy = d.dy;
  const double m = d.minimumRatio;
  switch (edge) {
    case CRCropViewTappedEdgeTopLeft:
      if (ratioAllowed(Ow - dx, Oh - dy, m)) {
        F.origin = CGPointMake(O.origin.x + dx, O.origin.y + dy);
        F.size = CGSizeMake(Ow - dx, Oh - dy);
      }
      break;
    case CRCropViewTappedEdgeTop:
      if (ratioAllowed(Ow, Oh - dy, m)) {
        F.origin.y = O.origin.y + dy;
        F.size.height = Oh - dy;
      }
      break;
    case CRCropViewTappedEdgeTopRight:
      if (ratioAllowed(Ow + dx, Oh - dy, m)) {
        F.origin.y = O.origin.y + dy;
        F.size = CGSizeMake(Ow + dx, Oh - dy);
      }
      break;
    case CRCropViewTappedEdgeRight:
      if (ratioAllowed(Ow + dx, Oh, m)) F.size.width = Ow + dx;
      break;
    case CRCropViewTappedEdgeBottomRight:
      if (ratioAllowed(Ow + dx, Oh + dy, m)) F.size = CGSizeMake(Ow + dx, Oh + dy);
      break;
    case CRCropViewTappedEdgeBottom:
      if (ratioAllowed(Ow, Oh + dy, m)) F.size.height = Oh + dy;
      break;
    case CRCropViewTappedEdgeBottomLeft:
      if (ratioAllowed(Ow - dx, Oh + dy, m)) {
        F.origin.x = O.origin.x + dx;
        F.size = CGSizeMake(Ow - dx, Oh + dy);
      }
      break;
    case CRCropViewTappedEdgeLeft:
      if (ratioAllowed(Ow - dx, Oh, m)) {
        F.origin.x = O.origin.x + dx;
        F.size.width = Ow - dx;
      }
      break;
    case CRCropViewTappedEdgeNone:
      break;
  }
}

// Under the lock the single edges move one side and derive the other from
// the box as it stood before this event; corners scale both together.
void dragLocked(CRCropViewTappedEdge edge, const BoxDrag& d, CGRect& F) {
  const CGRect& O = d.origin;
  const CGRect& B = d.bounds;
  const double Ow = O.size.width, Oh = O.size.height, dx = d.dx, dy = d.dy, a = d.aspect;
  auto cornerScale = [&](double sx, double sy) {
    double s = (sx + sy) * 0.5;
    F.size = CGSizeMake(std::ceil(Ow * s), std::ceil(Oh * s));
  };
  switch (edge) {
    case CRCropViewTappedEdgeTopLeft:
      cornerScale(1 - std::max(dx, 0.0) / Ow, 1 - std::max(dy, 0.0) / Oh);
      F.origin = CGPointMake(O.origin.x + Ow - F.size.width, O.origin.y + Oh - F.size.height);
      break;
    case CRCropViewTappedEdgeTop: {
      const double dyc = std::max(dy, 0.0);
      F.size.width = F.size.height * a;
      F.origin = CGPointMake(CGRectGetMidX(O) - F.size.width * 0.5, O.origin.y + dyc);
      F.size.height = Oh - dyc;
      break;
    }
    case CRCropViewTappedEdgeTopRight:
      cornerScale(1 + std::min(dx, 0.0) / Ow, 1 - std::max(dy, 0.0) / Oh);
      F.origin.y = O.origin.y + Oh - F.size.height;
      break;
    case CRCropViewTappedEdgeRight:
      F.size.height = F.size.width / a;
      F.origin.y = CGRectGetMidY(O) - F.size.height * 0.5;
      F.size.width = std::min(Ow + dx, B.size.height * a);
      break;
    case CRCropViewTappedEdgeBottomRight:
      cornerScale(1 + dx / Ow, 1 + dy / Oh);
      break;
    case CRCropViewTappedEdgeBottom:
      F.size.width = F.size.height * a;
      F.origin.x = CGRectGetMidX(O) - F.size.width * 0.5;
      F.size.height = std::min(Oh + dy, B.size.width / a);
      break;
    case CRCropViewTappedEdgeBottomLeft:
      cornerScale(1 - dx / Ow, 1 + dy / Oh);
      F.origin.x = CGRectGetMaxX(O) - F.size.width;
      break;
    case CRCropViewTappedEdgeLeft: {
      // The left edge keeps the minimum ratio even under the lock.
      const double dxc = std::max(dx, 0.0);
      F.size.height = F.size.width / a;
      F.origin.y = CGRectGetMidY(O) - F.size.height * 0.5;
      if (ratioAllowed(Ow - dxc, Oh, d.minimumRatio)) {
        F.origin.x = O.origin.x + dxc;
        F.size.width = Ow - dxc;
      }
      break;
    }
    case CRCropViewTappedEdgeNone:
      break;
  }
}

// Keeps the dragged box within the bounds and above the minimum size; a held
// side stays where it was when the box is at its smallest.
void clampDraggedBox(const DragShape& shape, bool lock, const BoxDrag& d, CGRect& F) {
  const CGRect& O = d.origin;
  const CGRect& B = d.bounds;
  double maxW = B.size.width, maxH = B.size.height;
  double minW = kMinSize, minH = kMinSize;
  if (lock && shape.horizontal) {
    minW = kMinSize * d.aspect;
    maxH = B.size.width / d.aspect;
  }
  if (lock && shape.vertical) {
    maxW = B.size.height * d.aspect;
    minH = kMinSize / d.aspect;
  }
  double& width = F.size.width;
  double& height = F.size.height;
  if (shape.leftAnchored) width = std::min(width, CGRectGetMaxX(O) - B.origin.x);
  if (shape.topAnchored) height = std::min(height, CGRectGetMaxY(O) - B.origin.y);
  width = std::min(std::max(width, minW), maxW);
  height = std::min(std::max(height, minH), maxH);
  F.origin.x = std::min(std::max(F.origin.x, CGRectGetMinX(B)), CGRectGetMaxX(B) - minW);
  F.origin.y = std::min(std::max(F.origin.y, CGRectGetMinY(B)), CGRectGetMaxY(B) - minH);
  if (shape.leftAnchored && width <= minW + kEps) F.origin.x = CGRectGetMaxX(O) - minW;
  if (shape.topAnchored && height <= minH + kEps) F.origin.y = CGRectGetMaxY(O) - minH;
}

}  // namespace

CRCropViewTappedEdge CRCropView::cropEdgeForPoint(const CGPoint& point) const {
  CGRect G = CGRectInset(cropBoxFrame_, -kEdgeHitMargin, -kEdgeHitMargin);
  const double s = kEdgeHitMargin * 2;
  double minX = CGRectGetMinX(G), minY = CGRectGetMinY(G);
  double maxX = CGRectGetMaxX(G), maxY = CGRectGetMaxY(G);
  if (contains(CGRectMake(minX, minY, s, s), point)) return CRCropViewTappedEdgeTopLeft;
  if (contains(CGRectMake(maxX - s, minY, s, s), point)) return CRCropViewTappedEdgeTopRight;
  if (contains(CGRectMake(minX, maxY - s, s, s), point)) return CRCropViewTappedEdgeBottomLeft;
  if (contains(CGRectMake(maxX - s, maxY - s, s, s), point)) return CRCropViewTappedEdgeBottomRight;
  if (contains(CGRectMake(minX, minY, G.size.width, s), point)) return CRCropViewTappedEdgeTop;
  if (contains(CGRectMake(minX, maxY - s, G.size.width, s), point)) return CRCropViewTappedEdgeBottom;
  if (contains(CGRectMake(minX, minY, s, G.size.height), point)) return CRCropViewTappedEdgeLeft;
  if (contains(CGRectMake(maxX - s, minY, s, G.size.height), point)) return CRCropViewTappedEdgeRight;
  return CRCropViewTappedEdgeNone;
}

bool CRCropView::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  if (&recognizer != gridPan_.get()) return true;
  CGPoint p = recognizer.locationInView(this);
  CGRect frame = gridOverlayView_->frame();
  CGRect inner = CGRectInset(frame, kGridPanBand, kGridPanBand);
  CGRect outer = CGRectInset(frame, -kGridPanBand, -kGridPanBand);
  return !contains(inner, p) && contains(outer, p);
}

bool CRCropView::gestureRecognizerShouldReceiveTouch(UIGestureRecognizer& recognizer,
                                                     const UITouch&) {
  if (&recognizer == gridPan_.get() && recognizer.state() == UIGestureRecognizerState::Changed) {
    return false;  // a second finger does not join a running drag
  }
  return true;
}

void CRCropView::gridPanGestureRecognized(UIGestureRecognizer& recognizer) {
  CGPoint p = recognizer.locationInView(this);
  UIGestureRecognizerState state = recognizer.state();
  if (state == UIGestureRecognizerState::Began) {
    startEditing();
    panOriginPoint_ = p;
    cropOriginFrame_ = cropBoxFrame_;
    tappedEdge_ = cropEdgeForPoint(p);
  }
  if (state == UIGestureRecognizerState::Ended) startResetTimer();
  updateCropBoxFrameWithGesturePoint(p);
}

void CRCropView::longPressGestureRecognized(UIGestureRecognizer& recognizer) {
  if (!gridOverlayView_) return;
  if (recognizer.state() == UIGestureRecognizerState::Began) gridOverlayView_->setGridHidden(false, true);
  if (recognizer.state() == UIGestureRecognizerState::Ended) gridOverlayView_->setGridHidden(true, true);
}

void CRCropView::updateCropBoxFrameWithGesturePoint(CGPoint point) {
  const CGRect bounds = contentBounds();
  point.x = std::max(point.x, bounds.origin.x - cropViewPadding_);
  point.y = std::max(point.y, bounds.origin.y - cropViewPadding_);
  const BoxDrag drag{cropOriginFrame_,
                     bounds,
                     std::ceil(point.x - panOriginPoint_.x),
                     std::ceil(point.y - panOriginPoint_.y),
                     cropOriginFrame_.size.width / cropOriginFrame_.size.height,
                     minimumAspectRatio_};
  CGRect frame = cropBoxFrame_;
  if (aspectRatioLockEnabled_) {
    dragLocked(tappedEdge_, drag, frame);
  } else {
    dragFree(tappedEdge_, drag, frame);
  }
  clampDraggedBox(shapeOfDrag(tappedEdge_), aspectRatioLockEnabled_, drag, frame);
  setCropBoxFrame(frame);
  checkForCanReset();
}
