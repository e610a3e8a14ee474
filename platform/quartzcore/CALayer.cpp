#include "platform/quartzcore/CALayer.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/quartzcore/CALayerRenderTimeDrawing.h"
#include "platform/quartzcore/CALayerRendering.h"
#include "platform/quartzcore/CATransaction.h"

const char* const kCAGravityCenter = "center";
const char* const kCAGravityTop = "top";
const char* const kCAGravityBottom = "bottom";
const char* const kCAGravityLeft = "left";
const char* const kCAGravityRight = "right";
const char* const kCAGravityTopLeft = "topLeft";
const char* const kCAGravityTopRight = "topRight";
const char* const kCAGravityBottomLeft = "bottomLeft";
const char* const kCAGravityBottomRight = "bottomRight";
const char* const kCAGravityResize = "resize";
const char* const kCAGravityResizeAspect = "resizeAspect";
const char* const kCAGravityResizeAspectFill = "resizeAspectFill";

const char* const kCAFilterNearest = "nearest";
const char* const kCAFilterLinear = "linear";
const char* const kCAFilterTrilinear = "trilinear";

CALayer::CALayer(const CALayer& other)
    : NSObject(other),
      bounds_(other.bounds_),
      position_(other.position_),
      anchorPoint_(other.anchorPoint_),
      transform_(other.transform_),
      hidden_(other.hidden_),
      opacity_(other.opacity_),
      backgroundColor_(other.backgroundColor_),
      borderWidth_(other.borderWidth_),
      borderColor_(other.borderColor_),
      cornerRadius_(other.cornerRadius_),
      masksToBounds_(other.masksToBounds_),
      contents_(other.contents_),
      contentsGravity_(other.contentsGravity_),
      contentsScale_(other.contentsScale_),
      minificationFilter_(other.minificationFilter_),
      magnificationFilter_(other.magnificationFilter_),
      mask_(other.mask_),
      shadowColor_(other.shadowColor_),
      shadowOpacity_(other.shadowOpacity_),
      shadowOffset_(other.shadowOffset_),
      shadowRadius_(other.shadowRadius_),
      shadowPath_(other.shadowPath_),
      contentsStore_(other.contentsStore_),
      name_(other.name_),
      speed_(other.speed_),
      timeOffset_(other.timeOffset_),
      beginTime_(other.beginTime_) {}

CALayer::~CALayer() {
  for (auto& r : animations_) {
    if (r.endToken) PlatformClock::cancel(r.endToken);
  }
}

std::shared_ptr<CALayer> CALayer::makeCopy() const {
  return std::shared_ptr<CALayer>(new CALayer(*this));
}

// Geometry ----------------------------------------------------------------

void CALayer::setBounds(const CGRect& bounds) {
  QX_DCHECK_MAIN_THREAD();
  CGRect b = CGRectStandardize(bounds);
  if (b.size != bounds_.size) setNeedsLayout();
  bounds_ = b;
}

void CALayer::setPosition(const CGPoint& position) {
  QX_DCHECK_MAIN_THREAD();
  position_ = position;
}

void CALayer::setAnchorPoint(const CGPoint& anchor) {
  QX_DCHECK_MAIN_THREAD();
  anchorPoint_ = anchor;
}

void CALayer::setTransform(const CATransform3D& t) {
  QX_DCHECK_MAIN_THREAD();
  transform_ = t;
}

void CALayer::setAffineTransform(const CGAffineTransform& t) {
  setTransform(CATransform3DMakeAffineTransform(t));
}

CGRect CALayer::frame() const {
  CGRect local = CGRectMake(-anchorPoint_.x * bounds_.size.width,
                            -anchorPoint_.y * bounds_.size.height, bounds_.size.width,
                            bounds_.size.height);
  CGRect r = CATransform3DIsIdentity(transform_)
                 ? local
                 : CGRectApplyAffineTransform(local, affineTransform());
  return CGRectOffset(r, position_.x, position_.y);
}

void CALayer::geometryForFrame(const CGRect& frame, CGRect& bounds, CGPoint& position) const {
  const CGRect f = CGRectStandardize(frame);
  bounds = CGRect{bounds_.origin, f.size};
  if (CATransform3DIsIdentity(transform_)) {
    position = CGPointMake(f.origin.x + anchorPoint_.x * f.size.width,
                           f.origin.y + anchorPoint_.y * f.size.height);
    return;
  }
  // The transformed box of a w×h bounds is (|a|w + |c|h) × (|b|w + |d|h):
  // solve it for the frame's size.
  const CGAffineTransform t = affineTransform();
  const double a = std::abs(t.a), b = std::abs(t.b), c = std::abs(t.c), d = std::abs(t.d);
  const double det = a * d - b * c;
  if (std::abs(det) > 1e-12) {
    const double w = (d * f.size.width - c * f.size.height) / det;
    const double h = (a * f.size.height - b * f.size.width) / det;
    bounds.size = CGSizeMake(std::max(0.0, w), std::max(0.0, h));
  } else {
    bounds.size = bounds_.size;
  }
  // Where the box falls relative to the position, then the position that
  // puts it at the frame's origin (its centre, for an unreachable size).
  const CGRect local = CGRectMake(-anchorPoint_.x * bounds.size.width,
                                  -anchorPoint_.y * bounds.size.height, bounds.size.width,
                                  bounds.size.height);
  const CGRect box = CGRectApplyAffineTransform(local, t);
  position = CGPointMake(CGRectGetMidX(f) - CGRectGetMidX(box),
                         CGRectGetMidY(f) - CGRectGetMidY(box));
}

void CALayer::setFrame(const CGRect& frame) {
  QX_DCHECK_MAIN_THREAD();
  CGRect bounds;
  CGPoint position;
  geometryForFrame(frame, bounds, position);
  setBounds(bounds);
  position_ = position;
}

CGAffineTransform CALayer::affineToSuperlayer() const {
  CGAffineTransform t = CGAffineTransformMakeTranslation(
      -bounds_.origin.x - anchorPoint_.x * bounds_.size.width,
      -bounds_.origin.y - anchorPoint_.y * bounds_.size.height);
  const CGAffineTransform own = affineTransform();
  // Most layers are only placed: two translations add up to the same sums
  // the products would give.
  if (CGAffineTransformIsIdentity(own)) {
    t.tx += position_.x, t.ty += position_.y;
    return t;
  }
  t = CGAffineTransformConcat(t, own);
  return CGAffineTransformConcat(t, CGAffineTransformMakeTranslation(position_.x, position_.y));
}

CGAffineTransform CALayer::affineToRoot(const CALayer** root) const {
  CGAffineTransform t = CGAffineTransformIdentity;
  const CALayer* layer = this;
  std::shared_ptr<CALayer> keep;
  while (auto parent = layer->superlayer_.lock()) {
    t = CGAffineTransformConcat(t, layer->affineToSuperlayer());
    keep = std::move(parent);
    layer = keep.get();
  }
  *root = layer;
  return t;
}

CGPoint CALayer::convertPointToLayer(const CGPoint& point, const CALayer* layer) const {
  const CALayer* root = nullptr;
  CGPoint p = CGPointApplyAffineTransform(point, affineToRoot(&root));
  if (!layer) return p;
  const CALayer* otherRoot = nullptr;
  CGAffineTransform other = layer->affineToRoot(&otherRoot);
  return CGPointApplyAffineTransform(p, CGAffineTransformInvert(other));
}

CGPoint CALayer::convertPointFromLayer(const CGPoint& point, const CALayer* layer) const {
  const CALayer* root = nullptr;
  CGAffineTransform mine = affineToRoot(&root);
  CGPoint p = layer ? layer->convertPointToLayer(point, nullptr) : point;
  return CGPointApplyAffineTransform(p, CGAffineTransformInvert(mine));
}

CGRect CALayer::convertRectToLayer(const CGRect& rect, const CALayer* layer) const {
  const CALayer* root = nullptr;
  CGAffineTransform t = affineToRoot(&root);
  if (layer) {
    const CALayer* otherRoot = nullptr;
    t = CGAffineTransformConcat(t, CGAffineTransformInvert(layer->affineToRoot(&otherRoot)));
  }
  return CGRectApplyAffineTransform(CGRectStandardize(rect), t);
}

CGRect CALayer::convertRectFromLayer(const CGRect& rect, const CALayer* layer) const {
  const CALayer* root = nullptr;
  CGAffineTransform t = CGAffineTransformInvert(affineToRoot(&root));
  if (layer) {
    const CALayer* otherRoot = nullptr;
    t = CGAffineTransformConcat(layer->affineToRoot(&otherRoot), t);
  }
  return CGRectApplyAffineTransform(CGRectStandardize(rect), t);
}

// Appearance --------------------------------------------------------------

void CALayer::setHidden(bool hidden) {
  QX_DCHECK_MAIN_THREAD();
  hidden_ = hidden;
}

void CALayer::setOpacity(double opacity) {
  QX_DCHECK_MAIN_THREAD();
  opacity_ = std::clamp(opacity, 0.0, 1.0);
}

void CALayer::setBackgroundColor(CGColorRef color) {
  QX_DCHECK_MAIN_THREAD();
  backgroundColor_ = std::move(color);
}

void CALayer::setBorderWidth(double width) {
  QX_DCHECK_MAIN_THREAD();
  borderWidth_ = std::max(0.0, width);
}

void CALayer::setBorderColor(CGColorRef color) {
  QX_DCHECK_MAIN_THREAD();
  borderColor_ = std::move(color);
}

void CALayer::setCornerRadius(double radius) {
  QX_DCHECK_MAIN_THREAD();
  cornerRadius_ = std::max(0.0, radius);
}

void CALayer::setMasksToBounds(bool on) {
  QX_DCHECK_MAIN_THREAD();
  masksToBounds_ = on;
}

void CALayer::setContents(CGImageRef image) {
  QX_DCHECK_MAIN_THREAD();
  contents_ = std::move(image);
  if (contentsStore_ && !contents_) contentsStore_->clear();
}

void CALayer::setContentsGravity(std::string gravity) {
  QX_DCHECK_MAIN_THREAD();
  contentsGravity_ = std::move(gravity);
}

void CALayer::setContentsScale(double scale) {
  QX_DCHECK_MAIN_THREAD();
  if (scale > 0 && std::isfinite(scale)) contentsScale_ = scale;
}

void CALayer::setMinificationFilter(std::string filter) {
  QX_DCHECK_MAIN_THREAD();
  minificationFilter_ = std::move(filter);
}

void CALayer::setMagnificationFilter(std::string filter) {
  QX_DCHECK_MAIN_THREAD();
  magnificationFilter_ = std::move(filter);
}

void CALayer::setMask(std::shared_ptr<CALayer> mask) {
  QX_DCHECK_MAIN_THREAD();
  if (mask) mask->removeFromSuperlayer();
  mask_ = std::move(mask);
}

void CALayer::setShadowColor(CGColorRef color) {
  QX_DCHECK_MAIN_THREAD();
  shadowColor_ = std::move(color);
}

void CALayer::setShadowOpacity(double opacity) {
  QX_DCHECK_MAIN_THREAD();
  shadowOpacity_ = std::clamp(opacity, 0.0, 1.0);
}

void CALayer::setShadowOffset(CGSize offset) {
  QX_DCHECK_MAIN_THREAD();
  shadowOffset_ = offset;
}

void CALayer::setShadowRadius(double radius) {
  QX_DCHECK_MAIN_THREAD();
  shadowRadius_ = std::max(0.0, radius);
}

void CALayer::setShadowPath(CGPathRef path) {
  QX_DCHECK_MAIN_THREAD();
  shadowPath_ = std::move(path);
}

// Tree --------------------------------------------------------------------

void CALayer::addSublayer(const std::shared_ptr<CALayer>& layer) {
  insertSublayerAtIndex(layer, sublayers_.size());
}

void CALayer::insertSublayerAtIndex(const std::shared_ptr<CALayer>& layer, size_t index) {
  QX_DCHECK_MAIN_THREAD();
  if (!layer || layer.get() == this) return;
  for (auto p = superlayer_.lock(); p; p = p->superlayer_.lock()) {
    if (p == layer) return;  // would make a cycle
  }
  const Timeline before = layer->timeline();
  layer->detachFromSuperlayer();
  index = std::min(index, sublayers_.size());
  sublayers_.insert(sublayers_.begin() + static_cast<std::ptrdiff_t>(index), layer);
  layer->superlayer_ = SharedFromThis(this);
  // Moved under another clock (into a held transition, say): its running
  // animations end when that clock says.
  if (!(layer->timeline() == before)) layer->retimeSubtree();
  setNeedsLayout();
}

void CALayer::insertSublayerBelow(const std::shared_ptr<CALayer>& layer, const CALayer* sibling) {
  if (layer.get() == sibling) return;
  if (layer) layer->detachFromSuperlayer();
  auto it = std::find_if(sublayers_.begin(), sublayers_.end(),
                         [sibling](const CALayerPtr& l) { return l.get() == sibling; });
  insertSublayerAtIndex(layer, it == sublayers_.end() ? 0 : size_t(it - sublayers_.begin()));
}

void CALayer::insertSublayerAbove(const std::shared_ptr<CALayer>& layer, const CALayer* sibling) {
  if (layer.get() == sibling) return;
  if (layer) layer->detachFromSuperlayer();
  auto it = std::find_if(sublayers_.begin(), sublayers_.end(),
                         [sibling](const CALayerPtr& l) { return l.get() == sibling; });
  insertSublayerAtIndex(layer, it == sublayers_.end() ? sublayers_.size()
                                                      : size_t(it - sublayers_.begin()) + 1);
}

void CALayer::detachFromSuperlayer() {
  auto parent = superlayer_.lock();
  if (!parent) return;
  auto it = std::find_if(parent->sublayers_.begin(), parent->sublayers_.end(),
                         [this](const CALayerPtr& l) { return l.get() == this; });
  superlayer_.reset();
  if (it != parent->sublayers_.end()) parent->sublayers_.erase(it);
  parent->setNeedsLayout();
}

void CALayer::removeFromSuperlayer() {
  QX_DCHECK_MAIN_THREAD();
  auto keep = SharedFromThis(this);
  detachFromSuperlayer();
}

// Display and layout ------------------------------------------------------

void CALayer::setNeedsDisplay() {
  QX_DCHECK_MAIN_THREAD();
  needsDisplay_ = true;
}

void CALayer::displayIfNeeded() {
  if (needsDisplay_) display();
}

void CALayer::display() {
  QX_DCHECK_MAIN_THREAD();
  needsDisplay_ = false;
  auto d = delegate();
  if (d && d->displayLayer(*this)) return;
  size_t w = static_cast<size_t>(std::ceil(bounds_.size.width * contentsScale_));
  size_t h = static_cast<size_t>(std::ceil(bounds_.size.height * contentsScale_));
  if (w == 0 || h == 0) {
    contents_.reset();
    return;
  }
  // The context draws into the pixels the contents image then keeps: the
  // context ends here, so nothing changes them afterwards and no copy is made.
  constexpr uint32_t kInfo = kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;
  std::shared_ptr<Bytes> pixels;
  try {
    pixels = std::make_shared<Bytes>(w * h * 4, 0);
  } catch (const std::bad_alloc&) {
    return;
  }
  auto context = CGBitmapContextCreate(pixels->data(), w, h, 8, w * 4,
                                       CGColorSpaceCreateDeviceRGB(), kInfo);
  if (!context) return;
  // The backing store draws in the layer's bounds space, y downwards.
  CGContextTranslateCTM(context, 0, static_cast<double>(h));
  CGContextScaleCTM(context, contentsScale_, -contentsScale_);
  CGContextTranslateCTM(context, -bounds_.origin.x, -bounds_.origin.y);
  drawInContext(context);
  context.reset();
  contents_ = CGImage::create(w, h, 8, 32, w * 4, kInfo, std::move(pixels));
}

void CALayer::drawInContext(const CGContextRef& context) {
  if (auto d = delegate()) d->drawLayerInContext(*this, context);
}

void CALayer::layoutIfNeeded() {
  if (needsLayout_) {
    needsLayout_ = false;
    layoutSublayers();
  }
  for (auto& l : std::vector<CALayerPtr>(sublayers_)) l->layoutIfNeeded();
}

void CALayer::layoutSublayers() {
  if (auto d = delegate()) d->layoutSublayersOfLayer(*this);
}

// Animations --------------------------------------------------------------

void CALayer::addAnimation(const CAAnimationPtr& animation, const std::string& key) {
  QX_DCHECK_MAIN_THREAD();
  if (!animation) return;
  if (!key.empty()) removeAnimationForKey(key);
  CAAnimationPtr copy = animation->copy();
  if (copy->beginTime() == 0) copy->setBeginTime(localTimeAt(CACurrentMediaTime()));
  for (auto& g : CATransaction::openCompletionGroups()) copy->addCompletionGroup(g);
  for (auto& g : copy->completionGroups()) g->enter();
  animations_.push_back(Running{key, copy});
  scheduleEnd(animations_.back());
  if (auto d = copy->delegate()) {
    NSRunLoop::mainRunLoop().perform([d, copy] { d->animationDidStart(*copy); });
  }
}

CALayer::Timeline CALayer::timeline() const {
  Timeline parent;
  if (auto p = superlayer_.lock()) parent = p->timeline();
  return {parent.rate * speed_, (parent.offset - beginTime_) * speed_ + timeOffset_};
}

double CALayer::localTimeAt(double platformTime) const {
  const Timeline t = timeline();
  return t.rate * platformTime + t.offset;
}

double CALayer::convertTimeFromLayer(double time, const CALayer* layer) const {
  double platformTime = time;
  if (layer) {
    const Timeline from = layer->timeline();
    platformTime = from.rate != 0 ? (time - from.offset) / from.rate : CACurrentMediaTime();
  }
  return localTimeAt(platformTime);
}

void CALayer::setSpeed(double speed) {
  QX_DCHECK_MAIN_THREAD();
  if (!std::isfinite(speed) || speed == speed_) return;
  speed_ = speed;
  retimeSubtree();
}

void CALayer::setTimeOffset(double offset) {
  QX_DCHECK_MAIN_THREAD();
  if (!std::isfinite(offset) || offset == timeOffset_) return;
  timeOffset_ = offset;
  retimeSubtree();
}

void CALayer::setBeginTime(double time) {
  QX_DCHECK_MAIN_THREAD();
  if (!std::isfinite(time) || time == beginTime_) return;
  beginTime_ = time;
  retimeSubtree();
}

void CALayer::retimeSubtree() {
  for (auto& r : animations_) {
    if (r.stopped) continue;
    if (r.endToken) PlatformClock::cancel(r.endToken);
    r.endToken = 0;
    scheduleEnd(r);
  }
  for (auto& l : sublayers_) l->retimeSubtree();
}

void CALayer::scheduleEnd(Running& running) {
  const auto& a = running.animation;
  const Timeline clock = timeline();
  // Held still, nothing ends; played backwards, an animation ends where it
  // began.
  if (clock.rate == 0) return;
  const double localEnd = clock.rate > 0 ? a->beginTime() + a->activeDuration() : a->beginTime();
  // Already past it: ends at the next turn of the clock.
  const double end = std::max((localEnd - clock.offset) / clock.rate, CACurrentMediaTime());
  if (!std::isfinite(end)) return;
  std::weak_ptr<CALayer> weak = WeakFromThis(this);
  const CAAnimation* raw = a.get();
  running.endToken = PlatformClock::scheduleAt(end, [weak, raw] {
    NSRunLoop::mainRunLoop().perform(
        WeakBind(weak, [raw](CALayer& layer) { layer.reachedEnd(raw); }));
  });
}

void CALayer::reachedEnd(const CAAnimation* animation) {
  for (auto& r : animations_) {
    if (r.animation.get() == animation) r.endToken = 0;
  }
  stop(animation, true);
}

void CALayer::stop(const CAAnimation* animation, bool finished) {
  auto it = std::find_if(animations_.begin(), animations_.end(),
                         [animation](const Running& r) { return r.animation.get() == animation; });
  if (it == animations_.end()) return;
  CAAnimationPtr a = it->animation;
  bool alreadyStopped = it->stopped;
  it->stopped = true;
  if (it->endToken) PlatformClock::cancel(it->endToken);
  it->endToken = 0;
  if (!finished || a->isRemovedOnCompletion()) animations_.erase(it);
  if (alreadyStopped) return;
  auto report = [a, finished] {
    if (auto d = a->delegate()) d->animationDidStop(*a, finished);
    for (auto& g : a->completionGroups()) g->leave(finished);
  };
  // The end is already reached on the main run loop; a removal reports later,
  // as the platform does.
  if (finished) {
    report();
  } else {
    NSRunLoop::mainRunLoop().perform(report);
  }
}

CAAnimationPtr CALayer::animationForKey(const std::string& key) const {
  if (key.empty()) return nullptr;
  for (const auto& r : animations_) {
    if (r.key == key) return r.animation;
  }
  return nullptr;
}

bool CALayer::hasRunningAnimations() const {
  return std::any_of(animations_.begin(), animations_.end(),
                     [](const Running& r) { return !r.stopped; });
}

std::vector<std::string> CALayer::animationKeys() const {
  std::vector<std::string> keys;
  for (const auto& r : animations_) {
    if (!r.key.empty()) keys.push_back(r.key);
  }
  return keys;
}

void CALayer::removeAnimationForKey(const std::string& key) {
  QX_DCHECK_MAIN_THREAD();
  if (auto a = animationForKey(key)) stop(a.get(), false);
}

void CALayer::removeAllAnimations() {
  QX_DCHECK_MAIN_THREAD();
  while (!animations_.empty()) stop(animations_.front().animation.get(), false);
}

std::shared_ptr<CALayer> CALayer::presentationLayerAtTime(double time) const {
  auto copy = makeCopy();
  const double local = localTimeAt(time);
  for (const auto& r : animations_) r.animation->applyAt(*copy, local);
  return copy;
}

// Key paths ---------------------------------------------------------------

namespace {

struct Decomposed {
  double sx, sy, rotation, tx, ty;
};

Decomposed decompose(const CATransform3D& t) {
  double sx = std::hypot(t.m11, t.m12);
  double rotation = std::atan2(t.m12, t.m11);
  double sy = sx != 0 ? (t.m11 * t.m22 - t.m12 * t.m21) / sx : t.m22;
  return {sx, sy, rotation, t.m41, t.m42};
}

CATransform3D compose(const Decomposed& d) {
  CATransform3D t = CATransform3DMakeScale(d.sx, d.sy, 1);
  t = CATransform3DConcat(t, CATransform3DMakeRotation(d.rotation, 0, 0, 1));
  return CATransform3DConcat(t, CATransform3DMakeTranslation(d.tx, d.ty, 0));
}

double* transformComponent(Decomposed& d, const std::string& sub) {
  if (sub == "rotation" || sub == "rotation.z") return &d.rotation;
  if (sub == "scale.x") return &d.sx;
  if (sub == "scale.y") return &d.sy;
  if (sub == "translation.x") return &d.tx;
  if (sub == "translation.y") return &d.ty;
  return nullptr;
}

double* pointComponent(CGPoint& p, const std::string& sub) {
  return sub == "x" ? &p.x : sub == "y" ? &p.y : nullptr;
}

double* sizeComponent(CGSize& s, const std::string& sub) {
  return sub == "width" ? &s.width : sub == "height" ? &s.height : nullptr;
}

}  // namespace

CAValue CALayer::valueForKeyPath(const std::string& keyPath) const {
  auto prefixed = [&keyPath](const char* p) {
    std::string s = std::string(p) + ".";
    return keyPath.rfind(s, 0) == 0 ? keyPath.substr(s.size()) : std::string();
  };
  if (keyPath == "position") return position_;
  if (keyPath == "bounds") return bounds_;
  if (keyPath == "anchorPoint") return anchorPoint_;
  if (keyPath == "transform") return transform_;
  if (keyPath == "opacity") return opacity_;
  if (keyPath == "hidden") return hidden_ ? 1.0 : 0.0;
  if (keyPath == "backgroundColor") return backgroundColor_;
  if (keyPath == "borderColor") return borderColor_;
  if (keyPath == "borderWidth") return borderWidth_;
  if (keyPath == "cornerRadius") return cornerRadius_;
  if (keyPath == "shadowColor") return shadowColor_;
  if (keyPath == "shadowOpacity") return shadowOpacity_;
  if (keyPath == "shadowRadius") return shadowRadius_;
  if (keyPath == "shadowOffset") return shadowOffset_;
  if (keyPath == "contentsScale") return contentsScale_;
  if (keyPath == "contents") return contents_;
  if (keyPath == "bounds.size") return bounds_.size;
  if (keyPath == "bounds.origin") return bounds_.origin;
  CGPoint p = position_;
  if (auto v = pointComponent(p, prefixed("position"))) return *v;
  CGSize s = bounds_.size;
  if (auto v = sizeComponent(s, prefixed("bounds.size"))) return *v;
  Decomposed d = decompose(transform_);
  std::string sub = prefixed("transform");
  if (sub == "scale") return d.sx;
  if (auto v = transformComponent(d, sub)) return *v;
  return CAValue{};
}

bool CALayer::setValueForKeyPath(const std::string& keyPath, const CAValue& value) {
  auto prefixed = [&keyPath](const char* p) {
    std::string s = std::string(p) + ".";
    return keyPath.rfind(s, 0) == 0 ? keyPath.substr(s.size()) : std::string();
  };
  auto number = std::get_if<double>(&value);
  auto color = std::get_if<CGColorRef>(&value);
  if (auto v = std::get_if<CGPoint>(&value)) {
    if (keyPath == "position") return position_ = *v, true;
    if (keyPath == "anchorPoint") return anchorPoint_ = *v, true;
    if (keyPath == "bounds.origin") return bounds_.origin = *v, true;
  }
  if (auto v = std::get_if<CGSize>(&value)) {
    if (keyPath == "bounds.size") return bounds_.size = *v, true;
    if (keyPath == "shadowOffset") return shadowOffset_ = *v, true;
  }
  if (auto v = std::get_if<CGRect>(&value); v && keyPath == "bounds") return bounds_ = *v, true;
  if (keyPath == "contents" && (CAValueIsNil(value) || std::holds_alternative<CGImageRef>(value))) {
    auto image = std::get_if<CGImageRef>(&value);
    contents_ = image ? *image : nullptr;
    return true;
  }
  if (auto v = std::get_if<CATransform3D>(&value); v && keyPath == "transform") {
    return transform_ = *v, true;
  }
  if (color || CAValueIsNil(value)) {
    CGColorRef c = color ? *color : nullptr;
    if (keyPath == "backgroundColor") return backgroundColor_ = c, true;
    if (keyPath == "borderColor") return borderColor_ = c, true;
    if (keyPath == "shadowColor") return shadowColor_ = c, true;
  }
  if (!number) return false;
  if (keyPath == "opacity") return opacity_ = std::clamp(*number, 0.0, 1.0), true;
  if (keyPath == "hidden") return hidden_ = *number != 0, true;
  if (keyPath == "borderWidth") return borderWidth_ = std::max(0.0, *number), true;
  if (keyPath == "cornerRadius") return cornerRadius_ = std::max(0.0, *number), true;
  if (keyPath == "shadowOpacity") return shadowOpacity_ = *number, true;
  if (keyPath == "shadowRadius") return shadowRadius_ = *number, true;
  if (keyPath == "contentsScale") return contentsScale_ = *number, true;
  if (auto v = pointComponent(position_, prefixed("position"))) return *v = *number, true;
  if (auto v = sizeComponent(bounds_.size, prefixed("bounds.size"))) return *v = *number, true;
  std::string sub = prefixed("transform");
  if (sub.empty()) return false;
  Decomposed d = decompose(transform_);
  if (sub == "scale") {
    d.sx = d.sy = *number;
  } else if (auto v = transformComponent(d, sub)) {
    *v = *number;
  } else {
    return false;
  }
  transform_ = compose(d);
  return true;
}

// Rendering ---------------------------------------------------------------

namespace {

CGRect gravityRect(const std::string& gravity, const CGRect& bounds, CGSize image) {
  double bw = bounds.size.width, bh = bounds.size.height;
  double w = image.width, h = image.height;
  if (gravity == kCAGravityResizeAspect || gravity == kCAGravityResizeAspectFill) {
    if (w <= 0 || h <= 0) return bounds;
    double s = gravity == kCAGravityResizeAspect ? std::min(bw / w, bh / h)
                                                 : std::max(bw / w, bh / h);
    w *= s;
    h *= s;
  } else if (gravity == kCAGravityResize || gravity.empty()) {
    return bounds;
  }
  // Placement: left/right/top/bottom edges, centred otherwise.
  bool left = gravity.find("eft") != std::string::npos;
  bool right = gravity.find("ight") != std::string::npos;
  bool top = gravity.rfind("top", 0) == 0;
  bool bottom = gravity.rfind("bottom", 0) == 0;
  double x = left ? 0 : right ? bw - w : (bw - w) / 2;
  double y = top ? 0 : bottom ? bh - h : (bh - h) / 2;
  return CGRectMake(bounds.origin.x + x, bounds.origin.y + y, w, h);
}

CGInterpolationQuality interpolationFor(const std::string& filter) {
  if (filter == kCAFilterNearest) return kCGInterpolationNone;
  if (filter == kCAFilterTrilinear) return kCGInterpolationMedium;
  return kCGInterpolationLow;
}

void fillPath(const CGContextRef& context, const CGPathRef& path, const CGColorRef& color,
              bool evenOdd) {
  if (!color || color->alpha() <= 0) return;
  CGContextBeginPath(context);
  CGContextAddPath(context, path);
  CGContextSetFillColorWithColor(context, color);
  if (evenOdd) {
    CGContextEOFillPath(context);
  } else {
    CGContextFillPath(context);
  }
}

// The border is drawn inside the bounds, never wider than half the shorter
// side, as the ring between the outline and the outline inset by its width.
void fillBorder(const CGContextRef& context, const CGRect& bounds, double cornerRadius,
                double width, const CGColorRef& color) {
  using namespace CALayerRendering;
  double bw = std::min(width, std::min(bounds.size.width, bounds.size.height) / 2);
  auto ring = CGPathCreateMutable();
  CGPathAddPath(ring, nullptr, roundedRectPath(bounds, cornerRadius));
  CGPathAddPath(ring, nullptr,
                roundedRectPath(CGRectInset(bounds, bw, bw), std::max(0.0, cornerRadius - bw)));
  fillPath(context, ring, color, true);
}

}  // namespace

void CALayer::renderInContext(const CGContextRef& context) {
  QX_DCHECK_MAIN_THREAD();
  if (!context) return;
  renderLayer(*this, context, CACurrentMediaTime());
}

void CALayer::renderLayer(CALayer& model, const CGContextRef& context, double time) {
  using namespace CALayerRendering;
  const auto painter = model.delegate();
  CALayerRenderTimeDrawing* renderTime = painter ? painter->renderTimeDrawing() : nullptr;
  const bool paintsNow = renderTime && !model.contents_ && renderTime->drawsWhenRendered(model);
  if (paintsNow) {
    model.needsDisplay_ = false;
  } else {
    model.displayIfNeeded();
  }
  if (model.contents_ && !model.contentsStore_) {
    model.contentsStore_ = std::make_shared<ContentsStore>();
  }
  // Without animations the presentation would be a copy of the model's
  // values: the model itself is drawn then, and nothing is allocated.
  std::shared_ptr<CALayer> presentation;
  const CALayer* shown = &model;
  if (!model.animations_.empty()) {
    presentation = model.presentationLayerAtTime(time);
    shown = presentation.get();
  }
  if (shown->hidden_ || shown->opacity_ <= 0) return;
  CGContextSaveGState(context);
  CGContextConcatCTM(context, shown->affineToSuperlayer());
  const CGRect bounds = shown->bounds_;
  const CGAffineTransform ctm = CGContextGetCTM(context);
  const bool shadow = shown->shadowOpacity_ > 0 && shown->shadowColor_ &&
                      shown->shadowColor_->alpha() > 0;
  // Without a path the shadow follows what the layer paints, so the layer
  // paints offscreen first.
  const bool silhouetteShadow = shadow && !shown->shadowPath_;
  const bool group = shown->opacity_ < 1 || model.mask_ || silhouetteShadow;
  const double shadowReach = shadow ? shown->shadowReach(ctm) : 0;
  Offscreen offscreen;
  if (group) {
    CGRect box = visibleDeviceBox(context);
    // What lies outside the visible area may cast a shadow into it.
    if (silhouetteShadow) box = outsetDeviceBox(box, shadowReach);
    if (shown->masksToBounds_ || model.mask_) {
      box = CGRectIntersection(box, CGRectIntegral(CGRectApplyAffineTransform(bounds, ctm)));
    }
    offscreen = makeOffscreen(context, CGRectIsNull(box) ? CGRectZero : box);
    if (!offscreen.context) {
      CGContextRestoreGState(context);
      return;
    }
  }
  const CGContextRef& target = group ? offscreen.context : context;

  if (shadow && !silhouetteShadow) shown->renderPathShadow(target);
  if (shown->backgroundColor_) {
    if (shown->cornerRadius_ > 0) {
      fillPath(target, roundedRectPath(bounds, shown->cornerRadius_), shown->backgroundColor_,
               false);
    } else if (shown->backgroundColor_->alpha() > 0) {
      // The same rectangle as its path, without making one every frame.
      CGContextSetFillColorWithColor(target, shown->backgroundColor_);
      CGContextFillRect(target, bounds);
    }
  }
  // The clip to the bounds is lifted again before the border; content and
  // sublayers restore what they change themselves.
  const bool clipsToBounds = shown->masksToBounds_;
  if (clipsToBounds) {
    CGContextSaveGState(target);
    CGContextBeginPath(target);
    CGContextAddPath(target, roundedRectPath(bounds, shown->cornerRadius_));
    CGContextClip(target);
  }
  if (paintsNow) {
    // A painter that keeps inside the bounds and restores what it changes
    // needs neither a clip nor a saved state of its own.
    const bool contained = renderTime->drawsWithinBounds(model);
    if (!contained) {
      CGContextSaveGState(target);
      CGContextClipToRect(target, model.bounds_);
    }
    painter->drawLayerInContext(model, target);
    if (!contained) CGContextRestoreGState(target);
  } else {
    shown->renderContent(target, time);
  }
  shown->renderSublayers(target, time, model.sublayers_);
  if (clipsToBounds) CGContextRestoreGState(target);
  if (shown->borderWidth_ > 0) {
    fillBorder(target, bounds, shown->cornerRadius_, shown->borderWidth_, shown->borderColor_);
  }

  if (group) {
    if (model.mask_) {
      Offscreen maskBitmap = makeOffscreen(context, offscreen.deviceBox);
      renderLayer(*model.mask_, maskBitmap.context, time);
      applyMask(offscreen, maskBitmap);
    }
    if (silhouetteShadow) shown->renderShadowOf(offscreen, context);
    composite(offscreen, context, shown->opacity_);
  }
  CGContextRestoreGState(context);
}

namespace {

// The Gaussian's standard deviation for a shadow radius, in points.
double shadowSigma(double radius) { return std::max(0.0, radius) / 2; }

double deviceScale(const CGAffineTransform& t) { return std::sqrt(std::fabs(t.a * t.d - t.b * t.c)); }

}  // namespace

double CALayer::shadowReach(const CGAffineTransform& ctm) const {
  double offset = std::hypot(shadowOffset_.width, shadowOffset_.height);
  return (3 * shadowSigma(shadowRadius_) + offset) * deviceScale(ctm) + 1;
}

void CALayer::shadowParameters(const CGAffineTransform& ctm, double rgba[4], CGPoint& offset,
                               double& sigma) const {
  shadowColor_->getRGBA(rgba);
  rgba[3] *= shadowOpacity_;
  // The offset is in the layer's own space; the shadow moves with it on the device.
  offset = CGPointMake(ctm.a * shadowOffset_.width + ctm.c * shadowOffset_.height,
                       ctm.b * shadowOffset_.width + ctm.d * shadowOffset_.height);
  sigma = shadowSigma(shadowRadius_) * deviceScale(ctm);
}

void CALayer::renderShadowOf(const CALayerRendering::Offscreen& silhouette,
                             const CGContextRef& context) const {
  double rgba[4], sigma;
  CGPoint offset;
  shadowParameters(CGContextGetCTM(context), rgba, offset, sigma);
  CGContextSaveGState(context);
  if (masksToBounds_) {
    // A layer that clips to its bounds clips its shadow too.
    CGContextBeginPath(context);
    CGContextAddPath(context, CALayerRendering::roundedRectPath(bounds_, cornerRadius_));
    CGContextClip(context);
  }
  CALayerRendering::drawShadow(silhouette, context, rgba, offset, sigma, opacity_);
  CGContextRestoreGState(context);
}

void CALayer::renderPathShadow(const CGContextRef& context) const {
  using namespace CALayerRendering;
  const CGAffineTransform ctm = CGContextGetCTM(context);
  CGRect pathBox = CGRectIntegral(CGRectApplyAffineTransform(CGPathGetBoundingBox(shadowPath_), ctm));
  // Only the part of the path whose shadow can reach the visible area matters.
  CGRect box = CGRectIntersection(pathBox, outsetDeviceBox(visibleDeviceBox(context),
                                                           shadowReach(ctm)));
  if (CGRectIsNull(box) || CGRectIsEmpty(box)) return;
  Offscreen silhouette = makeOffscreen(context, box);
  if (!silhouette.context) return;
  fillPath(silhouette.context, shadowPath_, CGColorCreateSRGB(0, 0, 0, 1), false);
  double rgba[4], sigma;
  CGPoint offset;
  shadowParameters(ctm, rgba, offset, sigma);
  CGContextSaveGState(context);
  if (masksToBounds_) {
    CGContextBeginPath(context);
    CGContextAddPath(context, roundedRectPath(bounds_, cornerRadius_));
    CGContextClip(context);
  }
  drawShadow(silhouette, context, rgba, offset, sigma, 1);
  CGContextRestoreGState(context);
}

void CALayer::renderContent(const CGContextRef& context, double) const {
  if (!contents_) return;
  CGSize size = CGSizeMake(double(contents_->width()) / contentsScale_,
                           double(contents_->height()) / contentsScale_);
  CGRect rect = gravityRect(contentsGravity_, bounds_, size);
  if (CGRectIsEmpty(rect)) return;
  CGAffineTransform ctm = CGContextGetCTM(context);
  double devicePerPoint = std::sqrt(std::fabs(ctm.a * ctm.d - ctm.b * ctm.c));
  double magnification = devicePerPoint * rect.size.width / double(contents_->width());
  CGContextSaveGState(context);
  CGContextSetInterpolationQuality(
      context, interpolationFor(magnification > 1 ? magnificationFilter_ : minificationFilter_));
  if (contentsStore_) {
    contentsStore_->draw(context, rect, contents_);
  } else {
    CALayerRendering::drawImageFlipped(context, rect, contents_);
  }
  CGContextRestoreGState(context);
}

void CALayer::renderSublayers(const CGContextRef& context, double time,
                              const std::vector<std::shared_ptr<CALayer>>& sublayers) const {
  for (const auto& sub : sublayers) renderLayer(*sub, context, time);
}
