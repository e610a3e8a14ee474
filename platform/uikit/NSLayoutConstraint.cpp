#include "platform/uikit/NSLayoutConstraint.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIView.h"

NSLayoutConstraintPtr NSLayoutAnchor::make(NSLayoutRelation relation, const NSLayoutAnchor* other,
                                           double multiplier, double constant) const {
  return std::make_shared<NSLayoutConstraint>(*this, relation, other, multiplier, constant);
}

UILayoutGuide::UILayoutGuide(UIView* owningView) : owner_(owningView) {}

CGRect UILayoutGuide::layoutFrame() const {
  return UIEdgeInsetsInsetRect(owner_->bounds(), owner_->safeAreaInsets());
}

NSLayoutConstraint::Item NSLayoutConstraint::itemOf(const NSLayoutAnchor& anchor) {
  Item item;
  if (anchor.view_) item.view = SharedFromThis(anchor.view_);
  if (anchor.guide_) item.guide = SharedFromThis(anchor.guide_);
  return item;
}

namespace {
std::weak_ptr<UIView> viewOf(const NSLayoutAnchor* anchor, UIView* view, UILayoutGuide* guide) {
  if (!anchor) return {};
  UIView* v = view ? view : guide ? guide->owningView() : nullptr;
  return v ? std::weak_ptr<UIView>(SharedFromThis(v)) : std::weak_ptr<UIView>();
}
}  // namespace

NSLayoutConstraint::NSLayoutConstraint(const NSLayoutAnchor& first, NSLayoutRelation relation,
                                       const NSLayoutAnchor* second, double multiplier,
                                       double constant)
    : first_(itemOf(first)),
      second_(second ? itemOf(*second) : Item{}),
      firstView_(viewOf(&first, first.view_, first.guide_)),
      secondView_(second ? viewOf(second, second->view_, second->guide_)
                         : std::weak_ptr<UIView>()),
      firstAttribute_(first.attribute()),
      secondAttribute_(second ? second->attribute() : NSLayoutAttributeNotAnAttribute),
      relation_(relation),
      multiplier_(second ? multiplier : 0),
      constant_(constant),
      hasSecond_(second != nullptr) {}

void NSLayoutConstraint::activateConstraints(const std::vector<NSLayoutConstraintPtr>& list) {
  for (const auto& c : list) {
    if (c) c->setActive(true);
  }
}

void NSLayoutConstraint::deactivateConstraints(const std::vector<NSLayoutConstraintPtr>& list) {
  for (const auto& c : list) {
    if (c) c->setActive(false);
  }
}

void NSLayoutConstraint::setActive(bool active) {
  QX_DCHECK_MAIN_THREAD();
  if (active == active_) return;
  active_ = active;
  auto self = SharedFromThis(this);
  for (auto& weak : {firstView_, secondView_}) {
    auto view = weak.lock();
    if (!view) continue;
    if (active) {
      view->addConstraint(self);
    } else {
      view->removeConstraint(this);
    }
  }
  markNeedsLayout();
}

void NSLayoutConstraint::setConstant(double constant) {
  QX_DCHECK_MAIN_THREAD();
  constant_ = constant;
  if (active_) markNeedsLayout();
}

void NSLayoutConstraint::setPriority(UILayoutPriority priority) {
  QX_DCHECK_MAIN_THREAD();
  priority_ = std::clamp(priority, 1.0f, UILayoutPriorityRequired);
  if (active_) markNeedsLayout();
}

void NSLayoutConstraint::markNeedsLayout() const {
  for (auto& weak : {firstView_, secondView_}) {
    auto view = weak.lock();
    if (!view) continue;
    if (auto parent = view->superview()) {
      parent->setNeedsLayout();
    } else {
      view->setNeedsLayout();
    }
  }
}

// The solver ---------------------------------------------------------------

namespace {

bool isHorizontal(NSLayoutAttribute a) {
  return a == NSLayoutAttributeLeft || a == NSLayoutAttributeRight ||
         a == NSLayoutAttributeLeading || a == NSLayoutAttributeTrailing ||
         a == NSLayoutAttributeCenterX || a == NSLayoutAttributeWidth;
}

// Left-to-right: leading is left, trailing is right.
enum Slot { kMin = 0, kMax = 1, kMid = 2, kSize = 3 };

Slot slotOf(NSLayoutAttribute a) {
  switch (a) {
    case NSLayoutAttributeRight:
    case NSLayoutAttributeTrailing:
    case NSLayoutAttributeBottom: return kMax;
    case NSLayoutAttributeCenterX:
    case NSLayoutAttributeCenterY: return kMid;
    case NSLayoutAttributeWidth:
    case NSLayoutAttributeHeight: return kSize;
    default: return kMin;
  }
}

double valueOf(const CGRect& r, NSLayoutAttribute a) {
  bool h = isHorizontal(a);
  double origin = h ? r.origin.x : r.origin.y;
  double size = h ? r.size.width : r.size.height;
  switch (slotOf(a)) {
    case kMax: return origin + size;
    case kMid: return origin + size / 2;
    case kSize: return size;
    default: return origin;
  }
}

struct Bound {
  NSLayoutRelation relation;
  double value;
  UILayoutPriority priority;
  // Stated from a sibling that is itself placed by constraints ("below.top
  // = box.bottom"): it places the sibling first, and this view only when
  // nothing else does.
  bool fromSibling = false;
};

}  // namespace

struct LayoutSolver {
  // The rectangle of a constraint item in the container's bounds space.
  static std::optional<CGRect> rectOf(const NSLayoutConstraint::Item& item, UIView& container) {
    if (auto guide = item.guide.lock()) {
      return guide->owningView()->convertRectToView(guide->layoutFrame(), &container);
    }
    auto view = item.view.lock();
    if (!view) return std::nullopt;
    if (view.get() == &container) return container.bounds();
    return view->convertRectToView(view->bounds(), &container);
  }

  // The constraint as "view.attribute relation value", or nullopt when it
  // does not place `view` against something else.
  static std::optional<std::pair<NSLayoutAttribute, Bound>> boundFor(const NSLayoutConstraint& c,
                                                                     UIView& view,
                                                                     UIView& container) {
    bool firstIsView = c.first_.view.lock().get() == &view && c.first_.guide.expired();
    bool secondIsView = c.hasSecond_ && c.second_.view.lock().get() == &view &&
                        c.second_.guide.expired();
    if (firstIsView == secondIsView) return std::nullopt;
    if (firstIsView) {
      double other = 0;
      if (c.hasSecond_) {
        auto r = rectOf(c.second_, container);
        if (!r) return std::nullopt;
        other = valueOf(*r, c.secondAttribute_);
      }
      return std::make_pair(c.firstAttribute_,
                            Bound{c.relation_, c.multiplier_ * other + c.constant_, c.priority_});
    }
    if (c.multiplier_ == 0) return std::nullopt;
    auto r = rectOf(c.first_, container);
    if (!r) return std::nullopt;
    double value = (valueOf(*r, c.firstAttribute_) - c.constant_) / c.multiplier_;
    NSLayoutRelation rel = c.relation_;
    if (c.multiplier_ > 0) rel = NSLayoutRelation(-int64_t(rel));
    auto other = c.first_.view.lock();
    bool sibling = other && c.first_.guide.expired() && other.get() != &container &&
                   other->superview().get() == &container &&
                   !other->translatesAutoresizingMaskIntoConstraints();
    return std::make_pair(c.secondAttribute_, Bound{rel, value, c.priority_, sibling});
  }

  // Origin and length of one axis from the bounds on it.
  static void solveAxis(std::vector<std::pair<Slot, Bound>> bounds, double& origin,
                        double& length, double intrinsic) {
    std::stable_sort(bounds.begin(), bounds.end(), [](const auto& a, const auto& b) {
      if (a.second.priority != b.second.priority) return a.second.priority > b.second.priority;
      return !a.second.fromSibling && b.second.fromSibling;
    });
    std::optional<double> fixed[4];
    int count = 0;
    for (const auto& [slot, b] : bounds) {
      if (b.relation != NSLayoutRelationEqual || fixed[slot] || count >= 2) continue;
      fixed[slot] = b.value;
      ++count;
    }
    if (!fixed[kSize]) {
      if (fixed[kMin] && fixed[kMax]) {
        fixed[kSize] = *fixed[kMax] - *fixed[kMin];
      } else if (fixed[kMin] && fixed[kMid]) {
        fixed[kSize] = 2 * (*fixed[kMid] - *fixed[kMin]);
      } else if (fixed[kMax] && fixed[kMid]) {
        fixed[kSize] = 2 * (*fixed[kMax] - *fixed[kMid]);
      }
    }
    double size = fixed[kSize] ? *fixed[kSize] : intrinsic >= 0 ? intrinsic : length;
    for (const auto& [slot, b] : bounds) {
      if (slot != kSize || b.relation == NSLayoutRelationEqual ||
          b.priority < UILayoutPriorityRequired) {
        continue;
      }
      size = b.relation == NSLayoutRelationGreaterThanOrEqual ? std::max(size, b.value)
                                                              : std::min(size, b.value);
    }
    length = std::max(0.0, size);
    if (fixed[kMin]) {
      origin = *fixed[kMin];
    } else if (fixed[kMax]) {
      origin = *fixed[kMax] - length;
    } else if (fixed[kMid]) {
      origin = *fixed[kMid] - length / 2;
    }
    for (const auto& [slot, b] : bounds) {
      if (slot == kSize || b.relation == NSLayoutRelationEqual ||
          b.priority < UILayoutPriorityRequired) {
        continue;
      }
      double at = slot == kMin ? origin : slot == kMax ? origin + length : origin + length / 2;
      bool violated = b.relation == NSLayoutRelationGreaterThanOrEqual ? at < b.value
                                                                       : at > b.value;
      if (violated) origin += b.value - at;
    }
  }

  // A size of the view bound to its own other size (an aspect ratio).
  static std::optional<std::pair<NSLayoutAttribute, Bound>> selfBound(
      const NSLayoutConstraint& c, UIView& view, const CGRect& frame) {
    bool both = c.hasSecond_ && c.first_.view.lock().get() == &view &&
                c.second_.view.lock().get() == &view && c.first_.guide.expired() &&
                c.second_.guide.expired();
    if (!both || slotOf(c.firstAttribute_) != kSize || slotOf(c.secondAttribute_) != kSize) {
      return std::nullopt;
    }
    double other = valueOf(frame, c.secondAttribute_);
    return std::make_pair(c.firstAttribute_,
                          Bound{c.relation_, c.multiplier_ * other + c.constant_, c.priority_});
  }

  // Answers whether the frame changed.
  static bool solve(UIView& view, UIView& container) {
    std::vector<std::pair<Slot, Bound>> h, v;
    bool ratio = false;
    for (const auto& c : view.constraints()) {
      if (auto b = boundFor(*c, view, container)) {
        (isHorizontal(b->first) ? h : v).emplace_back(slotOf(b->first), b->second);
      } else {
        ratio = ratio || (c->first_.view.lock().get() == &view && c->hasSecond_ &&
                          c->second_.view.lock().get() == &view);
      }
    }
    if (h.empty() && v.empty() && !ratio) return false;
    CGRect f = view.frame();
    CGSize intrinsic = view.intrinsicContentSize();
    // Width first; a height bound to the width follows it, and a width bound
    // to the height is settled once the height is known.
    solveAxis(h, f.origin.x, f.size.width, intrinsic.width);
    for (const auto& c : view.constraints()) {
      auto b = selfBound(*c, view, f);
      if (b && b->first == NSLayoutAttributeHeight) v.emplace_back(kSize, b->second);
    }
    solveAxis(v, f.origin.y, f.size.height, intrinsic.height);
    for (const auto& c : view.constraints()) {
      auto b = selfBound(*c, view, f);
      if (b && b->first == NSLayoutAttributeWidth) {
        h.emplace_back(kSize, b->second);
        solveAxis(h, f.origin.x, f.size.width, intrinsic.width);
      }
    }
    if (f == view.frame()) return false;
    view.setFrame(f);
    return true;
  }
};

void NSLayoutConstraint::solveSubviewsOf(UIView& container) {
  // Siblings placed against each other settle within a few passes.
  constexpr int kPasses = 4;
  for (int pass = 0; pass < kPasses; ++pass) {
    bool changed = false;
    for (const auto& sub : std::vector<std::shared_ptr<UIView>>(container.subviews())) {
      if (!sub->translatesAutoresizingMaskIntoConstraints()) {
        changed = LayoutSolver::solve(*sub, container) || changed;
      }
    }
    if (!changed) break;
  }
}

// UIView's side ------------------------------------------------------------

struct UIView::Anchors {
  explicit Anchors(UIView* v)
      : left(v, nullptr, NSLayoutAttributeLeft),
        right(v, nullptr, NSLayoutAttributeRight),
        leading(v, nullptr, NSLayoutAttributeLeading),
        trailing(v, nullptr, NSLayoutAttributeTrailing),
        centerX(v, nullptr, NSLayoutAttributeCenterX),
        top(v, nullptr, NSLayoutAttributeTop),
        bottom(v, nullptr, NSLayoutAttributeBottom),
        centerY(v, nullptr, NSLayoutAttributeCenterY),
        width(v, nullptr, NSLayoutAttributeWidth),
        height(v, nullptr, NSLayoutAttributeHeight) {}
  NSLayoutXAxisAnchor left, right, leading, trailing, centerX;
  NSLayoutYAxisAnchor top, bottom, centerY;
  NSLayoutDimension width, height;
};

UIView::Anchors& UIView::anchors() {
  if (!anchors_) anchors_ = std::make_shared<Anchors>(this);
  return *anchors_;
}

NSLayoutXAxisAnchor& UIView::leftAnchor() { return anchors().left; }
NSLayoutXAxisAnchor& UIView::rightAnchor() { return anchors().right; }
NSLayoutXAxisAnchor& UIView::leadingAnchor() { return anchors().leading; }
NSLayoutXAxisAnchor& UIView::trailingAnchor() { return anchors().trailing; }
NSLayoutXAxisAnchor& UIView::centerXAnchor() { return anchors().centerX; }
NSLayoutYAxisAnchor& UIView::topAnchor() { return anchors().top; }
NSLayoutYAxisAnchor& UIView::bottomAnchor() { return anchors().bottom; }
NSLayoutYAxisAnchor& UIView::centerYAnchor() { return anchors().centerY; }
NSLayoutDimension& UIView::widthAnchor() { return anchors().width; }
NSLayoutDimension& UIView::heightAnchor() { return anchors().height; }

const std::shared_ptr<UILayoutGuide>& UIView::safeAreaLayoutGuide() {
  if (!safeAreaGuide_) safeAreaGuide_ = std::make_shared<UILayoutGuide>(this);
  return safeAreaGuide_;
}

void UIView::setTranslatesAutoresizingMaskIntoConstraints(bool on) {
  QX_DCHECK_MAIN_THREAD();
  translatesMask_ = on;
  if (auto parent = superview()) parent->setNeedsLayout();
}

void UIView::addConstraint(const std::shared_ptr<NSLayoutConstraint>& c) {
  if (std::find(constraints_.begin(), constraints_.end(), c) == constraints_.end()) {
    constraints_.push_back(c);
  }
}

void UIView::removeConstraint(const NSLayoutConstraint* c) {
  std::erase_if(constraints_, [c](const auto& p) { return p.get() == c; });
}

void UIView::deactivateConstraintsLeavingSubtree() {
  std::vector<NSLayoutConstraintPtr> leaving;
  std::vector<UIView*> pending{this};
  while (!pending.empty()) {
    UIView* view = pending.back();
    pending.pop_back();
    for (auto& sub : view->subviews_) pending.push_back(sub.get());
    for (const auto& c : view->constraints_) {
      for (const auto& other : {c->firstView(), c->secondView()}) {
        if (other && !other->isDescendantOfView(this)) {
          leaving.push_back(c);
          break;
        }
      }
    }
  }
  NSLayoutConstraint::deactivateConstraints(leaving);
}
