#include "UINavigationBar.h"

#include <algorithm>

#include "NSAttributedString.h"
#include "UIBarLook.h"
#include "UIButton.h"
#include "UIFont.h"
#include "UIImage.h"
#include "UIImageSymbolConfiguration.h"
#include "UILabel.h"
#include "UIScreen.h"
#include "UIViewController.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

namespace {

// The look of a bar with no bar tint: near-white, a little see-through when
// translucent, over a hairline.
UIColorPtr barBackground(const UIColorPtr& tint, bool translucent) {
  UIColorPtr base = tint ? tint : UIColor::colorWithWhite(0.97, 1);
  return translucent ? base->colorWithAlphaComponent(base->alpha() * 0.94) : base;
}

UIColorPtr hairlineColor() { return UIColor::colorWithWhite(0, 0.3); }

std::string systemItemTitle(UIBarButtonSystemItem item) {
  switch (item) {
    case UIBarButtonSystemItem::Done: return "Done";
    case UIBarButtonSystemItem::Cancel: return "Cancel";
    case UIBarButtonSystemItem::Edit: return "Edit";
    case UIBarButtonSystemItem::Save: return "Save";
    case UIBarButtonSystemItem::Add: return "+";
    case UIBarButtonSystemItem::Undo: return "Undo";
    case UIBarButtonSystemItem::Redo: return "Redo";
    case UIBarButtonSystemItem::Search: return "Search";
    case UIBarButtonSystemItem::Refresh: return "Refresh";
    case UIBarButtonSystemItem::Trash: return "Delete";
    case UIBarButtonSystemItem::Reply: return "Reply";
    default: return "";
  }
}

// The symbol a system item shows instead of a title, when it has one.
std::string systemItemSymbol(UIBarButtonSystemItem item) {
  switch (item) {
    case UIBarButtonSystemItem::Stop:
    case UIBarButtonSystemItem::Close: return "xmark";
    case UIBarButtonSystemItem::Refresh: return "arrow.counterclockwise";
    default: return "";
  }
}

bool isSpace(const UIBarButtonItem& item) {
  return item.systemItem() == UIBarButtonSystemItem::FlexibleSpace ||
         item.systemItem() == UIBarButtonSystemItem::FixedSpace;
}

// A system button showing a plain item and triggering it when tapped.
std::shared_ptr<UIView> buttonForItem(const std::shared_ptr<UIBarButtonItem>& item) {
  auto button = UIButton::buttonWithType(UIButtonType::System);
  bool bold = item->style() == UIBarButtonItemStyle::Done;
  button->titleLabel()->setFont(bold ? UIFont::boldSystemFontOfSize(17)
                                     : UIFont::systemFontOfSize(17));
  std::shared_ptr<UIImage> image = item->image();
  std::string title = item->title();
  if (auto system = item->systemItem()) {
    if (auto symbol = systemItemSymbol(*system); !symbol.empty()) {
      image = UIImage::systemImageNamed(
          symbol, UIImageSymbolConfiguration::configurationWithPointSize(17));
    } else if (title.empty()) {
      title = systemItemTitle(*system);
    }
  }
  if (image) {
    button->setImage(image, UIControlStateNormal);
  } else {
    button->setTitle(title, UIControlStateNormal);
  }
  if (auto tint = item->tintColor()) button->setTintColor(tint);
  button->setEnabled(item->isEnabled());
  std::weak_ptr<UIBarButtonItem> weak = item;
  button->addTarget(
      item,
      [weak](UIControl&, UIEvent*) {
        if (auto alive = weak.lock()) alive->trigger();
      },
      UIControlEventTouchUpInside);
  CGSize size = button->sizeThatFits(CGSizeZero);
  double width = item->width() > 0 ? item->width() : std::max(size.width, 24.0);
  button->setFrame(CGRectMake(0, 0, width, UINavigationBar::kHeight));
  return button;
}

// The view a bar shows for an item: its custom view, an empty view for a
// space, else a button.
std::shared_ptr<UIView> viewForItem(const std::shared_ptr<UIBarButtonItem>& item) {
  if (auto custom = item->customView()) {
    if (custom->bounds().size == CGSizeZero) custom->sizeToFit();
    return custom;
  }
  if (isSpace(*item)) return std::make_shared<UIView>(CGRectMake(0, 0, item->width(), 0));
  return buttonForItem(item);
}

// Centres `view` vertically in a bar `height` high, at x, keeping its size
// (up to the bar's height).
void placeInBar(UIView& view, double x, double height) {
  CGSize size = view.bounds().size;
  size.height = std::min(size.height, height);
  view.setFrame(CGRectMake(x, (height - size.height) / 2, size.width, size.height));
}

double hairlineWidth() { return 1.0 / std::max(1.0, UIScreen::mainScreen()->scale()); }

}  // namespace

std::shared_ptr<UIBarButtonItem> UINavigationItem::leftBarButtonItem() const {
  return left_.empty() ? nullptr : left_.front();
}

void UINavigationItem::setLeftBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
  QX_DCHECK_MAIN_THREAD();
  left_.clear();
  if (item) left_.push_back(std::move(item));
  changed();
}

std::shared_ptr<UIBarButtonItem> UINavigationItem::rightBarButtonItem() const {
  return right_.empty() ? nullptr : right_.front();
}

void UINavigationItem::setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
  QX_DCHECK_MAIN_THREAD();
  right_.clear();
  if (item) right_.push_back(std::move(item));
  changed();
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

UINavigationBar::UINavigationBar(const CGRect& frame)
    : UIView(frame),
      background_(std::make_shared<UIView>()),
      hairline_(std::make_shared<UIView>()),
      titleLabel_(std::make_shared<UILabel>()) {
  titleLabel_->setTextAlignment(NSTextAlignmentCenter);
  titleLabel_->setLineBreakMode(NSLineBreakByTruncatingTail);
  background_->setUserInteractionEnabled(false);
  addSubview(background_);
  addSubview(hairline_);
  addSubview(titleLabel_);
  takeAppearance();
  applyLook();
}

void UINavigationBar::takeAppearance() {
  const UIBarLook& look = appearance();
  if (look.tintColor) setTintColor(*look.tintColor);
  if (look.barTintColor) barTintColor_ = *look.barTintColor;
  if (look.translucent) translucent_ = *look.translucent;
  if (look.titleTextAttributes) {
    titleTextAttributes_ = std::make_shared<const NSAttributeDictionary>(*look.titleTextAttributes);
  }
}

void UINavigationBar::applyLook() {
  background_->setBackgroundColor(barBackground(barTintColor_, translucent_));
  hairline_->setBackgroundColor(hairlineColor());
  UIFontPtr font = UIFont::boldSystemFontOfSize(17);
  UIColorPtr color = UIColor::blackColor();
  const NSAttributeDictionary& attributes = titleTextAttributes();
  if (auto it = attributes.find(NSFontAttributeName); it != attributes.end()) {
    if (auto f = std::dynamic_pointer_cast<UIFont>(it->second.asObject())) font = f;
  }
  if (auto it = attributes.find(NSForegroundColorAttributeName); it != attributes.end()) {
    if (auto c = std::dynamic_pointer_cast<UIColor>(it->second.asObject())) color = c;
  }
  titleLabel_->setFont(font);
  titleLabel_->setTextColor(color);
  setNeedsLayout();
}

void UINavigationBar::styleTitleLabel(UILabel& label) const {
  label.setTextAlignment(NSTextAlignmentCenter);
  label.setLineBreakMode(NSLineBreakByTruncatingTail);
  label.setFont(titleLabel_->font());
  label.setTextColor(titleLabel_->textColor());
}

std::shared_ptr<UINavigationItem> UINavigationBar::topItem() const {
  return items_.empty() ? nullptr : items_.back();
}

std::shared_ptr<UINavigationItem> UINavigationBar::backItem() const {
  return items_.size() < 2 ? nullptr : items_[items_.size() - 2];
}

void UINavigationBar::itemsChanged() {
  for (auto& item : items_) {
    item->onChange_ = WeakBind(WeakFromThis(this), [](UINavigationBar& bar) {
      bar.itemsDirty_ = true;
      bar.setNeedsLayout();
    });
  }
  itemsDirty_ = true;
  setNeedsLayout();
}

void UINavigationBar::setItems(std::vector<std::shared_ptr<UINavigationItem>> items,
                               bool animated) {
  QX_DCHECK_MAIN_THREAD();
  const auto before = topItem();
  if (animated) finishFade();
  // What shows now, before the new items are built.
  auto shown = itemViews();
  items_ = std::move(items);
  itemsChanged();
  if (animated && before != topItem()) fadeToNewItems(std::move(shown));
}

std::vector<std::shared_ptr<UIView>> UINavigationBar::itemViews() const {
  std::vector<std::shared_ptr<UIView>> views{titleLabel_};
  if (titleView_) views.push_back(titleView_);
  if (backButton_) views.push_back(backButton_);
  views.insert(views.end(), leftViews_.begin(), leftViews_.end());
  views.insert(views.end(), rightViews_.begin(), rightViews_.end());
  return views;
}

void UINavigationBar::fadeToNewItems(std::vector<std::shared_ptr<UIView>> old) {
  // The old views stay where they are while they fade; the old title keeps
  // its label and a new label takes the new title.
  auto label = std::make_shared<UILabel>();
  styleTitleLabel(*label);
  insertSubviewAboveSubview(label, titleLabel_.get());
  titleLabel_ = label;
  leftViews_.clear();
  rightViews_.clear();
  leftItems_.clear();
  rightItems_.clear();
  titleView_.reset();
  backButton_.reset();
  itemsDirty_ = true;
  rebuildItemViews();
  layoutIfNeeded();
  auto fresh = itemViews();
  std::vector<double> shownAlpha;
  for (auto& v : fresh) shownAlpha.push_back(v->alpha());
  for (auto& v : old) {
    // A custom view that both items show stays as it is.
    if (std::find(fresh.begin(), fresh.end(), v) != fresh.end()) continue;
    fading_.push_back(v);
    fadingAlpha_.push_back(v->alpha());
  }
  for (auto& v : fresh) {
    if (std::find(old.begin(), old.end(), v) == old.end()) appearing_.push_back(v);
  }
  UIView::performWithoutAnimation([&] {
    for (auto& v : appearing_) v->setAlpha(0);
  });
  auto fading = fading_;
  auto appearing = appearing_;
  UIView::animateWithDuration(
      UIViewController::kTransitionDuration,
      [&] {
        for (auto& v : fading) v->setAlpha(0);
        for (size_t i = 0; i < fresh.size(); ++i) {
          if (std::find(appearing.begin(), appearing.end(), fresh[i]) != appearing.end()) {
            fresh[i]->setAlpha(shownAlpha[i]);
          }
        }
      },
      WeakBind(WeakFromThis(this), [fading](UINavigationBar& bar, bool) {
        // Only the fade that is still under way ends here.
        if (bar.fading_ == fading) bar.finishFade();
      }));
}

void UINavigationBar::finishFade() {
  for (auto& v : appearing_) v->layer()->removeAllAnimations();
  for (size_t i = 0; i < fading_.size(); ++i) {
    auto& v = fading_[i];
    v->layer()->removeAllAnimations();
    // Views the bar shows again (a custom view the next item shows too)
    // stay.
    auto now = itemViews();
    if (std::find(now.begin(), now.end(), v) == now.end() && v->superview().get() == this) {
      v->removeFromSuperview();
    }
    UIView::performWithoutAnimation([&] { v->setAlpha(fadingAlpha_[i]); });
  }
  fading_.clear();
  fadingAlpha_.clear();
  appearing_.clear();
}

void UINavigationBar::setBarTintColor(UIColorPtr c) {
  QX_DCHECK_MAIN_THREAD();
  barTintColor_ = std::move(c);
  applyLook();
}

void UINavigationBar::setTranslucent(bool on) {
  QX_DCHECK_MAIN_THREAD();
  translucent_ = on;
  applyLook();
}

const NSAttributeDictionary& UINavigationBar::titleTextAttributes() const {
  static const NSAttributeDictionary none;
  return titleTextAttributes_ ? *titleTextAttributes_ : none;
}

void UINavigationBar::setTitleTextAttributes(NSAttributeDictionary a) {
  QX_DCHECK_MAIN_THREAD();
  titleTextAttributes_ = std::make_shared<const NSAttributeDictionary>(std::move(a));
  applyLook();
}

void UINavigationBar::pushNavigationItem(std::shared_ptr<UINavigationItem> item, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  if (!item) return;
  auto items = items_;
  items.push_back(std::move(item));
  setItems(std::move(items), animated);
}

std::shared_ptr<UINavigationItem> UINavigationBar::popNavigationItem(bool animated) {
  QX_DCHECK_MAIN_THREAD();
  if (items_.empty()) return nullptr;
  auto top = items_.back();
  auto items = items_;
  items.pop_back();
  top->onChange_ = nullptr;
  setItems(std::move(items), animated);
  return top;
}

void UINavigationBar::barButtonItemChanged(const UIBarButtonItem* item) {
  changedItems_.push_back(item);
  itemsChanged();
}

std::shared_ptr<UIView> UINavigationBar::reuseOrMakeView(
    const std::shared_ptr<UIBarButtonItem>& item,
    std::vector<std::pair<std::shared_ptr<UIBarButtonItem>, std::shared_ptr<UIView>>>& made) {
  item->onChange_ = [weak = WeakFromThis(this), changed = item.get()] {
    if (auto bar = weak.lock()) bar->barButtonItemChanged(changed);
  };
  auto it = std::find_if(made.begin(), made.end(), [&](const auto& m) { return m.first == item; });
  if (it == made.end()) return viewForItem(item);
  auto view = std::move(it->second);
  made.erase(it);
  return view;
}

void UINavigationBar::rebuildBackButton() {
  auto top = topItem();
  auto back = backItem();
  std::string title;
  if (back && top && leftViews_.empty() && !top->hidesBackButton()) {
    title = back->backBarButtonItem() ? back->backBarButtonItem()->title() : back->title();
    if (title.empty() || title.size() > 12) title = "Back";
  }
  if (backButton_ && title == backTitle_) return;
  if (backButton_) backButton_->removeFromSuperview();
  backButton_.reset();
  backTitle_ = title;
  if (title.empty()) return;
  backButton_ = UIButton::buttonWithType(UIButtonType::System);
  backButton_->setImage(
      UIImage::systemImageNamed("chevron.left",
                                UIImageSymbolConfiguration::configurationWithPointSize(17)),
      UIControlStateNormal);
  backButton_->setTitle(" " + title, UIControlStateNormal);
  backButton_->titleLabel()->setFont(UIFont::systemFontOfSize(17));
  backButton_->addTarget(
      backButton_,
      [weak = WeakFromThis(this)](UIControl&, UIEvent*) {
        auto bar = weak.lock();
        if (bar && bar->backAction_) bar->backAction_();
      },
      UIControlEventTouchUpInside);
  CGSize size = backButton_->sizeThatFits(CGSizeZero);
  backButton_->setFrame(CGRectMake(0, 0, size.width, kHeight));
  addSubview(backButton_);
}

void UINavigationBar::rebuildItemViews() {
  itemsDirty_ = false;
  auto top = topItem();
  // The views made before for items that have not changed since.
  std::vector<std::pair<std::shared_ptr<UIBarButtonItem>, std::shared_ptr<UIView>>> made;
  auto keep = [&](const auto& items, const auto& views) {
    for (size_t i = 0; i < items.size() && i < views.size(); ++i) {
      if (std::find(changedItems_.begin(), changedItems_.end(), items[i].get()) ==
          changedItems_.end()) {
        made.emplace_back(items[i], views[i]);
      }
    }
  };
  keep(leftItems_, leftViews_);
  keep(rightItems_, rightViews_);
  changedItems_.clear();
  auto before = itemViews();
  leftViews_.clear();
  rightViews_.clear();
  leftItems_.clear();
  rightItems_.clear();
  if (top) {
    for (auto& item : top->leftBarButtonItems()) {
      leftViews_.push_back(reuseOrMakeView(item, made));
      leftItems_.push_back(item);
    }
    for (auto& item : top->rightBarButtonItems()) {
      rightViews_.push_back(reuseOrMakeView(item, made));
      rightItems_.push_back(item);
    }
  }
  rebuildBackButton();
  titleView_ = top ? top->titleView() : nullptr;
  // Views no longer shown go; those the bar shows from now on join it.
  auto now = itemViews();
  for (auto& v : before) {
    if (std::find(now.begin(), now.end(), v) == now.end() && v->superview().get() == this) {
      v->removeFromSuperview();
    }
  }
  for (auto& v : leftViews_) {
    if (v->superview().get() != this) addSubview(v);
  }
  for (auto& v : rightViews_) {
    if (v->superview().get() != this) addSubview(v);
  }
  if (titleView_) {
    if (titleView_->bounds().size == CGSizeZero) titleView_->sizeToFit();
    if (titleView_->superview().get() != this) addSubview(titleView_);
  }
  titleLabel_->setText(titleView_ || !top ? "" : top->title());
  titleLabel_->setHidden(titleView_ != nullptr);
}

void UINavigationBar::layoutSubviews() {
  UIView::layoutSubviews();
  if (itemsDirty_) rebuildItemViews();
  CGRect b = bounds();
  // Up under the status bar, to the top of the bar's superview.
  double above = std::max(0.0, frame().origin.y);
  background_->setFrame(CGRectMake(0, -above, b.size.width, b.size.height + above));
  hairline_->setFrame(CGRectMake(0, b.size.height, b.size.width, hairlineWidth()));
  double left = kEdgeMargin;
  if (backButton_) {
    placeInBar(*backButton_, kEdgeMargin / 2, b.size.height);
    left = CGRectGetMaxX(backButton_->frame()) + kItemSpacing;
  }
  for (auto& v : leftViews_) {
    placeInBar(*v, left, b.size.height);
    left += v->bounds().size.width + kItemSpacing;
  }
  double right = b.size.width - kEdgeMargin;
  for (auto& v : rightViews_) {
    right -= v->bounds().size.width;
    placeInBar(*v, right, b.size.height);
    right -= kItemSpacing;
  }
  // The title sits in the middle of the bar when the items leave room,
  // else in the middle of the room they leave.
  UIView* middle = titleView_ ? titleView_.get() : titleLabel_.get();
  CGSize wanted = titleView_ ? titleView_->bounds().size : titleLabel_->sizeThatFits(CGSizeZero);
  double room = std::max(0.0, right - left);
  double width = std::min(wanted.width, room);
  double x = (b.size.width - width) / 2;
  x = std::clamp(x, left, std::max(left, right - width));
  double height = std::min(wanted.height, b.size.height);
  middle->setFrame(CGRectMake(x, (b.size.height - height) / 2, width, height));
}

// Toolbar ------------------------------------------------------------------

UIToolbar::UIToolbar() : UIToolbar(CGRectZero) {}

UIToolbar::UIToolbar(const CGRect& frame)
    : UIView(frame), background_(std::make_shared<UIView>()), hairline_(std::make_shared<UIView>()) {
  background_->setUserInteractionEnabled(false);
  addSubview(background_);
  addSubview(hairline_);
  background_->setBackgroundColor(barBackground(nullptr, translucent_));
  hairline_->setBackgroundColor(hairlineColor());
}

void UIToolbar::itemsChanged() {
  itemsDirty_ = true;
  setNeedsLayout();
}

void UIToolbar::setItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool) {
  QX_DCHECK_MAIN_THREAD();
  items_ = std::move(items);
  for (auto& item : items_) {
    item->onChange_ = [weak = WeakFromThis(this)] {
      if (auto bar = weak.lock()) bar->itemsChanged();
    };
  }
  itemsChanged();
}

void UIToolbar::setBarTintColor(UIColorPtr c) {
  QX_DCHECK_MAIN_THREAD();
  barTintColor_ = std::move(c);
  background_->setBackgroundColor(barBackground(barTintColor_, translucent_));
}

void UIToolbar::setTranslucent(bool on) {
  QX_DCHECK_MAIN_THREAD();
  translucent_ = on;
  background_->setBackgroundColor(barBackground(barTintColor_, translucent_));
}

void UIToolbar::layoutSubviews() {
  UIView::layoutSubviews();
  if (itemsDirty_) {
    itemsDirty_ = false;
    for (auto& v : itemViews_) v->removeFromSuperview();
    itemViews_.clear();
    for (auto& item : items_) {
      itemViews_.push_back(viewForItem(item));
      addSubview(itemViews_.back());
    }
  }
  CGRect b = bounds();
  // Down under the home indicator, to the bottom of the superview.
  double below = 0;
  if (auto parent = superview()) {
    below = std::max(0.0, parent->bounds().size.height - CGRectGetMaxY(frame()));
  }
  background_->setFrame(CGRectMake(0, 0, b.size.width, b.size.height + below));
  hairline_->setFrame(CGRectMake(0, -hairlineWidth(), b.size.width, hairlineWidth()));
  // Neighbouring buttons keep kItemSpacing apart; spaces stand in for it.
  double fixed = 0;
  size_t flexible = 0;
  bool previous = false;
  for (size_t i = 0; i < items_.size(); ++i) {
    bool space = isSpace(*items_[i]);
    if (items_[i]->systemItem() == UIBarButtonSystemItem::FlexibleSpace) {
      ++flexible;
    } else {
      fixed += itemViews_[i]->bounds().size.width;
    }
    if (!space && previous) fixed += UINavigationBar::kItemSpacing;
    previous = !space;
  }
  double inner = b.size.width - 2 * UINavigationBar::kEdgeMargin;
  double share = flexible ? std::max(0.0, inner - fixed) / double(flexible) : 0;
  double x = UINavigationBar::kEdgeMargin;
  bool previousShown = false;
  for (size_t i = 0; i < items_.size(); ++i) {
    auto& v = itemViews_[i];
    bool space = isSpace(*items_[i]);
    if (!space && previousShown) x += UINavigationBar::kItemSpacing;
    if (items_[i]->systemItem() == UIBarButtonSystemItem::FlexibleSpace) {
      v->setFrame(CGRectMake(x, 0, share, 0));
      x += share;
    } else {
      placeInBar(*v, x, b.size.height);
      x += v->bounds().size.width;
    }
    previousShown = !space;
  }
}
