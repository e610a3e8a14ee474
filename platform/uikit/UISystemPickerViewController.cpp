#include "UISystemPickerViewController.h"

#include "UIColor.h"
#include "UIViewAccessibility.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/WeakSelf.h"

bool UISystemPickerViewController::isAvailable() {
  return UISystemPickerProvider::current()->canPresent();
}

void UISystemPickerViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  // What stands on screen while the system picker runs: a sheet named after
  // the picker, so whoever looks at the view tree sees which one is up.
  view()->setBackgroundColor(UIColor::lightGrayColor());
  UIViewSetAccessibilityIdentifier(*view(), className());
  UIViewSetAccessibilityLabel(*view(), std::string("System picker"));
}

void UISystemPickerViewController::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  if (asked_) return;
  asked_ = true;
  auto weak = WeakFromThis(this);
  pending_ = true;
  cancel_ = UISystemPickerProvider::current()->pick(
      pickerRequest(), [weak](UISystemPickerAnswer answer) {
        auto self = std::static_pointer_cast<UISystemPickerViewController>(weak.lock());
        if (!self || !self->pending_) return;  // gone, or dismissed before the answer
        self->pending_ = false;
        self->cancel_ = nullptr;
        if (answer.kind == UISystemPickerAnswer::Kind::Failed) return self->fail(answer.error);
        self->pickerDidAnswer(std::move(answer));
      });
}

void UISystemPickerViewController::viewDidDisappear(bool animated) {
  UIViewController::viewDidDisappear(animated);
  if (!pending_) return;
  pending_ = false;
  auto cancel = std::move(cancel_);
  cancel_ = nullptr;
  if (cancel) cancel();
}

void UISystemPickerViewController::dismissIfPresented(bool animated) {
  if (presentingViewController() && !isBeingDismissed()) dismissViewControllerAnimated(animated);
}

void UISystemPickerViewController::fail(const std::string& why) {
  NSLog("UISystemPicker: the picker could not be shown: " + why);
  dismissIfPresented(false);
  if (failureHandler_) failureHandler_(why);
}
