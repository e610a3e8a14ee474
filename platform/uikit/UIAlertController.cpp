#include "UIAlertController.h"

#include <algorithm>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/ThreadChecks.h"

std::shared_ptr<UIAlertAction> UIAlertAction::actionWithTitle(std::string title,
                                                              UIAlertActionStyle style,
                                                              Handler handler) {
  auto action = std::make_shared<UIAlertAction>();
  action->title_ = std::move(title);
  action->style_ = style;
  action->handler_ = std::move(handler);
  return action;
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(
    std::optional<std::string> title, std::optional<std::string> message,
    UIAlertControllerStyle style) {
  auto alert = std::make_shared<UIAlertController>();
  alert->title_ = std::move(title);
  alert->message_ = std::move(message);
  alert->style_ = style;
  alert->setModalPresentationStyle(style == UIAlertControllerStyle::ActionSheet
                                       ? UIModalPresentationStyle::Popover
                                       : UIModalPresentationStyle::OverFullScreen);
  return alert;
}

void UIAlertController::addAction(const std::shared_ptr<UIAlertAction>& action) {
  QX_DCHECK_MAIN_THREAD();
  NSParameterAssert(action != nullptr);
  if (action->style() == UIAlertActionStyle::Cancel &&
      std::any_of(actions_.begin(), actions_.end(),
                  [](auto& a) { return a->style() == UIAlertActionStyle::Cancel; })) {
    FatalStop("UIAlertController can only have one action with a style of "
              "UIAlertActionStyleCancel");
  }
  actions_.push_back(action);
}

bool UIAlertController::tapAction(const std::shared_ptr<UIAlertAction>& action) {
  QX_DCHECK_MAIN_THREAD();
  if (tapped_ || !action || !action->isEnabled() || !presentingViewController() ||
      std::find(actions_.begin(), actions_.end(), action) == actions_.end()) {
    return false;
  }
  tapped_ = true;
  auto keepAlive = self();
  dismissViewControllerAnimated(true, [action] {
    if (action->handler_) action->handler_(*action);
  });
  return true;
}
