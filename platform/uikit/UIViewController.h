#pragma once

// Headless view controllers: a lazily loaded root view, appearance callbacks
// in the platform's order (the controller going away hears willDisappear, the
// one coming hears willAppear, then didDisappear and didAppear once the
// transition is over), child containment with appearance forwarded to the
// children on screen, modal presentation and dismissal through presentation
// controllers and transition animators on the platform clock, and the
// status bar, orientation and preferred-size queries containers read.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIGeometry.h"
#include "UIPresentationController.h"
#include "UIView.h"
#include "UIViewControllerTransitioning.h"
#include "platform/foundation/ObservableProperty.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

class UIWindow;
class UINavigationController;
class UINavigationItem;
class UIBarButtonItem;
class UIPreviewActionItem;

enum class UIStatusBarStyle { Default = 0, LightContent = 1, DarkContent = 3 };
enum class UIStatusBarAnimation { None = 0, Fade = 1, Slide = 2 };

enum UIInterfaceOrientationMask : uint64_t {
  UIInterfaceOrientationMaskPortrait = 1 << 1,
  UIInterfaceOrientationMaskPortraitUpsideDown = 1 << 2,
  UIInterfaceOrientationMaskLandscapeRight = 1 << 3,
  UIInterfaceOrientationMaskLandscapeLeft = 1 << 4,
  UIInterfaceOrientationMaskLandscape = (1 << 3) | (1 << 4),
  UIInterfaceOrientationMaskAll = 30,
  UIInterfaceOrientationMaskAllButUpsideDown = 26,
};

class UIViewController : public UIResponder {
 public:
  // How long the platform's own presentation, dismissal, push and pop
  // animations take.
  static constexpr double kTransitionDuration = 0.35;

  UIViewController();
  ~UIViewController() override;

  // Loads the view on first access (loadView, then viewDidLoad).
  std::shared_ptr<UIView> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  // The superview of the controller's view.
  std::shared_ptr<UIResponder> nextResponder() const override;
  void setView(std::shared_ptr<UIView> view);
  const std::string& title() const { return title_; }
  // Also the title of the navigation item.
  void setTitle(std::string t);

  virtual void loadView();
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool) {}
  virtual void viewDidAppear(bool) {}
  virtual void viewWillDisappear(bool) {}
  virtual void viewDidDisappear(bool) {}
  virtual void viewWillLayoutSubviews() {}
  virtual void viewDidLayoutSubviews() {}
  // In the layout pass, when the view's safe area insets changed.
  virtual void viewSafeAreaInsetsDidChange() {}

  // Insets added to the safe area of the view, on top of what the window
  // and the containers (their bars) already leave unsafe.
  UIEdgeInsets additionalSafeAreaInsets() const { return additionalSafeArea_; }
  void setAdditionalSafeAreaInsets(const UIEdgeInsets& insets);
  // The additional insets plus the ones a container adds for its bars.
  UIEdgeInsets totalExtraSafeArea() const {
    return UIEdgeInsetsAdd(additionalSafeArea_, containerSafeArea_);
  }

  // Shows `vc` the way the nearest container does: pushed by a navigation
  // controller, else presented over this controller.
  virtual void showViewController(const std::shared_ptr<UIViewController>& vc,
                                  const std::shared_ptr<NSObject>& sender);

  // The actions offered under this controller while it is previewed; none
  // unless a subclass says otherwise.
  virtual std::vector<std::shared_ptr<UIPreviewActionItem>> previewActionItems() { return {}; }

  // The items a navigation controller's toolbar shows for this controller.
  const std::vector<std::shared_ptr<UIBarButtonItem>>& toolbarItems() const {
    return toolbarItems_;
  }
  void setToolbarItems(std::vector<std::shared_ptr<UIBarButtonItem>> items, bool animated = false);

  // Appearance transitions, as containers drive them: each call reaches the
  // controller once per change and is passed on to the children on screen.
  void beginAppearanceTransition(bool isAppearing, bool animated);
  void endAppearanceTransition();
  // On screen (after didAppear, before willDisappear).
  bool isVisible() const { return appearance_ == Appearance::Appeared; }

  // --- Modal presentation ---
  UIModalPresentationStyle modalPresentationStyle() const { return modalStyle_; }
  void setModalPresentationStyle(UIModalPresentationStyle s) {
    QX_DCHECK_MAIN_THREAD();
    modalStyle_ = s;
  }
  UIModalTransitionStyle modalTransitionStyle() const { return transitionStyle_; }
  void setModalTransitionStyle(UIModalTransitionStyle s) {
    QX_DCHECK_MAIN_THREAD();
    transitionStyle_ = s;
  }
  std::shared_ptr<UIViewControllerTransitioningDelegate> transitioningDelegate() const {
    return transitioningDelegate_.lock();
  }
  void setTransitioningDelegate(const std::shared_ptr<UIViewControllerTransitioningDelegate>& d) {
    transitioningDelegate_ = d;
  }
  // Present when the style is popover, as the platform hands it out.
  std::shared_ptr<UIPopoverPresentationController> popoverPresentationController();
  // The controller managing this one's presentation (made on first use).
  std::shared_ptr<UIPresentationController> presentationController();

  // What this controller presents, else what its nearest presenting
  // ancestor presents: a child of a container sees the container's
  // presentation.
  std::shared_ptr<UIViewController> presentedViewController() const;
  // Who presents this controller, else who presents its nearest presented
  // ancestor: a controller inside a presented container answers the
  // container's presenter.
  std::shared_ptr<UIViewController> presentingViewController() const;
  // While the presentation or dismissal of this controller runs.
  bool isBeingPresented() const { return beingPresented_; }
  bool isBeingDismissed() const { return beingDismissed_; }

  // Presents `vc` over this controller: the presentation controller places it,
  // the transitioning delegate's animator (or the platform's own, when
  // animated) moves it on the clock, and `completion` runs once it is on
  // screen. A controller already presenting another, or in the middle of a
  // transition, refuses (as the platform does, with a log line) and the
  // completion is not called. Asked while the screen it presents, or the one
  // it belongs to, slides away, it lets that dismissal end at once and the
  // new screen goes over the controller that stays.
  virtual void presentViewController(const std::shared_ptr<UIViewController>& vc, bool animated,
                                     OnceClosure completion = nullptr);
  // Dismisses what this controller (or, through containers, its ancestor)
  // presents, else itself or the presented container holding it; whatever
  // the dismissed controller presents goes with it. Asked while what this
  // controller presents is itself being dismissed, it ends that dismissal at
  // once and dismisses this controller too. While a presentation or a
  // dismissal runs, its window takes no new touches.
  virtual void dismissViewControllerAnimated(bool animated, OnceClosure completion = nullptr);

  // --- Containment ---
  std::shared_ptr<UIViewController> parentViewController() const { return parent_.lock(); }
  const std::vector<std::shared_ptr<UIViewController>>& childViewControllers() const {
    return children_;
  }
  // Calls willMoveToParentViewController(this) on the child; the caller adds
  // the child's view and calls didMoveToParentViewController.
  void addChildViewController(const std::shared_ptr<UIViewController>& child);
  // Calls didMoveToParentViewController(nullptr) once removed.
  void removeFromParentViewController();
  virtual void willMoveToParentViewController(const std::shared_ptr<UIViewController>&) {}
  virtual void didMoveToParentViewController(const std::shared_ptr<UIViewController>&) {}
  // The nearest navigation controller among the ancestors.
  std::shared_ptr<UINavigationController> navigationController() const;
  std::shared_ptr<UINavigationItem> navigationItem();

  // --- Sizes, status bar, orientation ---
  CGSize preferredContentSize() const { return preferredContentSize_.get(); }
  void setPreferredContentSize(const CGSize& size);
  virtual void preferredContentSizeDidChangeForChildContentContainer(UIViewController&) {}
  virtual bool prefersStatusBarHidden() const { return false; }
  // A controller presented other than full screen takes over the status bar
  // appearance only when this is set.
  bool modalPresentationCapturesStatusBarAppearance() const { return capturesStatusBar_; }
  void setModalPresentationCapturesStatusBarAppearance(bool on) {
    QX_DCHECK_MAIN_THREAD();
    capturesStatusBar_ = on;
  }
  virtual UIStatusBarStyle preferredStatusBarStyle() const { return UIStatusBarStyle::Default; }
  virtual UIStatusBarAnimation preferredStatusBarUpdateAnimation() const {
    return UIStatusBarAnimation::Fade;
  }
  virtual std::shared_ptr<UIViewController> childViewControllerForStatusBarHidden() const {
    return nullptr;
  }
  virtual std::shared_ptr<UIViewController> childViewControllerForStatusBarStyle() const {
    return nullptr;
  }
  void setNeedsStatusBarAppearanceUpdate();
  // How many times the status bar appearance was asked to update.
  int64_t statusBarAppearanceUpdateCount() const { return statusBarUpdates_; }
  // The phone idiom leaves out upside down, as the platform does.
  virtual uint64_t supportedInterfaceOrientations() const;
  virtual bool shouldAutorotate() const { return true; }
  // Called before the view's size changes (rotation); passes the change on
  // to the children and the presented controller.
  virtual void viewWillTransitionToSize(const CGSize& size,
                                        UIViewControllerTransitionCoordinator& coordinator);
  // Rotates a window's controllers to `size`: viewWillTransitionToSize down
  // the tree, then the window and root view take the size, and the
  // coordinator's completions run after `duration` on the clock.
  static void transitionWindowToSize(const std::shared_ptr<UIWindow>& window, const CGSize& size,
                                     double duration);

  // The window that shows this controller's view, when any.
  std::shared_ptr<UIWindow> window();
  // The last controller of the presentation chain that starts here.
  static std::shared_ptr<UIViewController> topmostPresented(std::shared_ptr<UIViewController> vc);

 protected:
  enum class Appearance { Disappeared, Appearing, Appeared, Disappearing };
  // The children whose appearance follows this controller's (default: those
  // whose views are in this controller's view).
  virtual std::vector<std::shared_ptr<UIViewController>> childrenOnScreen();
  std::shared_ptr<UIViewController> self() {
    return std::static_pointer_cast<UIViewController>(shared_from_this());
  }
  // A controller whose view is already in a window counts as appeared.
  void noteAlreadyOnScreen();
  // The window the transition runs in takes no new touches until it ends.
  // Presentations, dismissals and navigation changes note theirs; a
  // controller that moves its own views on and off the screen (a popover of
  // the app's own) notes its transition the same way.
  static void noteTransitionInWindow(UIViewControllerContextTransitioning& context);

 private:
  friend class UINavigationController;
  friend class UIView;
  // A child's view entering or leaving the window of a parent on screen
  // brings its appearance callbacks, as containment forwards them.
  void viewMovedToWindow(bool inWindow);
  // Insets a container adds for the bars over this controller's view.
  void setContainerSafeArea(const UIEdgeInsets& insets);
  struct Transition;
  // An appearance change that was undone: the controller hears the reverse
  // (willDisappear then willAppear and didAppear, or the other way round).
  void reverseAppearanceTransition();
  std::shared_ptr<UIPresentationController> makePresentationController(
      const std::shared_ptr<UIViewController>& presenting);
  // The controller on its way out (its dismissal still running) that takes
  // this one with it: itself, a container holding it or one presenting it.
  std::shared_ptr<UIViewController> dismissalTakingThis();
  void finishPresentation(const std::shared_ptr<UIViewController>& vc, bool completed);
  void finishDismissal(const std::shared_ptr<UIViewController>& vc, bool completed);

  std::shared_ptr<UIView> view_;
  std::string title_;
  UIModalPresentationStyle modalStyle_ = UIModalPresentationStyle::Automatic;
  UIModalTransitionStyle transitionStyle_ = UIModalTransitionStyle::CoverVertical;
  std::weak_ptr<UIViewControllerTransitioningDelegate> transitioningDelegate_;
  std::shared_ptr<UIPresentationController> presentationController_;
  std::shared_ptr<UIViewController> presented_;
  std::weak_ptr<UIViewController> presenting_;
  std::unique_ptr<Transition> transition_;
  bool beingPresented_ = false;
  bool beingDismissed_ = false;
  std::weak_ptr<UIViewController> parent_;
  std::vector<std::shared_ptr<UIViewController>> children_;
  std::shared_ptr<UINavigationItem> navigationItem_;
  Appearance appearance_ = Appearance::Disappeared;
  bool appearanceAnimated_ = false;
  ObservableProperty<CGSize> preferredContentSize_{this, "preferredContentSize"};
  int64_t statusBarUpdates_ = 0;
  UIEdgeInsets additionalSafeArea_;
  UIEdgeInsets containerSafeArea_;
  bool capturesStatusBar_ = false;
  std::vector<std::shared_ptr<UIBarButtonItem>> toolbarItems_;
};
