#include "UINavigationBar.h"

#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"

std::shared_ptr<UIBarButtonItem> UINavigationItem::leftBarButtonItem() const {
  return left_.empty() ? nullptr : left_.front();
}

void UINavigationItem::setLeftBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
  left_.clear();
  if (item) left_.push_back(std::move(item));
}

std::shared_ptr<UIBarButtonItem> UINavigationItem::rightBarButtonItem() const {
  return right_.empty() ? nullptr : right_.front();
}

void UINavigationItem::setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
  right_.clear();
  if (item) right_.push_back(std::move(item));
}

UIBarLook& UINavigationBar::appearance() {
  static UIBarLook* look = [] {
    auto* made = new UIBarLook();
    SingletonResets::add([made] { *made = UIBarLook(); });
    return made;
  }();
  return *look;
}

UINavigationBar::UINavigationBar() : UINavigationBar(CGRectZero) {}

UINavigationBar::UINavigationBar(const CGRect& frame) : UIView(frame) { takeAppearance(); }

void UINavigationBar::takeAppearance() {
  const UIBarLook& look = appearance();
  if (look.tintColor) setTintColor(*look.tintColor);
  if (look.barTintColor) barTintColor_ = *look.barTintColor;
  if (look.translucent) translucent_ = *look.translucent;
  if (look.titleTextAttributes) titleTextAttributes_ = *look.titleTextAttributes;
}

std::shared_ptr<UINavigationItem> UINavigationBar::topItem() const {
  return items_.empty() ? nullptr : items_.back();
}

std::shared_ptr<UINavigationItem> UINavigationBar::backItem() const {
  return items_.size() < 2 ? nullptr : items_[items_.size() - 2];
}

void UINavigationBar::setItems(std::vector<std::shared_ptr<UINavigationItem>> items) {
  QX_DCHECK_MAIN_THREAD();
  items_ = std::move(items);
}

void UINavigationBar::setBarTintColor(UIColorPtr c) {
  QX_DCHECK_MAIN_THREAD();
  barTintColor_ = std::move(c);
}

void UINavigationBar::setTranslucent(bool on) {
  QX_DCHECK_MAIN_THREAD();
  translucent_ = on;
}

void UINavigationBar::setTitleTextAttributes(std::map<std::string, Value> a) {
  QX_DCHECK_MAIN_THREAD();
  titleTextAttributes_ = std::move(a);
}

void UINavigationBar::pushNavigationItem(std::shared_ptr<UINavigationItem> item) {
  QX_DCHECK_MAIN_THREAD();
  if (item) items_.push_back(std::move(item));
}

std::shared_ptr<UINavigationItem> UINavigationBar::popNavigationItem() {
  QX_DCHECK_MAIN_THREAD();
  if (items_.empty()) return nullptr;
  auto top = items_.back();
  items_.pop_back();
  return top;
}

void UIToolbar::setItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool) {
  QX_DCHECK_MAIN_THREAD();
  items_ = std::move(items);
}
