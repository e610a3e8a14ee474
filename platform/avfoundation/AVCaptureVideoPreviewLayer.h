#pragma once

// A layer showing what a session's camera sees: each render draws the frame
// the camera delivers at that moment, placed by the video gravity; while the
// session is stopped or the connection disabled it keeps the last frame.
//
// Device points and metadata rectangles are normalized frame coordinates
// (x to the right, y down, 0 to 1), the frame being upright in portrait.

#include <memory>

#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/quartzcore/CALayer.h"

// The video gravities (shared with the player layer, which defines them).
extern const char* const AVLayerVideoGravityResize;
extern const char* const AVLayerVideoGravityResizeAspect;
extern const char* const AVLayerVideoGravityResizeAspectFill;

class AVCaptureVideoPreviewLayer : public CALayer {
 public:
  AVCaptureVideoPreviewLayer() = default;
  static std::shared_ptr<AVCaptureVideoPreviewLayer> layer() {
    return std::make_shared<AVCaptureVideoPreviewLayer>();
  }

  const AVCaptureSessionPtr& session() const { return state_->session; }
  void setSession(AVCaptureSessionPtr session);
  // The layer's video connection while its session has a video input.
  AVCaptureConnectionPtr connection() const;
  const std::string& videoGravity() const { return state_->gravity; }
  void setVideoGravity(const std::string& gravity);

  // A point of the layer's bounds to the device's point of interest, and
  // back: how the frame is placed now decides.
  CGPoint captureDevicePointOfInterestForPoint(CGPoint point) const;
  CGPoint pointForCaptureDevicePointOfInterest(CGPoint point) const;
  // A rectangle of the layer's bounds to normalized frame coordinates.
  CGRect metadataOutputRectOfInterestForRect(CGRect rect) const;

  std::string className() const override { return "AVCaptureVideoPreviewLayer"; }

 protected:
  AVCaptureVideoPreviewLayer(const AVCaptureVideoPreviewLayer& other) = default;
  std::shared_ptr<CALayer> makeCopy() const override;
  void renderContent(const CGContextRef& context, double time) const override;

 private:
  // Shared with presentation copies, which render through it.
  struct State {
    AVCaptureSessionPtr session;
    AVCaptureConnectionPtr connection = std::make_shared<AVCaptureConnection>();
    std::string gravity = AVLayerVideoGravityResizeAspect;
  };
  // Where the whole frame lies in the bounds; empty without a frame size.
  CGRect frameRect() const;

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

using AVCaptureVideoPreviewLayerPtr = std::shared_ptr<AVCaptureVideoPreviewLayer>;
