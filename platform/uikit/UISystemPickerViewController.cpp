#include "UISystemPickerViewController.h"

#include <algorithm>

#include "UIColor.h"
#include "UIPanGestureRecognizer.h"
#include "UIPresentationController.h"
#include "UIViewAccessibility.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

namespace {
// How long a sheet that was not dragged far enough takes to settle back.
constexpr double kSettleBackSeconds = 0.25;
}  // namespace

bool UISystemPickerViewController::isAvailable() {
  return UISystemPickerProvider::current()->canPresent();
}

std::string UISystemPickerViewController::unavailableReason() {
  return UISystemPickerProvider::current()->whyUnavailable();
}

void UISystemPickerViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  // What stands on screen while the system picker runs: a sheet named after
  // the picker, so whoever looks at the view tree sees which one is up.
  view()->setBackgroundColor(UIColor::lightGrayColor());
  UIViewSetAccessibilityIdentifier(*view(), className());
  UIViewSetAccessibilityLabel(*view(), std::string("System picker"));
  auto pan = std::make_shared<UIPanGestureRecognizer>();
  pan->setMaximumNumberOfTouches(1);
  pan->addTarget(SharedFromThis(this),
                 WeakBind(WeakFromThis(this), [](UISystemPickerViewController& self,
                                                 UIGestureRecognizer& g) { self.dragged(g); }));
  view()->addGestureRecognizer(pan);
}

void UISystemPickerViewController::dragged(UIGestureRecognizer& gesture) {
  auto* pan = dynamic_cast<UIPanGestureRecognizer*>(&gesture);
  auto sheet = view();
  auto container = sheet->superview();
  if (!pan || !container) return;
  const double down = std::max(0.0, pan->translationInView(container.get()).y);
  switch (gesture.state()) {
    case UIGestureRecognizerState::Began:
    case UIGestureRecognizerState::Changed:
      // The sheet follows the finger down, never up.
      sheet->setTransform(CGAffineTransformMakeTranslation(0, down));
      return;
    case UIGestureRecognizerState::Ended: {
      const double speed = pan->velocityInView(container.get()).y;
      const bool far = down >= sheet->bounds().size.height * kDismissShare;
      const bool flicked = down > 0 && speed >= kDismissVelocity;
      if (far || flicked) {
        sheet->setTransform(CGAffineTransformIdentity);
        if (presentationController()->dismissByUser()) return;
      }
      break;
    }
    case UIGestureRecognizerState::Cancelled:
      break;
    default:
      return;
  }
  UIView::animateWithDuration(kSettleBackSeconds,
                              [sheet] { sheet->setTransform(CGAffineTransformIdentity); });
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
        if (answer.kind == UISystemPickerAnswer::Kind::Picked && self->answerCheck_) {
          if (auto why = self->answerCheck_(answer.paths)) return self->fail(*why);
        }
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

void UISystemPickerViewController::fail(const std::string& why, bool alreadyLogged) {
  if (!alreadyLogged) NSLog("UISystemPicker: the pick failed: " + why);
  dismissIfPresented(false);
  if (failureHandler_) failureHandler_(why);
}

void UISystemPickerViewController::prepareOffMain(dispatch_block_t work,
                                                  UniqueFunction<void(bool stillShown)> done) {
  QX_DCHECK_MAIN_THREAD();
  auto weak = WeakFromThis(this);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::UserInitiated),
                 [weak, work = std::move(work), done = std::move(done)]() mutable {
                   work();
                   NSRunLoop::mainRunLoop().perform([weak, done = std::move(done)]() mutable {
                     auto self = weak.lock();
                     const bool shown =
                         self && self->presentingViewController() && !self->isBeingDismissed();
                     done(shown);
                   });
                 });
}
