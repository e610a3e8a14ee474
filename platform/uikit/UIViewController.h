#pragma once

// Headless view controllers: a lazily loaded root view, appearance callbacks,
// modal presentation and dismissal (the presented controller's view covers the
// presenter's window), child controllers, and the popover anchor that sheets
// presented as popovers read.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UIView.h"

class UIWindow;
class UIViewController;

enum class UIModalPresentationStyle {
  FullScreen = 0,
  PageSheet = 1,
  FormSheet = 2,
  CurrentContext = 3,
  Custom = 4,
  OverFullScreen = 5,
  OverCurrentContext = 6,
  Popover = 7,
  Automatic = -2,
};

class UIPopoverPresentationController : public NSObject {
 public:
  std::shared_ptr<UIView> sourceView() const { return sourceView_.lock(); }
  void setSourceView(const std::shared_ptr<UIView>& v) { sourceView_ = v; }
  CGRect sourceRect() const { return sourceRect_; }
  void setSourceRect(const CGRect& r) { sourceRect_ = r; }
  uint64_t permittedArrowDirections() const { return arrows_; }
  void setPermittedArrowDirections(uint64_t a) { arrows_ = a; }

 private:
  std::weak_ptr<UIView> sourceView_;
  CGRect sourceRect_ = CGRectZero;
  uint64_t arrows_ = 15;  // any direction
};

class UIViewController : public UIResponder {
 public:
  UIViewController() = default;

  // Loads the view on first access (loadView, then viewDidLoad).
  std::shared_ptr<UIView> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  // The superview of the controller's view.
  std::shared_ptr<UIResponder> nextResponder() const override;
  void setView(std::shared_ptr<UIView> view);
  const std::string& title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }

  virtual void loadView();
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool) {}
  virtual void viewDidAppear(bool) {}
  virtual void viewWillDisappear(bool) {}
  virtual void viewDidDisappear(bool) {}
  virtual void viewWillLayoutSubviews() {}
  virtual void viewDidLayoutSubviews() {}

  UIModalPresentationStyle modalPresentationStyle() const { return modalStyle_; }
  void setModalPresentationStyle(UIModalPresentationStyle s) { modalStyle_ = s; }
  // Present when the style is popover, as the platform hands it out.
  std::shared_ptr<UIPopoverPresentationController> popoverPresentationController();

  std::shared_ptr<UIViewController> presentedViewController() const { return presented_; }
  std::shared_ptr<UIViewController> presentingViewController() const { return presenting_.lock(); }
  bool isBeingPresented() const { return presenting_.lock() != nullptr; }

  // Presents `vc` over this controller. A controller already presenting
  // another refuses (as the platform does, with a log line) and the
  // completion is not called.
  void presentViewController(const std::shared_ptr<UIViewController>& vc, bool animated,
                             std::function<void()> completion = nullptr);
  // Dismisses what this controller presents, or itself when it is presented.
  void dismissViewControllerAnimated(bool animated, std::function<void()> completion = nullptr);

  std::shared_ptr<UIViewController> parentViewController() const { return parent_.lock(); }
  const std::vector<std::shared_ptr<UIViewController>>& childViewControllers() const {
    return children_;
  }
  void addChildViewController(const std::shared_ptr<UIViewController>& child);
  void removeFromParentViewController();

  // The window that shows this controller's view, when any.
  std::shared_ptr<UIWindow> window();
  // The last controller of the presentation chain that starts here.
  static std::shared_ptr<UIViewController> topmostPresented(std::shared_ptr<UIViewController> vc);

 private:
  std::shared_ptr<UIView> view_;
  std::string title_;
  UIModalPresentationStyle modalStyle_ = UIModalPresentationStyle::Automatic;
  std::shared_ptr<UIPopoverPresentationController> popover_;
  std::shared_ptr<UIViewController> presented_;
  std::weak_ptr<UIViewController> presenting_;
  std::weak_ptr<UIViewController> parent_;
  std::vector<std::shared_ptr<UIViewController>> children_;
};
