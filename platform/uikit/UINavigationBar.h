#pragma once

// The bar at the top of a navigation controller: a stack of navigation items
// (title, title view, bar buttons, back button) and its look. Bars take the
// values set on UINavigationBar::appearance() when they are made, unless set
// on the bar itself.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NSTextTypes.h"
#include "UIBarButtonItem.h"
#include "UIView.h"
#include "platform/foundation/ThreadChecks.h"

class UINavigationItem : public NSObject {
 public:
  explicit UINavigationItem(std::string title = "") : title_(std::move(title)) {}

  const std::string& title() const { return title_; }
  // Setting what the item already holds changes nothing: the bar showing it
  // is not told.
  void setTitle(std::string t) {
    QX_DCHECK_MAIN_THREAD();
    if (t == title_) return;
    title_ = std::move(t);
    changed();
  }
  std::shared_ptr<UIView> titleView() const { return titleView_; }
  void setTitleView(std::shared_ptr<UIView> v) {
    QX_DCHECK_MAIN_THREAD();
    if (v == titleView_) return;
    titleView_ = std::move(v);
    changed();
  }
  const std::string& prompt() const { return prompt_; }
  void setPrompt(std::string p) {
    QX_DCHECK_MAIN_THREAD();
    prompt_ = std::move(p);
  }
  std::shared_ptr<UIBarButtonItem> leftBarButtonItem() const;
  void setLeftBarButtonItem(std::shared_ptr<UIBarButtonItem> item);
  const std::vector<std::shared_ptr<UIBarButtonItem>>& leftBarButtonItems() const { return left_; }
  void setLeftBarButtonItems(std::vector<std::shared_ptr<UIBarButtonItem>> items) {
    QX_DCHECK_MAIN_THREAD();
    left_ = std::move(items);
    changed();
  }
  std::shared_ptr<UIBarButtonItem> rightBarButtonItem() const;
  void setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item);
  const std::vector<std::shared_ptr<UIBarButtonItem>>& rightBarButtonItems() const {
    return right_;
  }
  void setRightBarButtonItems(std::vector<std::shared_ptr<UIBarButtonItem>> items) {
    QX_DCHECK_MAIN_THREAD();
    right_ = std::move(items);
    changed();
  }
  std::shared_ptr<UIBarButtonItem> backBarButtonItem() const { return back_; }
  void setBackBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
    QX_DCHECK_MAIN_THREAD();
    back_ = std::move(item);
    changed();
  }
  bool hidesBackButton() const { return hidesBackButton_; }
  void setHidesBackButton(bool on) {
    QX_DCHECK_MAIN_THREAD();
    hidesBackButton_ = on;
    changed();
  }

 private:
  friend class UINavigationBar;
  void changed() {
    if (onChange_) onChange_();
  }

  // The bar showing the item hears its changes.
  std::function<void()> onChange_;
  std::string title_;
  std::shared_ptr<UIView> titleView_;
  std::string prompt_;
  std::vector<std::shared_ptr<UIBarButtonItem>> left_;
  std::vector<std::shared_ptr<UIBarButtonItem>> right_;
  std::shared_ptr<UIBarButtonItem> back_;
  bool hidesBackButton_ = false;
};

struct UIBarLook;  // UIBarLook.h

class UILabel;
class UIButton;

class UINavigationBar : public UIView {
 public:
  static constexpr double kHeight = 44;
  // Space between the bar's edges and its outer items, and between items.
  static constexpr double kEdgeMargin = 16;
  static constexpr double kItemSpacing = 8;

  UINavigationBar();
  explicit UINavigationBar(const CGRect& frame);

  // The proxy: values set here reach every bar made afterwards.
  static UIBarLook& appearance();

  const std::vector<std::shared_ptr<UINavigationItem>>& items() const { return items_; }
  // Animated, the views of the old top item (title, title view, buttons)
  // fade out while the new one's fade in, over the navigation transition's
  // duration; otherwise they change at once.
  void setItems(std::vector<std::shared_ptr<UINavigationItem>> items, bool animated = false);
  std::shared_ptr<UINavigationItem> topItem() const;
  std::shared_ptr<UINavigationItem> backItem() const;
  void pushNavigationItem(std::shared_ptr<UINavigationItem> item, bool animated = false);
  std::shared_ptr<UINavigationItem> popNavigationItem(bool animated = false);

  UIColorPtr barTintColor() const { return barTintColor_; }
  void setBarTintColor(UIColorPtr c);
  bool isTranslucent() const { return translucent_; }
  void setTranslucent(bool on);
  // Empty unless set here or on the appearance proxy.
  const NSAttributeDictionary& titleTextAttributes() const;
  void setTitleTextAttributes(NSAttributeDictionary a);

  // The background reaches up under the status bar above the bar; the top
  // item's bar buttons sit at the edges (custom views as they are, the
  // others as buttons that trigger their items), its title view or title
  // in the middle.
  void layoutSubviews() override;
  // The views showing the top item, for hit-testing and for tests.
  const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
  const std::vector<std::shared_ptr<UIView>>& leftItemViews() const { return leftViews_; }
  const std::vector<std::shared_ptr<UIView>>& rightItemViews() const { return rightViews_; }
  // The back button, when the bar shows one.
  std::shared_ptr<UIButton> backButton() const { return backButton_; }
  // The old top item's views while they fade out.
  const std::vector<std::shared_ptr<UIView>>& fadingItemViews() const { return fading_; }
  std::string className() const override { return "UINavigationBar"; }

 private:
  friend class UINavigationController;
  void takeAppearance();
  void itemsChanged();
  // A bar button item the top item shows changed: its view is made anew.
  void barButtonItemChanged(const UIBarButtonItem* item);
  // Brings the views in line with the top item. The views of bar button
  // items that did not change, the back button while its title stays and
  // the title view while it is the same view are kept, as on the platform:
  // a finger on one of them when something else changes still completes
  // its tap.
  void rebuildItemViews();
  // The view showing `item`: the one made for it before when the item is
  // unchanged (taken out of `made`), else a new one.
  std::shared_ptr<UIView> reuseOrMakeView(
      const std::shared_ptr<UIBarButtonItem>& item,
      std::vector<std::pair<std::shared_ptr<UIBarButtonItem>, std::shared_ptr<UIView>>>& made);
  void rebuildBackButton();
  void applyLook();
  void styleTitleLabel(UILabel& label) const;
  // The views showing the top item now.
  std::vector<std::shared_ptr<UIView>> itemViews() const;
  // Cross-fades from `old`, the views shown until now, to those of the new
  // top item.
  void fadeToNewItems(std::vector<std::shared_ptr<UIView>> old);
  // Ends a cross-fade at once: the old views go, the new ones show fully.
  void finishFade();

  std::vector<std::shared_ptr<UINavigationItem>> items_;
  UIColorPtr barTintColor_;
  bool translucent_ = true;
  // Held out of line so that this header needs no Value; null: none set.
  std::shared_ptr<const NSAttributeDictionary> titleTextAttributes_;
  // Set by a navigation controller: what the back button does.
  std::function<void()> backAction_;
  std::shared_ptr<UIView> background_;
  std::shared_ptr<UIView> hairline_;
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UIView> titleView_;
  std::shared_ptr<UIButton> backButton_;
  std::vector<std::shared_ptr<UIView>> leftViews_;
  std::vector<std::shared_ptr<UIView>> rightViews_;
  // The item each of leftViews_ and rightViews_ shows.
  std::vector<std::shared_ptr<UIBarButtonItem>> leftItems_;
  std::vector<std::shared_ptr<UIBarButtonItem>> rightItems_;
  // Shown items changed since their views were made. Only compared with the
  // items above, which are held, so an address here never names another
  // item that is shown.
  std::vector<const UIBarButtonItem*> changedItems_;
  // What the back button says.
  std::string backTitle_;
  bool itemsDirty_ = true;
  // A cross-fade under way: the old views with the alpha to give back when
  // they go, and the new views fading in.
  std::vector<std::shared_ptr<UIView>> fading_;
  std::vector<double> fadingAlpha_;
  std::vector<std::shared_ptr<UIView>> appearing_;
};

class UIToolbar : public UIView {
 public:
  static constexpr double kHeight = 44;
  UIToolbar();
  explicit UIToolbar(const CGRect& frame);
  const std::vector<std::shared_ptr<UIBarButtonItem>>& items() const { return items_; }
  void setItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool animated = false);
  UIColorPtr barTintColor() const { return barTintColor_; }
  void setBarTintColor(UIColorPtr c);
  bool isTranslucent() const { return translucent_; }
  void setTranslucent(bool on);

  // Items left to right inside kEdgeMargin: flexible spaces share what the
  // others leave, fixed spaces take their width, custom views their size,
  // and the rest show as buttons that trigger their items.
  void layoutSubviews() override;
  // The view showing each item (spaces included, as empty views).
  const std::vector<std::shared_ptr<UIView>>& itemViews() const { return itemViews_; }
  std::string className() const override { return "UIToolbar"; }

 private:
  void itemsChanged();
  std::vector<std::shared_ptr<UIBarButtonItem>> items_;
  UIColorPtr barTintColor_;
  bool translucent_ = true;
  std::shared_ptr<UIView> background_;
  std::shared_ptr<UIView> hairline_;
  std::vector<std::shared_ptr<UIView>> itemViews_;
  bool itemsDirty_ = true;
};
