#pragma once

// A layer that paints a path: filled with a rule, then stroked with a width,
// caps, joins and a dash pattern, optionally only between strokeStart and
// strokeEnd (fractions of the path's length).

#include <vector>

#include "platform/quartzcore/CALayer.h"

extern const char* const kCAFillRuleNonZero;
extern const char* const kCAFillRuleEvenOdd;
extern const char* const kCALineCapButt;
extern const char* const kCALineCapRound;
extern const char* const kCALineCapSquare;
extern const char* const kCALineJoinMiter;
extern const char* const kCALineJoinRound;
extern const char* const kCALineJoinBevel;

class CAShapeLayer : public CALayer {
 public:
  CAShapeLayer() = default;
  static std::shared_ptr<CAShapeLayer> layer() { return std::make_shared<CAShapeLayer>(); }

  const CGPathRef& path() const { return path_; }
  void setPath(CGPathRef path);
  // Opaque black unless set; nil paints nothing.
  const CGColorRef& fillColor() const { return fillColor_; }
  void setFillColor(CGColorRef color);
  // Nil (no stroke) unless set.
  const CGColorRef& strokeColor() const { return strokeColor_; }
  void setStrokeColor(CGColorRef color);
  const std::string& fillRule() const { return fillRule_; }
  void setFillRule(std::string rule);
  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double width);
  // Lengths of dashes and gaps, repeating; empty for a solid line.
  const std::vector<double>& lineDashPattern() const { return dashPattern_; }
  void setLineDashPattern(std::vector<double> pattern);
  double lineDashPhase() const { return dashPhase_; }
  void setLineDashPhase(double phase);
  const std::string& lineCap() const { return lineCap_; }
  void setLineCap(std::string cap);
  const std::string& lineJoin() const { return lineJoin_; }
  void setLineJoin(std::string join);
  double miterLimit() const { return miterLimit_; }
  void setMiterLimit(double limit);
  double strokeStart() const { return strokeStart_; }
  void setStrokeStart(double f);
  double strokeEnd() const { return strokeEnd_; }
  void setStrokeEnd(double f);

  CAValue valueForKeyPath(const std::string& keyPath) const override;
  bool setValueForKeyPath(const std::string& keyPath, const CAValue& value) override;
  std::string className() const override { return "CAShapeLayer"; }

 protected:
  CAShapeLayer(const CAShapeLayer& other) = default;
  std::shared_ptr<CALayer> makeCopy() const override;
  void renderContent(const CGContextRef& context, double time) const override;

 private:
  // The part of the path the stroke covers, dashed, as open polylines.
  CGPathRef strokedPart(double tolerance) const;

  CGPathRef path_;
  CGColorRef fillColor_ = CGColorCreateSRGB(0, 0, 0, 1);
  CGColorRef strokeColor_;
  std::string fillRule_ = kCAFillRuleNonZero;
  double lineWidth_ = 1;
  std::vector<double> dashPattern_;
  double dashPhase_ = 0;
  std::string lineCap_ = kCALineCapButt;
  std::string lineJoin_ = kCALineJoinMiter;
  double miterLimit_ = 10;
  double strokeStart_ = 0;
  double strokeEnd_ = 1;
};
