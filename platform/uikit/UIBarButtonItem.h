#pragma once

// A button of a navigation bar or toolbar: a title, image or system item,
// with a target-action pair, or a custom view. Tapping it (trigger) runs the
// action while the target lives.

#include <functional>
#include <memory>
#include <string>

#include "UIColor.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"

class UIImage;
class UIView;

enum class UIBarButtonSystemItem {
  Done = 0, Cancel = 1, Edit = 2, Save = 3, Add = 4, FlexibleSpace = 5, FixedSpace = 6,
  Compose = 7, Reply = 8, Action = 9, Organize = 10, Bookmarks = 11, Search = 12, Refresh = 13,
  Stop = 14, Camera = 15, Trash = 16, Play = 17, Pause = 18, Rewind = 19, FastForward = 20,
  Undo = 21, Redo = 22, Close = 24,
};

enum class UIBarButtonItemStyle { Plain = 0, Done = 2 };

class UIBarButtonItem : public NSObject {
 public:
  using Action = std::function<void(UIBarButtonItem& sender)>;

  static std::shared_ptr<UIBarButtonItem> itemWithTitle(std::string title,
                                                        UIBarButtonItemStyle style,
                                                        const std::shared_ptr<NSObject>& target,
                                                        Action action);
  static std::shared_ptr<UIBarButtonItem> itemWithImage(std::shared_ptr<UIImage> image,
                                                        UIBarButtonItemStyle style,
                                                        const std::shared_ptr<NSObject>& target,
                                                        Action action);
  static std::shared_ptr<UIBarButtonItem> itemWithBarButtonSystemItem(
      UIBarButtonSystemItem item, const std::shared_ptr<NSObject>& target, Action action);
  static std::shared_ptr<UIBarButtonItem> itemWithCustomView(std::shared_ptr<UIView> view);

  const std::string& title() const { return title_; }
  void setTitle(std::string t) {
    QX_DCHECK_MAIN_THREAD();
    title_ = std::move(t);
    changed();
  }
  std::shared_ptr<UIImage> image() const { return image_; }
  void setImage(std::shared_ptr<UIImage> i) {
    QX_DCHECK_MAIN_THREAD();
    image_ = std::move(i);
    changed();
  }
  std::optional<UIBarButtonSystemItem> systemItem() const { return systemItem_; }
  UIBarButtonItemStyle style() const { return style_; }
  void setStyle(UIBarButtonItemStyle s) {
    QX_DCHECK_MAIN_THREAD();
    style_ = s;
    changed();
  }
  std::shared_ptr<UIView> customView() const { return customView_; }
  void setCustomView(std::shared_ptr<UIView> v) {
    QX_DCHECK_MAIN_THREAD();
    customView_ = std::move(v);
    changed();
  }
  UIColorPtr tintColor() const { return tintColor_; }
  void setTintColor(UIColorPtr c) {
    QX_DCHECK_MAIN_THREAD();
    tintColor_ = std::move(c);
    changed();
  }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on) {
    QX_DCHECK_MAIN_THREAD();
    enabled_ = on;
    changed();
  }
  double width() const { return width_; }
  void setWidth(double w) {
    QX_DCHECK_MAIN_THREAD();
    width_ = w;
    changed();
  }
  std::shared_ptr<NSObject> target() const { return target_.lock(); }
  void setTarget(const std::shared_ptr<NSObject>& target, Action action);

  // A person tapping the item: the action runs when the item is enabled and
  // its target lives. False when nothing ran.
  bool trigger();

 private:
  friend class UINavigationBar;
  friend class UIToolbar;
  void changed() {
    if (onChange_) onChange_();
  }

  // The bar showing the item hears its changes.
  std::function<void()> onChange_;
  std::string title_;
  std::shared_ptr<UIImage> image_;
  std::optional<UIBarButtonSystemItem> systemItem_;
  UIBarButtonItemStyle style_ = UIBarButtonItemStyle::Plain;
  std::shared_ptr<UIView> customView_;
  UIColorPtr tintColor_;
  bool enabled_ = true;
  double width_ = 0;
  std::weak_ptr<NSObject> target_;
  Action action_;
};
