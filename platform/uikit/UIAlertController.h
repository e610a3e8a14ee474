#pragma once

// Alerts and action sheets: a title, a message and actions. A person taps an
// action (tapAction): the alert goes away and the action's handler runs once
// it is gone. An action sheet on the pad idiom is a popover and needs its
// source; on a phone it slides up over the presenter.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UIViewController.h"
#include "platform/foundation/ThreadChecks.h"

enum class UIAlertControllerStyle { ActionSheet = 0, Alert = 1 };
enum class UIAlertActionStyle { Default = 0, Cancel = 1, Destructive = 2 };

class UIAlertAction : public NSObject {
 public:
  using Handler = std::function<void(UIAlertAction&)>;
  static std::shared_ptr<UIAlertAction> actionWithTitle(std::string title, UIAlertActionStyle style,
                                                        Handler handler);
  const std::string& title() const { return title_; }
  UIAlertActionStyle style() const { return style_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on) {
    QX_DCHECK_MAIN_THREAD();
    enabled_ = on;
  }

 private:
  friend class UIAlertController;
  std::string title_;
  UIAlertActionStyle style_ = UIAlertActionStyle::Default;
  bool enabled_ = true;
  Handler handler_;
};

class UIAlertController : public UIViewController {
 public:
  static std::shared_ptr<UIAlertController> alertControllerWithTitle(
      std::optional<std::string> title, std::optional<std::string> message,
      UIAlertControllerStyle style);

  const std::optional<std::string>& alertTitle() const { return title_; }
  const std::optional<std::string>& message() const { return message_; }
  void setMessage(std::optional<std::string> m) {
    QX_DCHECK_MAIN_THREAD();
    message_ = std::move(m);
  }
  UIAlertControllerStyle preferredStyle() const { return style_; }
  // A second cancel action is a fatal stop, as on the platform.
  void addAction(const std::shared_ptr<UIAlertAction>& action);
  const std::vector<std::shared_ptr<UIAlertAction>>& actions() const { return actions_; }
  std::shared_ptr<UIAlertAction> preferredAction() const { return preferred_; }
  void setPreferredAction(const std::shared_ptr<UIAlertAction>& a) {
    QX_DCHECK_MAIN_THREAD();
    preferred_ = a;
  }

  // A person tapping one of the alert's enabled actions while it is shown.
  // False when the tap does nothing.
  bool tapAction(const std::shared_ptr<UIAlertAction>& action);

  // The view is the alert as the platform draws it: a rounded box with the
  // title and message and a button per action that taps it (an action
  // sheet's cancel action in a box of its own below). Views an app adds to
  // it show inside the box; a height constraint on it sets the box's height.
  // The presentation puts it centred (an alert) or at the bottom (a sheet)
  // over a dimmed screen.
  void loadView() override;
  // The button showing an action, once the view is laid out.
  std::shared_ptr<UIView> viewForAction(const std::shared_ptr<UIAlertAction>& action);
  // Where the view goes in a full-screen container of `bounds` with the
  // safe area `safe`.
  CGRect frameInContainer(const CGRect& bounds, const UIEdgeInsets& safe);

 private:
  friend class UIAlertView;
  std::optional<std::string> title_;
  std::optional<std::string> message_;
  UIAlertControllerStyle style_ = UIAlertControllerStyle::Alert;
  std::vector<std::shared_ptr<UIAlertAction>> actions_;
  std::shared_ptr<UIAlertAction> preferred_;
  bool tapped_ = false;
};
