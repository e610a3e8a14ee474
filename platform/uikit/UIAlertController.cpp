#include "UIAlertController.h"

#include <algorithm>

#include "UIButton.h"
#include "UIFont.h"
#include "UILabel.h"
#include "NSLayoutConstraint.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/WeakSelf.h"
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

// --- Drawing ---

namespace {

constexpr double kAlertWidth = 270;
constexpr double kAlertButtonHeight = 44;
constexpr double kSheetButtonHeight = 57;
constexpr double kSheetMargin = 8;
constexpr double kCornerRadius = 13;
constexpr double kTextInset = 16;

UIColorPtr boxColor() { return UIColor::colorWithWhite(0.97, 1); }
UIColorPtr lineColor() { return UIColor::colorWithWhite(0.8, 1); }

// A full-width button for an action: blue, red when destructive, bold when
// cancelling or preferred; grey behind it while pressed.
class ActionButton final : public UIButton {
 public:
  void setHighlighted(bool on) override {
    UIButton::setHighlighted(on);
    setBackgroundColor(on ? UIColor::colorWithWhite(0.85, 1) : nullptr);
  }
};

std::shared_ptr<UILabel> textLabel(const std::string& text, UIFontPtr font, UIColorPtr color) {
  auto label = std::make_shared<UILabel>();
  label->setText(text);
  label->setFont(std::move(font));
  label->setTextColor(std::move(color));
  label->setTextAlignment(NSTextAlignmentCenter);
  label->setNumberOfLines(0);
  return label;
}

}  // namespace

class UIAlertView final : public UIView {
 public:
  explicit UIAlertView(std::weak_ptr<UIAlertController> owner) : weakOwner_(std::move(owner)) {}

  void layoutSubviews() override {
    UIView::layoutSubviews();
    withOwner([&] { place(); });
  }

  std::shared_ptr<UIView> buttonFor(const UIAlertAction* action) const {
    for (auto& [a, b] : buttons_) {
      if (a == action) return b;
    }
    return nullptr;
  }

  CGRect frameIn(const CGRect& b, const UIEdgeInsets& safe) {
    CGRect frame = b;
    withOwner([&] {
      if (!isSheet()) {
        double h = pinnedHeight().value_or(contentHeight(kAlertWidth, false));
        frame = CGRectMake((b.size.width - kAlertWidth) / 2, (b.size.height - h) / 2, kAlertWidth, h);
        return;
      }
      double width = std::min(b.size.width - safe.left - safe.right, 414.0) - 2 * kSheetMargin;
      double bottom = b.size.height - std::max(safe.bottom, kSheetMargin);
      double h = contentHeight(width, true) + (cancelBox_ ? kSheetButtonHeight + kSheetMargin : 0);
      frame = CGRectMake((b.size.width - width) / 2, bottom - h, width, h);
    });
    return frame;
  }

 private:
  template <typename F>
  void withOwner(F f) {
    auto owner = weakOwner_.lock();
    if (!owner) return;
    owner_ = owner.get();
    if (!built_) build();
    f();
    owner_ = nullptr;
  }

  bool isSheet() const { return owner_->preferredStyle() == UIAlertControllerStyle::ActionSheet; }
  // A popover on the pad shows the box alone, filling the popover.
  bool inPopover() const {
    return owner_->modalPresentationStyle() == UIModalPresentationStyle::Popover &&
           bounds().size.width < 500 && owner_->popoverPresentationController() &&
           owner_->popoverPresentationController()->adaptivePresentationStyle() !=
               UIModalPresentationStyle::OverFullScreen;
  }

  // The height an app pinned the alert to with a constraint on its view.
  std::optional<double> pinnedHeight() const {
    std::optional<double> height;
    UILayoutPriority best = 0;
    for (auto& c : constraints()) {
      if (!c->isActive() || c->firstView().get() != this || c->secondView() ||
          c->firstAttribute() != NSLayoutAttributeHeight || c->relation() != NSLayoutRelationEqual ||
          c->priority() <= best) {
        continue;
      }
      best = c->priority();
      height = c->constant();
    }
    return height;
  }

  void build() {
    built_ = true;
    // The box goes under whatever the app added to the view.
    box_ = std::make_shared<UIView>();
    box_->setBackgroundColor(boxColor());
    box_->layer()->setCornerRadius(kCornerRadius);
    box_->setClipsToBounds(true);
    insertSubviewAtIndex(box_, 0);
    bool sheet = isSheet();
    if (owner_->alertTitle() && !owner_->alertTitle()->empty()) {
      title_ = textLabel(*owner_->alertTitle(),
                         sheet ? UIFont::boldSystemFontOfSize(13) : UIFont::boldSystemFontOfSize(17),
                         sheet ? UIColor::grayColor() : UIColor::blackColor());
      box_->addSubview(title_);
    }
    if (owner_->message() && !owner_->message()->empty()) {
      message_ = textLabel(*owner_->message(), UIFont::systemFontOfSize(13),
                           sheet ? UIColor::grayColor() : UIColor::blackColor());
      box_->addSubview(message_);
    }
    for (auto& action : owner_->actions()) {
      auto button = std::make_shared<ActionButton>();
      button->setTitle(action->title(), UIControlStateNormal);
      bool bold = action->style() == UIAlertActionStyle::Cancel || action == owner_->preferred_;
      button->titleLabel()->setFont(bold ? UIFont::boldSystemFontOfSize(sheet ? 20 : 17)
                                         : UIFont::systemFontOfSize(sheet ? 20 : 17));
      UIColorPtr color = action->style() == UIAlertActionStyle::Destructive
                             ? UIColor::colorWithRed(1, 0.23, 0.19, 1)
                             : UIColor::systemBlueColor();
      button->setTitleColor(action->isEnabled() ? color : UIColor::grayColor(),
                            UIControlStateNormal);
      button->setEnabled(action->isEnabled());
      std::weak_ptr<UIAlertAction> weak = action;
      button->addTarget(
          button,
          [owner = weakOwner_, weak](UIControl&, UIEvent*) {
            auto alert = owner.lock();
            if (auto a = weak.lock(); alert && a) alert->tapAction(a);
          },
          UIControlEventTouchUpInside);
      bool separateCancel = sheet && action->style() == UIAlertActionStyle::Cancel && !inPopover();
      if (separateCancel) {
        cancelBox_ = std::make_shared<UIView>();
        cancelBox_->setBackgroundColor(UIColor::whiteColor());
        cancelBox_->layer()->setCornerRadius(kCornerRadius);
        cancelBox_->setClipsToBounds(true);
        cancelBox_->addSubview(button);
        insertSubviewAtIndex(cancelBox_, 1);
      } else {
        box_->addSubview(button);
      }
      buttons_.emplace_back(action.get(), button);
    }
  }

  double contentHeight(double width, bool sheet) {
    for (auto& l : lines_) l->removeFromSuperview();
    return placeContent(width, sheet);
  }

  // Lays the header and the buttons out in the box `width` wide from y = 0;
  // returns the height used.
  double placeContent(double width, bool sheet) {
    double y = 0;
    bool header = title_ || message_;
    if (header) y += sheet ? 14 : 20;
    for (auto* label : {title_.get(), message_.get()}) {
      if (!label) continue;
      CGSize size = label->sizeThatFits(CGSizeMake(width - 2 * kTextInset, 1e6));
      label->setFrame(CGRectMake(kTextInset, y, width - 2 * kTextInset, size.height));
      y += size.height + 4;
    }
    if (header) y += sheet ? 10 : 16;
    std::vector<std::shared_ptr<UIView>> inBox;
    for (auto& [action, button] : buttons_) {
      if (button->superview() == box_) inBox.push_back(button);
    }
    double height = sheet ? kSheetButtonHeight : kAlertButtonHeight;
    double line = 1.0 / std::max(1.0, contentScaleFactor());
    lines_.clear();
    auto addLine = [&](CGRect frame) {
      auto l = std::make_shared<UIView>(frame);
      l->setBackgroundColor(lineColor());
      box_->addSubview(l);
      lines_.push_back(l);
    };
    if (!sheet && inBox.size() == 2) {
      // Two actions sit side by side.
      if (header || y > 0) addLine(CGRectMake(0, y, width, line));
      inBox[0]->setFrame(CGRectMake(0, y, width / 2, height));
      inBox[1]->setFrame(CGRectMake(width / 2, y, width / 2, height));
      addLine(CGRectMake(width / 2, y, line, height));
      return y + height;
    }
    for (size_t i = 0; i < inBox.size(); ++i) {
      if (header || i > 0) addLine(CGRectMake(0, y, width, line));
      inBox[i]->setFrame(CGRectMake(0, y, width, height));
      y += height;
    }
    return y;
  }

  void place() {
    CGRect b = bounds();
    bool sheet = isSheet();
    if (inPopover()) {
      box_->layer()->setCornerRadius(0);
      double h = contentHeight(b.size.width, sheet);
      box_->setFrame(CGRectMake(0, 0, b.size.width, std::max(h, b.size.height)));
      return;
    }
    contentHeight(b.size.width, sheet);
    double boxHeight = b.size.height;
    if (cancelBox_) {
      cancelBox_->setFrame(CGRectMake(0, b.size.height - kSheetButtonHeight, b.size.width,
                                      kSheetButtonHeight));
      cancelBox_->subviews().front()->setFrame(CGRectMake(0, 0, b.size.width, kSheetButtonHeight));
      boxHeight -= kSheetButtonHeight + kSheetMargin;
    }
    box_->setFrame(CGRectMake(0, 0, b.size.width, std::max(0.0, boxHeight)));
  }

  std::weak_ptr<UIAlertController> weakOwner_;
  UIAlertController* owner_ = nullptr;  // while laying out
  bool built_ = false;
  std::shared_ptr<UIView> box_, cancelBox_;
  std::shared_ptr<UILabel> title_, message_;
  std::vector<std::pair<const UIAlertAction*, std::shared_ptr<UIView>>> buttons_;
  std::vector<std::shared_ptr<UIView>> lines_;
};

void UIAlertController::loadView() {
  auto view = std::make_shared<UIAlertView>(
      std::static_pointer_cast<UIAlertController>(self()));
  view->setBackgroundColor(UIColor::clearColor());
  setView(view);
}

CGRect UIAlertController::frameInContainer(const CGRect& bounds, const UIEdgeInsets& safe) {
  auto view = std::dynamic_pointer_cast<UIAlertView>(this->view());
  return view ? view->frameIn(bounds, safe) : bounds;
}

std::shared_ptr<UIView> UIAlertController::viewForAction(
    const std::shared_ptr<UIAlertAction>& action) {
  auto view = std::dynamic_pointer_cast<UIAlertView>(this->view());
  if (!view || !action) return nullptr;
  view->layoutIfNeeded();
  return view->buttonFor(action.get());
}
