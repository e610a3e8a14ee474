#pragma once

// A stack of view controllers shown one at a time under a navigation bar.
// Pushing and popping move the controllers in and out as children, with the
// appearance callbacks in the platform's order; animated changes take
// kTransitionDuration on the clock, and a new change first completes the one
// still running.

#include <memory>
#include <vector>

#include "UINavigationBar.h"
#include "UIViewController.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/ThreadChecks.h"

class UINavigationController;

class UINavigationControllerDelegate {
 public:
  virtual ~UINavigationControllerDelegate() = default;
  virtual void navigationControllerWillShowViewController(UINavigationController&,
                                                          UIViewController&, bool /*animated*/) {}
  virtual void navigationControllerDidShowViewController(UINavigationController&,
                                                         UIViewController&, bool /*animated*/) {}
};

class UINavigationController : public UIViewController {
 public:
  // The root joins the stack when the controller is first used.
  explicit UINavigationController(std::shared_ptr<UIViewController> root = nullptr);
  ~UINavigationController() override;

  std::vector<std::shared_ptr<UIViewController>> viewControllers();
  void setViewControllers(std::vector<std::shared_ptr<UIViewController>> controllers,
                          bool animated);
  virtual void pushViewController(const std::shared_ptr<UIViewController>& vc, bool animated);
  // nullptr when only the root is left.
  virtual std::shared_ptr<UIViewController> popViewControllerAnimated(bool animated);
  std::vector<std::shared_ptr<UIViewController>> popToRootViewControllerAnimated(bool animated);
  std::vector<std::shared_ptr<UIViewController>> popToViewController(
      const std::shared_ptr<UIViewController>& vc, bool animated);
  std::shared_ptr<UIViewController> topViewController();
  // What shows: a controller presented by this one, else the top one.
  std::shared_ptr<UIViewController> visibleViewController();

  const std::shared_ptr<UINavigationBar>& navigationBar();
  bool isNavigationBarHidden() const { return barHidden_; }
  void setNavigationBarHidden(bool hidden, bool animated = false);
  const std::shared_ptr<UIToolbar>& toolbar();
  bool isToolbarHidden() const { return toolbarHidden_; }
  void setToolbarHidden(bool hidden, bool animated = false);

  std::shared_ptr<UINavigationControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UINavigationControllerDelegate>& d) {
    QX_DCHECK_MAIN_THREAD();
    delegate_ = d;
  }

  // How long setNavigationBarHidden and setToolbarHidden slide the bars.
  static constexpr double kHideShowBarDuration = 0.2;

  void loadView() override;
  void showViewController(const std::shared_ptr<UIViewController>& vc,
                          const std::shared_ptr<NSObject>& sender) override;
  // Places the bars below the status bar and above the home indicator and
  // the top controller's view under them; the view's layout pass runs it.
  void layoutBarsAndContent();
  std::shared_ptr<UIViewController> childViewControllerForStatusBarHidden() const override;
  std::shared_ptr<UIViewController> childViewControllerForStatusBarStyle() const override;

 private:
  // Moves the navigation bar, laying it out again when it moved.
  void placeBar(const CGRect& frame);
  struct Change;
  void adoptRoot();
  void completeRunningChange();
  // Moves from the shown controller to the new top of `stack`.
  void show(std::vector<std::shared_ptr<UIViewController>> stack, bool animated, bool forward);
  CGRect contentFrame();
  CGRect navigationBarFrame(bool hidden);
  CGRect toolbarFrame(bool hidden);
  // The safe area the bars add to a top controller's view at `content`.
  UIEdgeInsets barInsetsFor(const CGRect& content);
  void animateBars(bool animated);

  std::shared_ptr<UIViewController> pendingRoot_;
  std::vector<std::shared_ptr<UIViewController>> stack_;
  std::shared_ptr<UINavigationBar> bar_;
  std::shared_ptr<UIToolbar> toolbar_;
  bool barHidden_ = false;
  bool toolbarHidden_ = true;
  std::weak_ptr<UINavigationControllerDelegate> delegate_;
  std::unique_ptr<Change> running_;
  int barAnimations_ = 0;
};
