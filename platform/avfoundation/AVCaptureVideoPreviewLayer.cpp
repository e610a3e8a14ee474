#include "platform/avfoundation/AVCaptureVideoPreviewLayer.h"

#include <algorithm>

#include "platform/quartzcore/CALayerRendering.h"

void AVCaptureVideoPreviewLayer::setSession(AVCaptureSessionPtr session) {
  state_->session = std::move(session);
  state_->connection->setSession(state_->session);
}

AVCaptureConnectionPtr AVCaptureVideoPreviewLayer::connection() const {
  if (!state_->session || !state_->session->videoInput()) return nullptr;
  return state_->connection;
}

void AVCaptureVideoPreviewLayer::setVideoGravity(const std::string& gravity) {
  if (gravity != AVLayerVideoGravityResize && gravity != AVLayerVideoGravityResizeAspect &&
      gravity != AVLayerVideoGravityResizeAspectFill) {
    return;
  }
  state_->gravity = gravity;
}

CGRect AVCaptureVideoPreviewLayer::frameRect() const {
  auto input = state_->session ? state_->session->videoInput() : nullptr;
  if (!input) return CGRectNull;
  const CGSize frame = input->source()->dimensions();
  const CGRect b = bounds();
  if (frame.width <= 0 || frame.height <= 0 || b.size.width <= 0 || b.size.height <= 0) {
    return CGRectNull;
  }
  if (state_->gravity == AVLayerVideoGravityResize) return b;
  const double sx = b.size.width / frame.width, sy = b.size.height / frame.height;
  const double scale = state_->gravity == AVLayerVideoGravityResizeAspectFill ? std::max(sx, sy)
                                                                             : std::min(sx, sy);
  const double w = frame.width * scale, h = frame.height * scale;
  return CGRectMake(b.origin.x + (b.size.width - w) / 2, b.origin.y + (b.size.height - h) / 2, w, h);
}

CGPoint AVCaptureVideoPreviewLayer::captureDevicePointOfInterestForPoint(CGPoint point) const {
  const CGRect f = frameRect();
  if (CGRectIsNull(f)) return CGPointMake(0.5, 0.5);
  return CGPointMake((point.x - f.origin.x) / f.size.width, (point.y - f.origin.y) / f.size.height);
}

CGPoint AVCaptureVideoPreviewLayer::pointForCaptureDevicePointOfInterest(CGPoint point) const {
  const CGRect f = frameRect();
  if (CGRectIsNull(f)) return CGPointZero;
  return CGPointMake(f.origin.x + point.x * f.size.width, f.origin.y + point.y * f.size.height);
}

CGRect AVCaptureVideoPreviewLayer::metadataOutputRectOfInterestForRect(CGRect rect) const {
  const CGPoint a = captureDevicePointOfInterestForPoint(rect.origin);
  const CGPoint b = captureDevicePointOfInterestForPoint(
      CGPointMake(rect.origin.x + rect.size.width, rect.origin.y + rect.size.height));
  return CGRectStandardize(CGRectMake(a.x, a.y, b.x - a.x, b.y - a.y));
}

std::shared_ptr<CALayer> AVCaptureVideoPreviewLayer::makeCopy() const {
  return std::shared_ptr<AVCaptureVideoPreviewLayer>(new AVCaptureVideoPreviewLayer(*this));
}

void AVCaptureVideoPreviewLayer::renderContent(const CGContextRef& context, double time) const {
  CALayer::renderContent(context, time);
  const auto& session = state_->session;
  if (!session) return;
  AVCaptureFramePtr frame = state_->connection->isEnabled() ? session->currentFrame() : nullptr;
  if (!frame) frame = session->lastFrame();
  const CGRect rect = frameRect();
  if (!frame || CGRectIsNull(rect)) return;
  CGContextSaveGState(context);
  CGContextSetInterpolationQuality(context, kCGInterpolationDefault);
  CALayerRendering::drawImageFlipped(context, rect, frame->image);
  CGContextRestoreGState(context);
}
