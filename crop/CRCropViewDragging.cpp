// Resizing the crop box by dragging its edges and corners.

#include <algorithm>
#include <cmath>

#include "crop/CRCropGeometry.h"
#include "crop/CRCropOverlayView.h"
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
  const CGRect O = cropOriginFrame_;
  CGRect F = cropBoxFrame_;
  const CGRect B = contentBounds();
  const double P = cropViewPadding_;
  const double a = O.size.width / O.size.height;
  const double m = minimumAspectRatio_;
  const bool lock = aspectRatioLockEnabled_;

  point.x = std::max(point.x, B.origin.x - P);
  point.y = std::max(point.y, B.origin.y - P);
  double dx = std::ceil(point.x - panOriginPoint_.x);
  double dy = std::ceil(point.y - panOriginPoint_.y);

  bool leftAnchored = false, topAnchored = false;
  bool horizontal = false, vertical = false;
  double& x = F.origin.x;
  double& y = F.origin.y;
  double& width = F.size.width;
  double& height = F.size.height;
  const double Ow = O.size.width, Oh = O.size.height;

  // Under the lock the single edges move one side and derive the other from
  // the box as it stood before this event; corners scale both together.
  auto cornerScale = [&](double sx, double sy) {
    double s = (sx + sy) * 0.5;
    width = std::ceil(Ow * s);
    height = std::ceil(Oh * s);
  };

  switch (tappedEdge_) {
    case CRCropViewTappedEdgeTopLeft:
      leftAnchored = topAnchored = true;
      if (lock) {
        horizontal = vertical = true;
        double dxc = std::max(dx, 0.0), dyc = std::max(dy, 0.0);
        cornerScale(1 - dxc / Ow, 1 - dyc / Oh);
        x = O.origin.x + Ow - width;
        y = O.origin.y + Oh - height;
      } else if (ratioAllowed(Ow - dx, Oh - dy, m)) {
        x = O.origin.x + dx;
        y = O.origin.y + dy;
        width = Ow - dx;
        height = Oh - dy;
      }
      break;
    case CRCropViewTappedEdgeTop:
      topAnchored = true;
      if (lock) {
        vertical = true;
        double dyc = std::max(dy, 0.0);
        width = F.size.height * a;
        x = CGRectGetMidX(O) - width * 0.5;
        y = O.origin.y + dyc;
        height = Oh - dyc;
      } else if (ratioAllowed(Ow, Oh - dy, m)) {
        y = O.origin.y + dy;
        height = Oh - dy;
      }
      break;
    case CRCropViewTappedEdgeTopRight:
      topAnchored = true;
      if (lock) {
        horizontal = vertical = true;
        double dxc = std::min(dx, 0.0), dyc = std::max(dy, 0.0);
        cornerScale(1 + dxc / Ow, 1 - dyc / Oh);
        y = O.origin.y + Oh - height;
      } else if (ratioAllowed(Ow + dx, Oh - dy, m)) {
        y = O.origin.y + dy;
        width = Ow + dx;
        height = Oh - dy;
      }
      break;
    case CRCropViewTappedEdgeRight:
      if (lock) {
        horizontal = true;
        height = F.size.width / a;
        y = CGRectGetMidY(O) - height * 0.5;
        width = std::min(Ow + dx, B.size.height * a);
      } else if (ratioAllowed(Ow + dx, Oh, m)) {
        width = Ow + dx;
      }
      break;
    case CRCropViewTappedEdgeBottomRight:
      if (lock) {
        horizontal = vertical = true;
        cornerScale(1 + dx / Ow, 1 + dy / Oh);
      } else if (ratioAllowed(Ow + dx, Oh + dy, m)) {
        width = Ow + dx;
        height = Oh + dy;
      }
      break;
    case CRCropViewTappedEdgeBottom:
      if (lock) {
        vertical = true;
        width = F.size.height * a;
        x = CGRectGetMidX(O) - width * 0.5;
        height = std::min(Oh + dy, B.size.width / a);
      } else if (ratioAllowed(Ow, Oh + dy, m)) {
        height = Oh + dy;
      }
      break;
    case CRCropViewTappedEdgeBottomLeft:
      leftAnchored = true;
      if (lock) {
        horizontal = vertical = true;
        cornerScale(1 - dx / Ow, 1 + dy / Oh);
        x = CGRectGetMaxX(O) - width;
      } else if (ratioAllowed(Ow - dx, Oh + dy, m)) {
        x = O.origin.x + dx;
        width = Ow - dx;
        height = Oh + dy;
      }
      break;
    case CRCropViewTappedEdgeLeft: {
      leftAnchored = true;
      double d = dx;
      if (lock) {
        horizontal = true;
        d = std::max(dx, 0.0);
        height = F.size.width / a;
        y = CGRectGetMidY(O) - height * 0.5;
      }
      if (ratioAllowed(Ow - d, Oh, m)) {
        x = O.origin.x + d;
        width = Ow - d;
      }
      break;
    }
    case CRCropViewTappedEdgeNone:
      break;
  }

  double maxW = B.size.width, maxH = B.size.height;
  double minW = kMinSize, minH = kMinSize;
  if (lock && horizontal) {
    minW = kMinSize * a;
    maxH = B.size.width / a;
  }
  if (lock && vertical) {
    maxW = B.size.height * a;
    minH = kMinSize / a;
  }
  if (leftAnchored) width = std::min(width, CGRectGetMaxX(O) - B.origin.x);
  if (topAnchored) height = std::min(height, CGRectGetMaxY(O) - B.origin.y);
  width = std::min(std::max(width, minW), maxW);
  height = std::min(std::max(height, minH), maxH);
  x = std::min(std::max(x, CGRectGetMinX(B)), CGRectGetMaxX(B) - minW);
  y = std::min(std::max(y, CGRectGetMinY(B)), CGRectGetMaxY(B) - minH);
  if (leftAnchored && width <= minW + kEps) x = CGRectGetMaxX(O) - minW;
  if (topAnchored && height <= minH + kEps) y = CGRectGetMaxY(O) - minH;

  setCropBoxFrame(F);
  checkForCanReset();
}
