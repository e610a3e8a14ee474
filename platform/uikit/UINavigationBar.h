#pragma once

// The bar at the top of a navigation controller: a stack of navigation items
// (title, title view, bar buttons, back button) and its look. Bars take the
// values set on UINavigationBar::appearance() when they are made, unless set
// on the bar itself.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UIBarButtonItem.h"
#include "UIView.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/ThreadChecks.h"

class UINavigationItem : public NSObject {
 public:
  explicit UINavigationItem(std::string title = "") : title_(std::move(title)) {}

  const std::string& title() const { return title_; }
  void setTitle(std::string t) {
    QX_DCHECK_MAIN_THREAD();
    title_ = std::move(t);
  }
  std::shared_ptr<UIView> titleView() const { return titleView_; }
  void setTitleView(std::shared_ptr<UIView> v) {
    QX_DCHECK_MAIN_THREAD();
    titleView_ = std::move(v);
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
    left_ = std::move(items);
  }
  std::shared_ptr<UIBarButtonItem> rightBarButtonItem() const;
  void setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item);
  const std::vector<std::shared_ptr<UIBarButtonItem>>& rightBarButtonItems() const {
    return right_;
  }
  void setRightBarButtonItems(std::vector<std::shared_ptr<UIBarButtonItem>> items) {
    right_ = std::move(items);
  }
  std::shared_ptr<UIBarButtonItem> backBarButtonItem() const { return back_; }
  void setBackBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
    QX_DCHECK_MAIN_THREAD();
    back_ = std::move(item);
  }
  bool hidesBackButton() const { return hidesBackButton_; }
  void setHidesBackButton(bool on) {
    QX_DCHECK_MAIN_THREAD();
    hidesBackButton_ = on;
  }

 private:
  std::string title_;
  std::shared_ptr<UIView> titleView_;
  std::string prompt_;
  std::vector<std::shared_ptr<UIBarButtonItem>> left_;
  std::vector<std::shared_ptr<UIBarButtonItem>> right_;
  std::shared_ptr<UIBarButtonItem> back_;
  bool hidesBackButton_ = false;
};

// The look shared by bars (the appearance proxy's values).
struct UIBarLook {
  std::optional<UIColorPtr> tintColor;
  std::optional<UIColorPtr> barTintColor;
  std::optional<bool> translucent;
  std::optional<std::map<std::string, Value>> titleTextAttributes;
};

class UINavigationBar : public UIView {
 public:
  static constexpr double kHeight = 44;

  UINavigationBar();
  explicit UINavigationBar(const CGRect& frame);

  // The proxy: values set here reach every bar made afterwards.
  static UIBarLook& appearance();

  const std::vector<std::shared_ptr<UINavigationItem>>& items() const { return items_; }
  void setItems(std::vector<std::shared_ptr<UINavigationItem>> items);
  std::shared_ptr<UINavigationItem> topItem() const;
  std::shared_ptr<UINavigationItem> backItem() const;
  void pushNavigationItem(std::shared_ptr<UINavigationItem> item);
  std::shared_ptr<UINavigationItem> popNavigationItem();

  UIColorPtr barTintColor() const { return barTintColor_; }
  void setBarTintColor(UIColorPtr c);
  bool isTranslucent() const { return translucent_; }
  void setTranslucent(bool on);
  const std::map<std::string, Value>& titleTextAttributes() const { return titleTextAttributes_; }
  void setTitleTextAttributes(std::map<std::string, Value> a);

 private:
  void takeAppearance();

  std::vector<std::shared_ptr<UINavigationItem>> items_;
  UIColorPtr barTintColor_;
  bool translucent_ = true;
  std::map<std::string, Value> titleTextAttributes_;
};

class UIToolbar : public UIView {
 public:
  static constexpr double kHeight = 44;
  using UIView::UIView;
  const std::vector<std::shared_ptr<UIBarButtonItem>>& items() const { return items_; }
  void setItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool animated = false);
  UIColorPtr barTintColor() const { return barTintColor_; }
  void setBarTintColor(UIColorPtr c);
  bool isTranslucent() const { return translucent_; }
  void setTranslucent(bool on);

 private:
  std::vector<std::shared_ptr<UIBarButtonItem>> items_;
  UIColorPtr barTintColor_;
  bool translucent_ = true;
};
