#pragma once

// The actions shown under a previewed controller (a peek). A person
// choosing one runs its handler with the action and the previewed
// controller.

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/NSObject.h"

class UIViewController;

enum class UIPreviewActionStyle { Default = 0, Selected = 1, Destructive = 2 };

class UIPreviewActionItem : public NSObject {
 public:
  virtual const std::string& title() const = 0;
};

class UIPreviewAction : public UIPreviewActionItem {
 public:
  using Handler = std::function<void(UIPreviewAction& action, UIViewController& previewed)>;

  static std::shared_ptr<UIPreviewAction> actionWithTitle(std::string title,
                                                          UIPreviewActionStyle style,
                                                          Handler handler);

  const std::string& title() const override { return title_; }
  UIPreviewActionStyle style() const { return style_; }
  // A person choosing the action under `previewed`.
  void perform(UIViewController& previewed);
  std::string className() const override { return "UIPreviewAction"; }

 private:
  std::string title_;
  UIPreviewActionStyle style_ = UIPreviewActionStyle::Default;
  Handler handler_;
};
