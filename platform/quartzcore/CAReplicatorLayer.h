#pragma once

// A layer that draws its sublayers instanceCount times, each copy moved by
// one more instanceTransform (about the layer's centre), tinted by the
// instance colour stepped by the offsets, and running its animations
// instanceDelay later than the one before.

#include "platform/quartzcore/CALayer.h"

class CAReplicatorLayer : public CALayer {
 public:
  CAReplicatorLayer() = default;
  static std::shared_ptr<CAReplicatorLayer> layer() {
    return std::make_shared<CAReplicatorLayer>();
  }

  int64_t instanceCount() const { return instanceCount_; }
  void setInstanceCount(int64_t count);
  double instanceDelay() const { return instanceDelay_; }
  void setInstanceDelay(double delay);
  const CATransform3D& instanceTransform() const { return instanceTransform_; }
  void setInstanceTransform(const CATransform3D& t);
  // White (no tint) when nil.
  const CGColorRef& instanceColor() const { return instanceColor_; }
  void setInstanceColor(CGColorRef color);
  double instanceRedOffset() const { return offsets_[0]; }
  void setInstanceRedOffset(double v);
  double instanceGreenOffset() const { return offsets_[1]; }
  void setInstanceGreenOffset(double v);
  double instanceBlueOffset() const { return offsets_[2]; }
  void setInstanceBlueOffset(double v);
  double instanceAlphaOffset() const { return offsets_[3]; }
  void setInstanceAlphaOffset(double v);

  CAValue valueForKeyPath(const std::string& keyPath) const override;
  bool setValueForKeyPath(const std::string& keyPath, const CAValue& value) override;
  std::string className() const override { return "CAReplicatorLayer"; }

 protected:
  CAReplicatorLayer(const CAReplicatorLayer& other) = default;
  std::shared_ptr<CALayer> makeCopy() const override;
  void renderSublayers(const CGContextRef& context, double time,
                       const std::vector<std::shared_ptr<CALayer>>& sublayers) const override;

 private:
  int64_t instanceCount_ = 1;
  double instanceDelay_ = 0;
  CATransform3D instanceTransform_;
  CGColorRef instanceColor_;
  double offsets_[4] = {0, 0, 0, 0};
};
