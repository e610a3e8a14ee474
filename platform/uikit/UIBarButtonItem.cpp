#include "UIBarButtonItem.h"

#include "platform/foundation/ThreadChecks.h"

namespace {
std::shared_ptr<UIBarButtonItem> made(const std::shared_ptr<NSObject>& target,
                                      UIBarButtonItem::Action action) {
  auto item = std::make_shared<UIBarButtonItem>();
  item->setTarget(target, std::move(action));
  return item;
}
}  // namespace

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::itemWithTitle(
    std::string title, UIBarButtonItemStyle style, const std::shared_ptr<NSObject>& target,
    Action action) {
  auto item = made(target, std::move(action));
  item->title_ = std::move(title);
  item->style_ = style;
  return item;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::itemWithImage(
    std::shared_ptr<UIImage> image, UIBarButtonItemStyle style,
    const std::shared_ptr<NSObject>& target, Action action) {
  auto item = made(target, std::move(action));
  item->image_ = std::move(image);
  item->style_ = style;
  return item;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::itemWithBarButtonSystemItem(
    UIBarButtonSystemItem system, const std::shared_ptr<NSObject>& target, Action action) {
  auto item = made(target, std::move(action));
  item->systemItem_ = system;
  if (system == UIBarButtonSystemItem::Done) item->style_ = UIBarButtonItemStyle::Done;
  return item;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::itemWithCustomView(std::shared_ptr<UIView> view) {
  auto item = std::make_shared<UIBarButtonItem>();
  item->customView_ = std::move(view);
  return item;
}

void UIBarButtonItem::setTarget(const std::shared_ptr<NSObject>& target, Action action) {
  QX_DCHECK_MAIN_THREAD();
  target_ = target;
  action_ = std::move(action);
}

bool UIBarButtonItem::trigger() {
  QX_DCHECK_MAIN_THREAD();
  if (!enabled_ || !action_) return false;
  auto target = target_.lock();
  if (!target) return false;
  auto keepAlive = shared_from_this();
  auto action = action_;
  action(*this);
  return true;
}
