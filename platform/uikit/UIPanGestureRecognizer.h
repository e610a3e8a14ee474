#pragma once

// Begins once the fingers' centroid slid past a small distance and reports
// the translation from where they came down and the recent velocity.
// UIScreenEdgePanGestureRecognizer only starts from a window edge it names.

#include <deque>

#include "UIGestureRecognizer.h"
#include "platform/foundation/ThreadChecks.h"

class UIPanGestureRecognizer : public UIGestureRecognizer {
 public:
  // The slide that tells a pan from a touch, and the span of recent movement
  // that the velocity is measured over.
  static constexpr double kHysteresis = 10;
  static constexpr double kVelocityWindow = 0.1;

  size_t minimumNumberOfTouches() const { return minTouches_; }
  void setMinimumNumberOfTouches(size_t n) {
    QX_DCHECK_MAIN_THREAD();
    minTouches_ = n < 1 ? 1 : n;
  }
  size_t maximumNumberOfTouches() const { return maxTouches_; }
  void setMaximumNumberOfTouches(size_t n) {
    QX_DCHECK_MAIN_THREAD();
    maxTouches_ = n;
  }

  CGPoint translationInView(const UIView* view) const;
  void setTranslation(const CGPoint& translation, const UIView* view);
  // Points per second in `view`'s space.
  CGPoint velocityInView(const UIView* view) const;

  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesMoved(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;

 protected:
  void reset() override;

 private:
  CGPoint centroidOf(bool includeLifted) const;
  void sample(double time, const CGPoint& p);
  void rebaseTo(const CGPoint& centroid);

  size_t minTouches_ = 1;
  size_t maxTouches_ = SIZE_MAX;
  bool tracking_ = false;
  CGPoint base_;      // window space; translation = centroid - base
  CGPoint centroid_;  // window space, the last one seen
  std::deque<std::pair<double, CGPoint>> samples_;
};

enum UIRectEdge : uint64_t {
  UIRectEdgeNone = 0,
  UIRectEdgeTop = 1 << 0,
  UIRectEdgeLeft = 1 << 1,
  UIRectEdgeBottom = 1 << 2,
  UIRectEdgeRight = 1 << 3,
  UIRectEdgeAll = 15,
};

class UIScreenEdgePanGestureRecognizer : public UIPanGestureRecognizer {
 public:
  // How close to the edge the finger must come down.
  static constexpr double kEdgeMargin = 20;

  uint64_t edges() const { return edges_; }
  void setEdges(uint64_t edges) {
    QX_DCHECK_MAIN_THREAD();
    edges_ = edges;
  }

  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;

 private:
  uint64_t edges_ = UIRectEdgeNone;
};
