#include "UIPreviewAction.h"

#include "platform/foundation/ThreadChecks.h"

std::shared_ptr<UIPreviewAction> UIPreviewAction::actionWithTitle(std::string title,
                                                                  UIPreviewActionStyle style,
                                                                  Handler handler) {
  auto action = std::make_shared<UIPreviewAction>();
  action->title_ = std::move(title);
  action->style_ = style;
  action->handler_ = std::move(handler);
  return action;
}

void UIPreviewAction::perform(UIViewController& previewed) {
  QX_DCHECK_MAIN_THREAD();
  auto keepAlive = shared_from_this();
  if (handler_) handler_(*this, previewed);
}
