#include "crop/CRCropGeometry.h"

#include "platform/foundation/Fatal.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIView.h"

void CRSetFrameThroughTransform(UIView& view, const CGRect& frame) {
  CGAffineTransform t = view.transform();
  if (CGAffineTransformIsIdentity(t)) {
    view.setFrame(frame);
    return;
  }
  // The transformed box of a w×h bounds is (|a|w + |c|h) × (|b|w + |d|h).
  double a = std::abs(t.a), b = std::abs(t.b), c = std::abs(t.c), d = std::abs(t.d);
  double det = a * d - b * c;
  CGRect bounds = view.bounds();
  if (std::abs(det) > 1e-12) {
    double fw = frame.size.width, fh = frame.size.height;
    bounds.size = CGSizeMake((d * fw - c * fh) / det, (a * fh - b * fw) / det);
  }
  view.setBounds(bounds);
  view.setCenter(CGPointMake(CGRectGetMidX(frame), CGRectGetMidY(frame)));
}

void CRRequireCroppableImage(const UIImage* image) {
  if (!image) FatalStop("Invalid parameter not satisfying: image");
  CGSize size = image->size();
  if (!(size.width > 0) || !(size.height > 0)) {
    FatalStop("Invalid parameter not satisfying: image.size.width > 0 && image.size.height > 0");
  }
}
