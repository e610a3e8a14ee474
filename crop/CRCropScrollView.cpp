#include "crop/internal/CRCropScrollView.h"

void CRCropScrollView::touchesBegan(const UITouchSet& touches, UIEvent* event) {
  if (touchesBegan_) touchesBegan_();
  UIScrollView::touchesBegan(touches, event);
}

void CRCropScrollView::touchesEnded(const UITouchSet& touches, UIEvent* event) {
  if (touchesEnded_) touchesEnded_();
  UIScrollView::touchesEnded(touches, event);
}

void CRCropScrollView::touchesCancelled(const UITouchSet& touches, UIEvent* event) {
  if (touchesCancelled_) touchesCancelled_();
  UIScrollView::touchesCancelled(touches, event);
}
