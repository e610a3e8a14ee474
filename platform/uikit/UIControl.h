#pragma once

// Controls turn touches into control events sent to target-action pairs. A
// touch that comes down tracks (beginTracking, continueTracking as it moves,
// endTracking or cancelTracking) and sends touch-down, drag inside/outside,
// drag enter/exit and touch-up inside/outside; "inside" reaches
// kTouchSlop points beyond the bounds while tracking, as on the platform.

#include <functional>
#include <memory>
#include <vector>

#include "UIView.h"

enum UIControlEvents : uint64_t {
  UIControlEventTouchDown = 1 << 0,
  UIControlEventTouchDownRepeat = 1 << 1,
  UIControlEventTouchDragInside = 1 << 2,
  UIControlEventTouchDragOutside = 1 << 3,
  UIControlEventTouchDragEnter = 1 << 4,
  UIControlEventTouchDragExit = 1 << 5,
  UIControlEventTouchUpInside = 1 << 6,
  UIControlEventTouchUpOutside = 1 << 7,
  UIControlEventTouchCancel = 1 << 8,
  UIControlEventValueChanged = 1 << 12,
  UIControlEventPrimaryActionTriggered = 1 << 13,
  UIControlEventAllTouchEvents = 0x00000FFF,
  UIControlEventAllEvents = 0xFFFFFFFF,
};

enum UIControlState : uint64_t {
  UIControlStateNormal = 0,
  UIControlStateHighlighted = 1 << 0,
  UIControlStateDisabled = 1 << 1,
  UIControlStateSelected = 1 << 2,
  UIControlStateFocused = 1 << 3,
};

class UIControl : public UIView {
 public:
  static constexpr double kTouchSlop = 70;
  using Action = std::function<void(UIControl& sender, UIEvent* event)>;

  using UIView::UIView;

  // The action runs for each of `events` while `target` lives.
  void addTarget(const std::shared_ptr<NSObject>& target, Action action, uint64_t events);
  // Removes `target`'s actions for `events` (every target when nullptr).
  void removeTarget(const NSObject* target, uint64_t events);
  std::vector<std::shared_ptr<NSObject>> allTargets() const;
  uint64_t allControlEvents() const;
  void sendActionsForControlEvents(uint64_t events);

  bool isAccessibilityElement() const override {
    return accessibilityElementSetting().value_or(true);
  }
  bool isEnabled() const { return enabled_; }
  virtual void setEnabled(bool enabled);
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected);
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool highlighted);
  uint64_t state() const;
  bool isTracking() const { return tracking_; }
  bool isTouchInside() const { return touchInside_; }

  virtual bool beginTrackingWithTouch(UITouch& touch, UIEvent* event);
  virtual bool continueTrackingWithTouch(UITouch& touch, UIEvent* event);
  virtual void endTrackingWithTouch(UITouch* touch, UIEvent* event);
  virtual void cancelTrackingWithEvent(UIEvent* event);

  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesMoved(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;
  void touchesCancelled(const UITouchSet& touches, UIEvent* event) override;

 protected:
  virtual void stateDidChange() {}
  void sendActions(uint64_t events, UIEvent* event);

 private:
  bool insideWithSlop(const UITouch& touch) const;

  struct Target {
    std::weak_ptr<NSObject> target;
    const NSObject* identity;
    Action action;
    uint64_t events;
  };
  std::vector<Target> targets_;
  bool enabled_ = true;
  bool selected_ = false;
  bool highlighted_ = false;
  bool tracking_ = false;
  bool touchInside_ = false;
  std::shared_ptr<UITouch> touch_;
};

// True for a one-finger single tap recognizer attached to a view other than
// `control`: a control's own tap wins over it, as on the platform.
bool UIControlOverridesTap(const UIControl& control, UIGestureRecognizer& recognizer);
