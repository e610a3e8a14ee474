#pragma once

// The camera's live preview and what the fingers do on it: pinch to zoom the
// preview (and, through the capture, the photo), tap to focus and expose
// where the finger is, with a ring of this camera's own showing the spot.

#include <memory>

#include "AKCamera/AKCamera.h"
#include "platform/avfoundation/AVCaptureVideoPreviewLayer.h"
#include "platform/uikit/UIGestureRecognizer.h"

class AKCameraPreview {
 public:
  explicit AKCameraPreview(AKCamera& camera);
  AKCameraPreview(const AKCameraPreview&) = delete;
  AKCameraPreview& operator=(const AKCameraPreview&) = delete;

  // Shows the session, aspect-filled, under everything else on the screen.
  void attach(const AVCaptureSessionPtr& session);
  // The pinch and tap recognizers, on the view that takes the touches.
  void addGestures(UIView& to);

  void handleZoom(UIGestureRecognizer& recognizer);
  void handleFocus(UIGestureRecognizer& tap);
  void focusAtTouchPoint(CGPoint point);
  CGRect faceRect(const AVMetadataFaceObject& face) const;

  const std::shared_ptr<AKCamera::AKCameraPreviewView>& previewView() const { return previewView_; }
  AVCaptureVideoPreviewLayerPtr previewLayer() const;
  double zoomScale() const { return zoomScale_; }
  const UIViewPtr& focusView();

 private:
  // The tap in the camera's view as a point of the unzoomed layer, so focus
  // lands where the finger was whatever the zoom.
  CGPoint devicePointForTap(CGPoint point) const;
  void showFocusRing(CGPoint point);

  AKCamera& camera_;
  const std::shared_ptr<AKCamera::AKCameraPreviewView> previewView_ =
      std::make_shared<AKCamera::AKCameraPreviewView>();
  double beginZoomScale_ = 1.0;
  double zoomScale_ = 1.0;
  UIViewPtr focusView_;
};
