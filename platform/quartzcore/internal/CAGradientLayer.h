#pragma once

// A layer filled with a gradient over its bounds: axial from startPoint to
// endPoint, or radial (an ellipse centred on startPoint whose radii reach
// endPoint), both in unit coordinates of the bounds.

#include <vector>

#include "platform/quartzcore/CALayer.h"

extern const char* const kCAGradientLayerAxial;
extern const char* const kCAGradientLayerRadial;

class CAGradientLayer : public CALayer {
 public:
  CAGradientLayer() = default;
  static std::shared_ptr<CAGradientLayer> layer() { return std::make_shared<CAGradientLayer>(); }

  const std::vector<CGColorRef>& colors() const { return colors_; }
  void setColors(std::vector<CGColorRef> colors);
  // One per colour, rising from 0 to 1; evenly spaced when empty.
  const std::vector<double>& locations() const { return locations_; }
  void setLocations(std::vector<double> locations);
  CGPoint startPoint() const { return startPoint_; }
  void setStartPoint(CGPoint p);
  CGPoint endPoint() const { return endPoint_; }
  void setEndPoint(CGPoint p);
  const std::string& type() const { return type_; }
  void setType(std::string type);

  CAValue valueForKeyPath(const std::string& keyPath) const override;
  bool setValueForKeyPath(const std::string& keyPath, const CAValue& value) override;
  std::string className() const override { return "CAGradientLayer"; }

 protected:
  CAGradientLayer(const CAGradientLayer& other) = default;
  std::shared_ptr<CALayer> makeCopy() const override;
  void renderContent(const CGContextRef& context, double time) const override;

 private:
  std::vector<CGColorRef> colors_;
  std::vector<double> locations_;
  CGPoint startPoint_ = {0.5, 0};
  CGPoint endPoint_ = {0.5, 1};
  std::string type_ = kCAGradientLayerAxial;
};
