#pragma once

// Layers: the geometry, appearance and animations behind every view, and the
// tree that renders into a Core Graphics context. A layer's own values are
// its model; what it shows at a moment is its presentation, the model with
// its running animations applied at CACurrentMediaTime().
//
// Geometry follows the platform: a point p of the layer's bounds space lies
// at position + transform(p - bounds.origin - anchorPoint * bounds.size) in
// its superlayer's bounds space, y growing downwards.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/coregraphics/CGContext.h"
#include "platform/quartzcore/CAAnimation.h"
#include "platform/quartzcore/CATransform3D.h"
#include "platform/quartzcore/CAValue.h"

extern const char* const kCAGravityCenter;
extern const char* const kCAGravityTop;
extern const char* const kCAGravityBottom;
extern const char* const kCAGravityLeft;
extern const char* const kCAGravityRight;
extern const char* const kCAGravityTopLeft;
extern const char* const kCAGravityTopRight;
extern const char* const kCAGravityBottomLeft;
extern const char* const kCAGravityBottomRight;
extern const char* const kCAGravityResize;
extern const char* const kCAGravityResizeAspect;
extern const char* const kCAGravityResizeAspectFill;

extern const char* const kCAFilterNearest;
extern const char* const kCAFilterLinear;
extern const char* const kCAFilterTrilinear;

class CALayer;
class CALayerRenderTimeDrawing;
namespace CALayerRendering {
struct Offscreen;
class ContentsStore;
}

// What a view does for its layer. The delegate is held weakly.
class CALayerDelegate {
 public:
  virtual ~CALayerDelegate() = default;
  // Sets the layer's contents directly; answers false when not implemented,
  // so the layer draws through drawLayerInContext into a backing image.
  virtual bool displayLayer(CALayer&) { return false; }
  virtual void drawLayerInContext(CALayer&, const CGContextRef&) {}
  virtual void layoutSublayersOfLayer(CALayer&) {}
  // The delegate as one that paints at render time, when it is one; asked
  // for every layer of every frame, so it is a plain call, not a cast.
  virtual CALayerRenderTimeDrawing* renderTimeDrawing() { return nullptr; }
};

class CALayer : public NSObject {
 public:
  CALayer() = default;
  ~CALayer() override;
  static std::shared_ptr<CALayer> layer() { return std::make_shared<CALayer>(); }

  // Geometry.
  CGRect bounds() const { return bounds_; }
  void setBounds(const CGRect& bounds);
  CGPoint position() const { return position_; }
  void setPosition(const CGPoint& position);
  CGPoint anchorPoint() const { return anchorPoint_; }
  void setAnchorPoint(const CGPoint& anchor);
  const CATransform3D& transform() const { return transform_; }
  void setTransform(const CATransform3D& t);
  CGAffineTransform affineTransform() const { return CATransform3DGetAffineTransform(transform_); }
  void setAffineTransform(const CGAffineTransform& t);
  // The bounding box of the transformed bounds in the superlayer. Setting it
  // gives the bounds the size whose transformed box has the frame's size
  // (the frame's own size without a transform) and moves the position so
  // that the box lands on the frame. A transform that maps every size to one
  // shape of box (a 45° turn) keeps the bounds' size and only moves.
  CGRect frame() const;
  void setFrame(const CGRect& frame);
  // The bounds and position setFrame gives; the bounds keep their origin.
  void geometryForFrame(const CGRect& frame, CGRect& bounds, CGPoint& position) const;

  // Appearance.
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden);
  double opacity() const { return opacity_; }
  void setOpacity(double opacity);
  const CGColorRef& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(CGColorRef color);
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double width);
  const CGColorRef& borderColor() const { return borderColor_; }
  void setBorderColor(CGColorRef color);
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double radius);
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool on);
  const CGImageRef& contents() const { return contents_; }
  void setContents(CGImageRef image);
  const std::string& contentsGravity() const { return contentsGravity_; }
  void setContentsGravity(std::string gravity);
  // Pixels per point of the contents image.
  double contentsScale() const { return contentsScale_; }
  void setContentsScale(double scale);
  const std::string& minificationFilter() const { return minificationFilter_; }
  void setMinificationFilter(std::string filter);
  const std::string& magnificationFilter() const { return magnificationFilter_; }
  void setMagnificationFilter(std::string filter);
  // Only where the mask's pixels are opaque does this layer show.
  const std::shared_ptr<CALayer>& mask() const { return mask_; }
  void setMask(std::shared_ptr<CALayer> mask);
  const CGColorRef& shadowColor() const { return shadowColor_; }
  void setShadowColor(CGColorRef color);
  double shadowOpacity() const { return shadowOpacity_; }
  void setShadowOpacity(double opacity);
  CGSize shadowOffset() const { return shadowOffset_; }
  void setShadowOffset(CGSize offset);
  double shadowRadius() const { return shadowRadius_; }
  void setShadowRadius(double radius);
  const CGPathRef& shadowPath() const { return shadowPath_; }
  void setShadowPath(CGPathRef path);
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }

  // The tree. Sublayers are owned; the superlayer is held weakly.
  std::shared_ptr<CALayer> superlayer() const { return superlayer_.lock(); }
  const std::vector<std::shared_ptr<CALayer>>& sublayers() const { return sublayers_; }
  void addSublayer(const std::shared_ptr<CALayer>& layer);
  // An index past the end appends.
  void insertSublayerAtIndex(const std::shared_ptr<CALayer>& layer, size_t index);
  // A sibling that is not a sublayer appends (above) or prepends (below).
  void insertSublayerBelow(const std::shared_ptr<CALayer>& layer, const CALayer* sibling);
  void insertSublayerAbove(const std::shared_ptr<CALayer>& layer, const CALayer* sibling);
  void removeFromSuperlayer();

  std::shared_ptr<CALayerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<CALayerDelegate> delegate) { delegate_ = std::move(delegate); }

  // Display: a layer marked as needing display redraws its contents once,
  // through its delegate, before it is next rendered.
  void setNeedsDisplay();
  bool needsDisplay() const { return needsDisplay_; }
  void displayIfNeeded();
  virtual void display();
  // Draws the layer's own content (what the delegate draws, for a plain layer).
  virtual void drawInContext(const CGContextRef& context);

  // Layout.
  void setNeedsLayout() { needsLayout_ = true; }
  bool needsLayout() const { return needsLayout_; }
  // Lays out this layer, then its sublayers, where marked.
  void layoutIfNeeded();
  virtual void layoutSublayers();

  // Animations. Adding with a key replaces the animation under that key (the
  // old one stops unfinished); an empty key adds one that no key names.
  void addAnimation(const CAAnimationPtr& animation, const std::string& key);
  CAAnimationPtr animationForKey(const std::string& key) const;
  std::vector<std::string> animationKeys() const;
  // True while an animation on this layer (keyed or not) has not ended; one
  // kept after its end (not removed on completion) no longer counts.
  bool hasRunningAnimations() const;
  void removeAnimationForKey(const std::string& key);
  void removeAllAnimations();

  // A copy with the running animations applied, without sublayers.
  std::shared_ptr<CALayer> presentationLayer() const { return presentationLayerAtTime(CACurrentMediaTime()); }
  // `time` is on the platform clock (CACurrentMediaTime()'s base).
  std::shared_ptr<CALayer> presentationLayerAtTime(double time) const;

  // Layer time. Each layer keeps its own clock: its local time is
  //   (its superlayer's local time - beginTime) * speed + timeOffset,
  // the root counting from CACurrentMediaTime(). Animations added to a layer
  // begin and end in its local time, so a speed of 0 holds everything in its
  // subtree still at timeOffset (an interactive transition scrubs that way),
  // and a negative speed plays it backwards: an animation then finishes when
  // its local time gets back to its beginning.
  double speed() const { return speed_; }
  void setSpeed(double speed);
  double timeOffset() const { return timeOffset_; }
  void setTimeOffset(double offset);
  double beginTime() const { return beginTime_; }
  void setBeginTime(double time);
  // `time` on `layer`'s clock (nullptr: the platform clock) read on this
  // layer's clock. A layer whose time stands still reads `time` as its own
  // present moment.
  double convertTimeFromLayer(double time, const CALayer* layer) const;

  // Maps from this layer's bounds space to its superlayer's.
  CGAffineTransform affineToSuperlayer() const;
  // Conversions between two layers of one tree; nullptr means the root.
  CGPoint convertPointToLayer(const CGPoint& point, const CALayer* layer) const;
  CGPoint convertPointFromLayer(const CGPoint& point, const CALayer* layer) const;
  CGRect convertRectToLayer(const CGRect& rect, const CALayer* layer) const;
  CGRect convertRectFromLayer(const CGRect& rect, const CALayer* layer) const;
  bool containsPoint(const CGPoint& point) const { return CGRectContainsPoint(bounds_, point); }

  // Animatable values by key path ("position.x", "transform.scale", ...);
  // nil for an unknown path. Setting an unknown path does nothing and
  // answers false.
  virtual CAValue valueForKeyPath(const std::string& keyPath) const;
  virtual bool setValueForKeyPath(const std::string& keyPath, const CAValue& value);

  // Draws the layer tree, as it shows now, into the context: the context's
  // user space is this layer's superlayer space with y growing downwards
  // (a UIKit image context), so the layer lands at its frame.
  void renderInContext(const CGContextRef& context);

  std::string className() const override { return "CALayer"; }

 protected:
  // Presentation copies: the values, without tree, delegate or animations.
  CALayer(const CALayer& other);
  virtual std::shared_ptr<CALayer> makeCopy() const;
  // The layer's own painting between its background and its sublayers, in
  // its bounds space (the presentation layer paints).
  virtual void renderContent(const CGContextRef& context, double time) const;
  // Draws the model's sublayers over this presentation (replicators repeat them).
  virtual void renderSublayers(const CGContextRef& context, double time,
                               const std::vector<std::shared_ptr<CALayer>>& sublayers) const;
  // Draws a model layer's tree as it shows at `time`.
  static void renderLayer(CALayer& model, const CGContextRef& context, double time);

 private:
  struct Running {
    std::string key;
    CAAnimationPtr animation;
    uint64_t endToken = 0;
    bool stopped = false;
  };
  void detachFromSuperlayer();
  // This layer's local time as rate * platform time + offset.
  struct Timeline {
    double rate = 1;
    double offset = 0;
    bool operator==(const Timeline&) const = default;
  };
  Timeline timeline() const;
  double localTimeAt(double platformTime) const;
  // The clock under this subtree changed: every running end is due anew.
  void retimeSubtree();
  void scheduleEnd(Running& running);
  void reachedEnd(const CAAnimation* animation);
  // Marks the animation stopped, tells its delegate and groups; removes it
  // unless it finished and stays.
  void stop(const CAAnimation* animation, bool finished);
  CGAffineTransform affineToRoot(const CALayer** root) const;
  // Shadows, drawn beneath the layer: from its shadow path, or from the
  // alpha of what it painted offscreen.
  double shadowReach(const CGAffineTransform& ctm) const;
  void shadowParameters(const CGAffineTransform& ctm, double rgba[4], CGPoint& offset,
                        double& sigma) const;
  void renderShadowOf(const CALayerRendering::Offscreen& silhouette,
                      const CGContextRef& context) const;
  void renderPathShadow(const CGContextRef& context) const;

  CGRect bounds_ = CGRectZero;
  CGPoint position_ = CGPointZero;
  CGPoint anchorPoint_ = {0.5, 0.5};
  CATransform3D transform_;
  bool hidden_ = false;
  double opacity_ = 1;
  CGColorRef backgroundColor_;
  double borderWidth_ = 0;
  CGColorRef borderColor_ = CGColorCreateSRGB(0, 0, 0, 1);
  double cornerRadius_ = 0;
  bool masksToBounds_ = false;
  CGImageRef contents_;
  std::string contentsGravity_ = kCAGravityResize;
  double contentsScale_ = 1;
  std::string minificationFilter_ = kCAFilterLinear;
  std::string magnificationFilter_ = kCAFilterLinear;
  std::shared_ptr<CALayer> mask_;
  CGColorRef shadowColor_ = CGColorCreateSRGB(0, 0, 0, 1);
  double shadowOpacity_ = 0;
  CGSize shadowOffset_ = {0, -3};
  double shadowRadius_ = 3;
  CGPathRef shadowPath_;
  // Shared with presentation copies, which draw through it.
  std::shared_ptr<CALayerRendering::ContentsStore> contentsStore_;
  std::string name_;

  std::weak_ptr<CALayer> superlayer_;
  std::vector<std::shared_ptr<CALayer>> sublayers_;
  std::weak_ptr<CALayerDelegate> delegate_;
  bool needsDisplay_ = false;
  bool needsLayout_ = false;
  std::vector<Running> animations_;
  double speed_ = 1;
  double timeOffset_ = 0;
  double beginTime_ = 0;
};

using CALayerPtr = std::shared_ptr<CALayer>;
