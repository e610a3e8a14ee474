#include "AKCamera/internal/AKCameraPreview.h"

#include <algorithm>

#include "AKCamera/internal/AKCameraSessionControl.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/quartzcore/CATransaction.h"
#include "platform/uikit/UIPinchGestureRecognizer.h"
#include "platform/uikit/UITapGestureRecognizer.h"

namespace {

constexpr double kZoomAnimationDuration = 0.025;
constexpr double kFocusRingSize = 100;
constexpr double kFocusRingShrink = 0.6;

}  // namespace

AKCamera::AKCameraPreviewView::AKCameraPreviewView() : AKCameraPreviewView(CGRectZero) {}

AKCamera::AKCameraPreviewView::AKCameraPreviewView(const CGRect& frame)
    : UIView(AVCaptureVideoPreviewLayer::layer(), frame) {}

AKCameraPreview::AKCameraPreview(AKCamera& camera) : camera_(camera) {}

AVCaptureVideoPreviewLayerPtr AKCameraPreview::previewLayer() const {
  auto layer = std::dynamic_pointer_cast<AVCaptureVideoPreviewLayer>(previewView_->layer());
  if (!layer) {
    FatalStop(
        "Expected `AVCaptureVideoPreviewLayer` type for layer. Check "
        "AKCameraPreviewView.layerClass implementation.");
  }
  return layer;
}

void AKCameraPreview::attach(const AVCaptureSessionPtr& session) {
  previewLayer()->setSession(session);
  previewLayer()->setVideoGravity(AVLayerVideoGravityResizeAspectFill);
  const UIViewPtr root = camera_.view();
  root->insertSubviewAtIndex(previewView_, 0);
  previewView_->setFrame(root->bounds());
  previewView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
}

void AKCameraPreview::addGestures(UIView& to) {
  auto weak = WeakFromThis(&camera_);
  auto pinch = std::make_shared<UIPinchGestureRecognizer>();
  pinch->addTarget(camera_.shared(), WeakBind(weak, [](AKCamera& camera, UIGestureRecognizer& g) {
                     camera.handleZoom(g);
                   }));
  to.addGestureRecognizer(pinch);
  auto tap = std::make_shared<UITapGestureRecognizer>();
  tap->addTarget(camera_.shared(), WeakBind(weak, [](AKCamera& camera, UIGestureRecognizer& g) {
                   camera.handleFocus(g);
                 }));
  to.addGestureRecognizer(tap);
}

void AKCameraPreview::handleZoom(UIGestureRecognizer& recognizer) {
  auto* pinch = dynamic_cast<UIPinchGestureRecognizer*>(&recognizer);
  if (!pinch) return;
  if (pinch->state() == UIGestureRecognizerState::Began) {
    beginZoomScale_ = zoomScale_;
  } else if (pinch->state() == UIGestureRecognizerState::Changed) {
    zoomScale_ = std::min(AKCamera::kMaxZoomScale,
                          std::max(AKCamera::kMinZoomScale, beginZoomScale_ * pinch->scale()));
    CATransaction::begin();
    CATransaction::setAnimationDuration(kZoomAnimationDuration);
    previewLayer()->setAffineTransform(CGAffineTransformMakeScale(zoomScale_, zoomScale_));
    CATransaction::commit();
  }
}

void AKCameraPreview::handleFocus(UIGestureRecognizer& tap) {
  const AVCaptureDevicePtr& device = camera_.session().currentDevice();
  if (!device || !device->isFocusPointOfInterestSupported()) return;
  focusAtTouchPoint(tap.locationInView(camera_.view().get()));
}

CGPoint AKCameraPreview::devicePointForTap(CGPoint point) const {
  // The zoom is the layer's transform about its position; its bounds, which
  // the device point is computed in, do not zoom. The tap goes back through
  // the inverse first.
  auto layer = previewLayer();
  const CGRect bounds = layer->bounds();
  const CGPoint anchor = CGPointMake(bounds.origin.x + bounds.size.width * layer->anchorPoint().x,
                                     bounds.origin.y + bounds.size.height * layer->anchorPoint().y);
  const CGPoint offset = CGPointApplyAffineTransform(
      CGPointMake(point.x - layer->position().x, point.y - layer->position().y),
      CGAffineTransformInvert(layer->affineTransform()));
  return layer->captureDevicePointOfInterestForPoint(
      CGPointMake(anchor.x + offset.x, anchor.y + offset.y));
}

void AKCameraPreview::focusAtTouchPoint(CGPoint point) {
  const AVCaptureDevicePtr device = camera_.session().currentDevice();
  if (!device || !device->isFocusPointOfInterestSupported()) return;
  const CGPoint devicePoint = devicePointForTap(point);
  showFocusRing(point);

  if (!device->lockForConfiguration()) return;
  device->setFocusPointOfInterest(devicePoint);
  device->setExposurePointOfInterest(devicePoint);
  device->setFocusMode(AVCaptureFocusModeContinuousAutoFocus);
  if (device->isExposureModeSupported(AVCaptureExposureModeContinuousAutoExposure)) {
    device->setExposureMode(AVCaptureExposureModeContinuousAutoExposure);
  }
  device->unlockForConfiguration();
}

const UIViewPtr& AKCameraPreview::focusView() {
  if (!focusView_) {
    focusView_ = std::make_shared<UIView>(CGRectMake(0, 0, kFocusRingSize, kFocusRingSize));
    focusView_->layer()->setBorderWidth(2);
    focusView_->layer()->setBorderColor(UIColor::whiteColor()->CGColor());
    focusView_->layer()->setCornerRadius(kFocusRingSize / 2);
  }
  return focusView_;
}

void AKCameraPreview::showFocusRing(CGPoint point) {
  const UIViewPtr& ring = focusView();
  ring->setTransform(CGAffineTransformIdentity);
  ring->setCenter(point);
  camera_.view()->addSubview(ring);
  std::weak_ptr<UIView> weakRing = ring;
  UIView::animateWithDuration(
      0.7, 0, 0.5, 1.1, 0,
      [weakRing] {
        if (auto r = weakRing.lock())
          r->setTransform(CGAffineTransformMakeScale(kFocusRingShrink, kFocusRingShrink));
      },
      [weakRing](bool) {
        if (auto r = weakRing.lock()) r->removeFromSuperview();
      });
}

CGRect AKCameraPreview::faceRect(const AVMetadataFaceObject& face) const {
  const CGRect preview = previewView_->frame();
  const double W = preview.size.width, H = preview.size.height;
  const CGRect b = face.bounds();
  const double fromBack = W * (1 - b.origin.y - b.size.height * 0.5);
  const double x = camera_.session().isOnFrontCamera() ? W - fromBack : fromBack;
  return CGRectMake(x, H * (b.origin.x + b.size.width * 0.5), H * b.size.width, W * b.size.height);
}
