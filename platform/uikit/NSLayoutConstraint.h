#pragma once

// Auto Layout, the anchor subset: constraints between edges, centres and
// sizes of views and layout guides, with constants, multipliers, relations
// and priorities. A view whose translatesAutoresizingMaskIntoConstraints is
// off gets its frame from its constraints when its superview lays out: per
// axis the highest-priority equalities fix up to two of position and size
// (an intrinsic content size fills a missing size, the current frame the
// rest), then required inequalities clamp the result. Siblings that depend on
// each other settle over a few passes.

#include <memory>
#include <vector>

#include "platform/foundation/NSObject.h"
#include "platform/coregraphics/CGGeometry.h"

class UIView;
class UILayoutGuide;
class NSLayoutConstraint;

enum NSLayoutAttribute : int64_t {
  NSLayoutAttributeNotAnAttribute = 0,
  NSLayoutAttributeLeft = 1,
  NSLayoutAttributeRight = 2,
  NSLayoutAttributeTop = 3,
  NSLayoutAttributeBottom = 4,
  NSLayoutAttributeLeading = 5,
  NSLayoutAttributeTrailing = 6,
  NSLayoutAttributeWidth = 7,
  NSLayoutAttributeHeight = 8,
  NSLayoutAttributeCenterX = 9,
  NSLayoutAttributeCenterY = 10,
};

enum NSLayoutRelation : int64_t {
  NSLayoutRelationLessThanOrEqual = -1,
  NSLayoutRelationEqual = 0,
  NSLayoutRelationGreaterThanOrEqual = 1,
};

using UILayoutPriority = float;
inline constexpr UILayoutPriority UILayoutPriorityRequired = 1000;
inline constexpr UILayoutPriority UILayoutPriorityDefaultHigh = 750;
inline constexpr UILayoutPriority UILayoutPriorityDefaultLow = 250;

using NSLayoutConstraintPtr = std::shared_ptr<NSLayoutConstraint>;

// An attribute of a view or a layout guide, the start of a constraint.
class NSLayoutAnchor {
 public:
  NSLayoutAnchor(UIView* view, UILayoutGuide* guide, NSLayoutAttribute attribute)
      : view_(view), guide_(guide), attribute_(attribute) {}
  NSLayoutAnchor(const NSLayoutAnchor&) = delete;
  NSLayoutAnchor& operator=(const NSLayoutAnchor&) = delete;

  NSLayoutAttribute attribute() const { return attribute_; }

 protected:
  NSLayoutConstraintPtr make(NSLayoutRelation relation, const NSLayoutAnchor* other,
                             double multiplier, double constant) const;

 private:
  friend class NSLayoutConstraint;
  UIView* view_;
  UILayoutGuide* guide_;
  NSLayoutAttribute attribute_;
};

// Edges and centres: constrained to anchors of the same axis.
template <int Axis>
class NSLayoutAxisAnchor : public NSLayoutAnchor {
 public:
  using NSLayoutAnchor::NSLayoutAnchor;
  NSLayoutConstraintPtr constraintEqualToAnchor(const NSLayoutAxisAnchor& a,
                                                double constant = 0) const {
    return make(NSLayoutRelationEqual, &a, 1, constant);
  }
  NSLayoutConstraintPtr constraintGreaterThanOrEqualToAnchor(const NSLayoutAxisAnchor& a,
                                                             double constant = 0) const {
    return make(NSLayoutRelationGreaterThanOrEqual, &a, 1, constant);
  }
  NSLayoutConstraintPtr constraintLessThanOrEqualToAnchor(const NSLayoutAxisAnchor& a,
                                                          double constant = 0) const {
    return make(NSLayoutRelationLessThanOrEqual, &a, 1, constant);
  }
};

class NSLayoutXAxisAnchor final : public NSLayoutAxisAnchor<0> {
 public:
  using NSLayoutAxisAnchor<0>::NSLayoutAxisAnchor;
};

class NSLayoutYAxisAnchor final : public NSLayoutAxisAnchor<1> {
 public:
  using NSLayoutAxisAnchor<1>::NSLayoutAxisAnchor;
};

class NSLayoutDimension : public NSLayoutAnchor {
 public:
  using NSLayoutAnchor::NSLayoutAnchor;
  NSLayoutConstraintPtr constraintEqualToConstant(double c) const {
    return make(NSLayoutRelationEqual, nullptr, 0, c);
  }
  NSLayoutConstraintPtr constraintGreaterThanOrEqualToConstant(double c) const {
    return make(NSLayoutRelationGreaterThanOrEqual, nullptr, 0, c);
  }
  NSLayoutConstraintPtr constraintLessThanOrEqualToConstant(double c) const {
    return make(NSLayoutRelationLessThanOrEqual, nullptr, 0, c);
  }
  NSLayoutConstraintPtr constraintEqualToAnchor(const NSLayoutDimension& a, double multiplier = 1,
                                                double constant = 0) const {
    return make(NSLayoutRelationEqual, &a, multiplier, constant);
  }
  NSLayoutConstraintPtr constraintGreaterThanOrEqualToAnchor(const NSLayoutDimension& a,
                                                             double multiplier = 1,
                                                             double constant = 0) const {
    return make(NSLayoutRelationGreaterThanOrEqual, &a, multiplier, constant);
  }
  NSLayoutConstraintPtr constraintLessThanOrEqualToAnchor(const NSLayoutDimension& a,
                                                          double multiplier = 1,
                                                          double constant = 0) const {
    return make(NSLayoutRelationLessThanOrEqual, &a, multiplier, constant);
  }
};

// A rectangle of a view that constraints can name: the safe area guide is
// the view's bounds less its safe area insets.
class UILayoutGuide : public NSObject {
 public:
  explicit UILayoutGuide(UIView* owningView);
  UIView* owningView() const { return owner_; }
  // In the owning view's bounds space.
  CGRect layoutFrame() const;

  NSLayoutXAxisAnchor leftAnchor{nullptr, this, NSLayoutAttributeLeft};
  NSLayoutXAxisAnchor rightAnchor{nullptr, this, NSLayoutAttributeRight};
  NSLayoutXAxisAnchor leadingAnchor{nullptr, this, NSLayoutAttributeLeading};
  NSLayoutXAxisAnchor trailingAnchor{nullptr, this, NSLayoutAttributeTrailing};
  NSLayoutXAxisAnchor centerXAnchor{nullptr, this, NSLayoutAttributeCenterX};
  NSLayoutYAxisAnchor topAnchor{nullptr, this, NSLayoutAttributeTop};
  NSLayoutYAxisAnchor bottomAnchor{nullptr, this, NSLayoutAttributeBottom};
  NSLayoutYAxisAnchor centerYAnchor{nullptr, this, NSLayoutAttributeCenterY};
  NSLayoutDimension widthAnchor{nullptr, this, NSLayoutAttributeWidth};
  NSLayoutDimension heightAnchor{nullptr, this, NSLayoutAttributeHeight};

  std::string className() const override { return "UILayoutGuide"; }

 private:
  UIView* owner_;
};

class NSLayoutConstraint : public NSObject {
 public:
  // first.attribute relation multiplier × second.attribute + constant; a
  // missing second item makes it first.attribute relation constant.
  NSLayoutConstraint(const NSLayoutAnchor& first, NSLayoutRelation relation,
                     const NSLayoutAnchor* second, double multiplier, double constant);

  static void activateConstraints(const std::vector<NSLayoutConstraintPtr>& constraints);
  static void deactivateConstraints(const std::vector<NSLayoutConstraintPtr>& constraints);

  bool isActive() const { return active_; }
  void setActive(bool active);
  double constant() const { return constant_; }
  void setConstant(double constant);
  double multiplier() const { return multiplier_; }
  UILayoutPriority priority() const { return priority_; }
  void setPriority(UILayoutPriority priority);
  NSLayoutRelation relation() const { return relation_; }
  NSLayoutAttribute firstAttribute() const { return firstAttribute_; }
  NSLayoutAttribute secondAttribute() const { return secondAttribute_; }
  std::shared_ptr<UIView> firstView() const { return firstView_.lock(); }
  std::shared_ptr<UIView> secondView() const { return secondView_.lock(); }

  std::string className() const override { return "NSLayoutConstraint"; }

  // Gives the subviews of `container` that are laid out by constraints their
  // frames (the layout pass calls it before layoutSubviews).
  static void solveSubviewsOf(UIView& container);

 private:
  struct Item {
    std::weak_ptr<UIView> view;
    std::weak_ptr<UILayoutGuide> guide;
    bool isNull() const { return view.expired() && guide.expired(); }
  };
  static Item itemOf(const NSLayoutAnchor& anchor);
  // The view whose layout this constraint changes: the superview of the
  // first view, or the view itself for a size of its own.
  void markNeedsLayout() const;

  Item first_, second_;
  std::weak_ptr<UIView> firstView_, secondView_;
  NSLayoutAttribute firstAttribute_, secondAttribute_;
  NSLayoutRelation relation_;
  double multiplier_, constant_;
  UILayoutPriority priority_ = UILayoutPriorityRequired;
  bool active_ = false;
  bool hasSecond_;
  friend struct LayoutSolver;
};
