#pragma once

// What the system pickers share: a controller that, once on screen, asks the
// picker provider (UISystemPicker.h) for the user's choice and hands the
// answer to the concrete picker. Dismissing the picker before the answer
// cancels the pick, so no answer reaches anyone after that.
//
// A picker that the provider could not show (no provider, the program
// failed) dismisses itself and runs its failure handler, a hook of this
// stand-in: on the platform such a picker never appears, and its delegate
// hears nothing.

#include <functional>
#include <memory>
#include <string>

#include "UISystemPicker.h"
#include "UIViewController.h"

class UISystemPickerViewController : public UIViewController {
 public:
  // False when no system picker can be shown at all.
  static bool isAvailable();

  using FailureHandler = std::function<void(const std::string& why)>;
  const FailureHandler& failureHandler() const { return failureHandler_; }
  void setFailureHandler(FailureHandler handler) { failureHandler_ = std::move(handler); }

  // The request the picker sends when it appears.
  virtual UISystemPickerRequest pickerRequest() const = 0;

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void viewDidDisappear(bool animated) override;

 protected:
  // The user picked or cancelled; runs on the main thread, once.
  virtual void pickerDidAnswer(UISystemPickerAnswer answer) = 0;
  // Dismisses the picker when it is still presented.
  void dismissIfPresented(bool animated);

 private:
  void fail(const std::string& why);

  FailureHandler failureHandler_;
  bool asked_ = false;
  bool pending_ = false;  // asked and not yet answered or cancelled
  UISystemPickerCancel cancel_;
};
