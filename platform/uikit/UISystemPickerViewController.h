#pragma once

// What the system pickers share: a controller that, once on screen, asks the
// picker provider (UISystemPicker.h) for the user's choice and hands the
// answer to the concrete picker. Dismissing the picker before the answer
// cancels the pick, so no answer reaches anyone after that.
//
// On screen the picker is a sheet: dragging it down far enough (or flicking
// it down) dismisses it as a person dismisses the platform's sheets, through
// its presentation controller, whose delegate hears of it.
//
// A picker that the provider could not show (no provider, the program
// failed) dismisses itself and runs its failure handler, a hook of this
// stand-in: on the platform such a picker never appears, and its delegate
// hears nothing.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UISystemPicker.h"
#include "UIViewController.h"
#include "platform/foundation/Dispatch.h"

class UIGestureRecognizer;

class UISystemPickerViewController : public UIViewController {
 public:
  // How far down (a share of the sheet's height) or how fast (points per
  // second, downwards) a drag must end for the sheet to go.
  static constexpr double kDismissShare = 0.25;
  static constexpr double kDismissVelocity = 1000;

  // False when no system picker can be shown at all, and why.
  static bool isAvailable();
  static std::string unavailableReason();

  using FailureHandler = std::function<void(const std::string& why)>;
  const FailureHandler& failureHandler() const { return failureHandler_; }
  void setFailureHandler(FailureHandler handler) { failureHandler_ = std::move(handler); }

  // Looks at what the user picked before the picker hands it over (and so
  // before it copies anything): a reason fails the pick at once, as a failed
  // picker program does. A hook of this stand-in, like the failure handler:
  // a caller that would refuse the items anyway (too large for what it does
  // with them) spares the user the wait for their copies.
  using AnswerCheck =
      std::function<std::optional<std::string>(const std::vector<std::string>& paths)>;
  void setAnswerCheck(AnswerCheck check) { answerCheck_ = std::move(check); }

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
  // Dismisses the picker and runs the failure handler; `why` goes to the
  // log unless the picker logged it already.
  void fail(const std::string& why, bool alreadyLogged = false);
  // Runs `work` off the main thread (the copies a picker makes may take long
  // and may block), then `done` on the main thread, told whether the picker
  // is still there to hand the result over: a person may have dismissed it
  // in the meantime.
  void prepareOffMain(dispatch_block_t work, UniqueFunction<void(bool stillShown)> done);

 private:
  void dragged(UIGestureRecognizer& gesture);

  FailureHandler failureHandler_;
  AnswerCheck answerCheck_;
  bool asked_ = false;
  bool pending_ = false;  // asked and not yet answered or cancelled
  UISystemPickerCancel cancel_;
};
