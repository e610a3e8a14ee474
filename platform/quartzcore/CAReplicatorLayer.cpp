#include "platform/quartzcore/CAReplicatorLayer.h"

#include <algorithm>

#include "platform/foundation/ThreadChecks.h"
#include "platform/quartzcore/CALayerRendering.h"

std::shared_ptr<CALayer> CAReplicatorLayer::makeCopy() const {
  return std::shared_ptr<CALayer>(new CAReplicatorLayer(*this));
}

void CAReplicatorLayer::setInstanceCount(int64_t count) {
  QX_DCHECK_MAIN_THREAD();
  instanceCount_ = std::max<int64_t>(0, count);
}

void CAReplicatorLayer::setInstanceDelay(double delay) {
  QX_DCHECK_MAIN_THREAD();
  instanceDelay_ = delay;
}

void CAReplicatorLayer::setInstanceTransform(const CATransform3D& t) {
  QX_DCHECK_MAIN_THREAD();
  instanceTransform_ = t;
}

void CAReplicatorLayer::setInstanceColor(CGColorRef color) {
  QX_DCHECK_MAIN_THREAD();
  instanceColor_ = std::move(color);
}

void CAReplicatorLayer::setInstanceRedOffset(double v) {
  QX_DCHECK_MAIN_THREAD();
  offsets_[0] = v;
}

void CAReplicatorLayer::setInstanceGreenOffset(double v) {
  QX_DCHECK_MAIN_THREAD();
  offsets_[1] = v;
}

void CAReplicatorLayer::setInstanceBlueOffset(double v) {
  QX_DCHECK_MAIN_THREAD();
  offsets_[2] = v;
}

void CAReplicatorLayer::setInstanceAlphaOffset(double v) {
  QX_DCHECK_MAIN_THREAD();
  offsets_[3] = v;
}

CAValue CAReplicatorLayer::valueForKeyPath(const std::string& keyPath) const {
  if (keyPath == "instanceTransform") return instanceTransform_;
  if (keyPath == "instanceColor") return instanceColor_;
  if (keyPath == "instanceDelay") return instanceDelay_;
  return CALayer::valueForKeyPath(keyPath);
}

bool CAReplicatorLayer::setValueForKeyPath(const std::string& keyPath, const CAValue& value) {
  if (auto t = std::get_if<CATransform3D>(&value); t && keyPath == "instanceTransform") {
    return instanceTransform_ = *t, true;
  }
  if (auto c = std::get_if<CGColorRef>(&value); c && keyPath == "instanceColor") {
    return instanceColor_ = *c, true;
  }
  if (auto d = std::get_if<double>(&value); d && keyPath == "instanceDelay") {
    return instanceDelay_ = *d, true;
  }
  return CALayer::setValueForKeyPath(keyPath, value);
}

void CAReplicatorLayer::renderSublayers(const CGContextRef& context, double time,
                                        const std::vector<std::shared_ptr<CALayer>>& sublayers)
    const {
  using namespace CALayerRendering;
  double base[4] = {1, 1, 1, 1};
  if (instanceColor_) instanceColor_->getRGBA(base);
  CGRect b = bounds();
  CGPoint centre = CGPointMake(CGRectGetMidX(b), CGRectGetMidY(b));
  CGAffineTransform step = CGAffineTransformConcat(
      CGAffineTransformConcat(CGAffineTransformMakeTranslation(-centre.x, -centre.y),
                              CATransform3DGetAffineTransform(instanceTransform_)),
      CGAffineTransformMakeTranslation(centre.x, centre.y));
  CGAffineTransform current = CGAffineTransformIdentity;
  for (int64_t i = 0; i < instanceCount_; ++i) {
    double rgba[4];
    bool tinted = false;
    for (int k = 0; k < 4; ++k) {
      rgba[k] = std::clamp(base[k] + offsets_[k] * double(i), 0.0, 1.0);
      tinted = tinted || rgba[k] < 1;
    }
    double instanceTime = time - instanceDelay_ * double(i);
    CGContextSaveGState(context);
    CGContextConcatCTM(context, current);
    if (tinted) {
      Offscreen copy = makeOffscreen(context, visibleDeviceBox(context));
      if (copy.context) {
        CALayer::renderSublayers(copy.context, instanceTime, sublayers);
        tint(copy, rgba);
        composite(copy, context, 1);
      }
    } else {
      CALayer::renderSublayers(context, instanceTime, sublayers);
    }
    CGContextRestoreGState(context);
    current = CGAffineTransformConcat(step, current);
  }
}
