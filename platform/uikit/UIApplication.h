#pragma once

// The application object and its delegate protocol, and the application main
// function that runs the main run loop.

#include <functional>
#include <memory>
#include <vector>
#include <optional>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/uikit/UIScreen.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ValueFwd.h"
#include "platform/foundation/ThreadChecks.h"

class UIApplication;

extern const char* const UIApplicationDidBecomeActiveNotification;
extern const char* const UIApplicationWillResignActiveNotification;
extern const char* const UIApplicationDidEnterBackgroundNotification;
extern const char* const UIApplicationWillEnterForegroundNotification;
extern const char* const UIApplicationWillTerminateNotification;
extern const char* const UIApplicationDidReceiveMemoryWarningNotification;

// Key of openURL's options: a boolean, open only as a universal link.
extern const char* const UIApplicationOpenURLOptionUniversalLinksOnly;

// Decides whether URLs can be opened and opens them for the application.
//
// UIApplication hands an opener only absolute URLs, in normal form (scheme in
// lower case, dot segments resolved), so that what an opener passes on always
// starts with the scheme and never reads as an option; a file URL only when it
// names something inside the application's container (links followed).
// Anything else cannot be opened, whatever the opener.
//
// The default opener launches nothing unless the environment names a program:
// QX_OPEN_URL_COMMAND=<program> (looked up on PATH, e.g. "xdg-open") is run
// with the URL as its one argument, its output sent to standard error, and
// the open succeeds when it exits with status 0. With the variable unset no
// URL can be opened. Waiting for the program holds no dispatch worker
// (ProcessReaper). Universal links are never opened (no application claims
// them here). Every request is logged. Tests install a scripted opener.
// Gets whether the URL was opened; called once.
using UIApplicationOpenURLCompletion = OnceCallback<void(bool success)>;

class UIApplicationURLOpener {
 public:
  virtual ~UIApplicationURLOpener() = default;
  virtual bool canOpenURL(const NSURL& url) = 0;
  // Calls `completion` once, later, on the main thread.
  virtual void openURL(const NSURLPtr& url, const Value& options,
                       UIApplicationOpenURLCompletion completion) = 0;
};

enum class UIApplicationState { Active = 0, Inactive = 1, Background = 2 };

// Where the application's state comes from: on the platform the system moves
// the application between active, inactive and background. A headless host
// has no foreground to leave: the default answers active, which
// UIApplicationMain reads once the delegate has launched.
class UIApplicationStateProvider {
 public:
  virtual ~UIApplicationStateProvider() = default;
  // Called on the main thread.
  virtual UIApplicationState state() = 0;
};

class UIHeadlessApplicationState : public UIApplicationStateProvider {
 public:
  UIApplicationState state() override { return UIApplicationState::Active; }
};

// Opening this URL string takes the user to the application's settings.
extern const char* const UIApplicationOpenSettingsURLString;

class UIWindow;

class UIApplicationDelegate : public NSObject {
 public:
  virtual bool applicationDidFinishLaunchingWithOptions(UIApplication&, const Value&) {
    return true;
  }
  virtual void applicationDidBecomeActive(UIApplication&) {}
  virtual void applicationWillResignActive(UIApplication&) {}
  virtual void applicationDidEnterBackground(UIApplication&) {}
  virtual void applicationWillEnterForeground(UIApplication&) {}
  virtual void applicationWillTerminate(UIApplication&) {}
};

class UIApplication : public NSObject {
 public:
  static std::shared_ptr<UIApplication> sharedApplication();

  std::shared_ptr<UIApplicationDelegate> delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<UIApplicationDelegate> d) {
    QX_DCHECK_MAIN_THREAD();
    delegate_ = std::move(d);
  }
  UIApplicationState applicationState() const { return state_; }
  // Reads the state from `provider` from now on (nullptr: the headless
  // host's) and moves to it. The test environment restores the default, and
  // the inactive state of an application not yet launched, between tests.
  void setStateProvider(std::shared_ptr<UIApplicationStateProvider> provider);
  // Reads the state now and, when it changed, moves the application there
  // and tells the delegate, as the platform does on activation, deactivation
  // and backgrounding. Call on the main thread.
  void refreshApplicationState();
  // Posts the memory warning, as the platform does under memory pressure.
  void simulateMemoryWarning();
  // Ends the application loop after telling the delegate it will terminate.
  void terminate();

  // The application's windows that were shown or given a root controller,
  // in the order they first were, while they live.
  std::vector<std::shared_ptr<UIWindow>> windows() const;
  // The window made key last (makeKeyAndVisible), while it lives.
  std::shared_ptr<UIWindow> keyWindow() const;
  // The orientation the interface is shown in (the main screen's).
  UIInterfaceOrientation statusBarOrientation() const;

  bool canOpenURL(const NSURLPtr& url);
  // The completion (may be empty) gets whether the URL was opened, later, on
  // the main thread.
  void openURL(const NSURLPtr& url, const Value& options,
               UIApplicationOpenURLCompletion completion);
  // nullptr restores the default opener.
  void setURLOpener(std::shared_ptr<UIApplicationURLOpener> opener);

  bool isIdleTimerDisabled() const { return idleTimerDisabled_; }
  // Runs the current idle-timer setter: the platform's own, unless a category
  // exchanged it (exchangeIdleTimerSetter).
  void setIdleTimerDisabled(bool disabled);
  using IdleTimerSetter = std::function<void(UIApplication&, bool)>;
  // The method exchange of setIdleTimerDisabled: installs `setter` for every
  // later call and returns the implementation it replaces (the platform's own
  // setter the first time), which the new one may call on.
  static IdleTimerSetter exchangeIdleTimerSetter(IdleTimerSetter setter);

 private:
  static void platformSetIdleTimerDisabled(UIApplication& app, bool disabled);
  std::shared_ptr<UIApplicationURLOpener> urlOpener() const;

  friend class UIWindow;
  // Called by a window as it is first shown or given a root controller.
  void noteWindow(const std::shared_ptr<UIWindow>& window);

  std::shared_ptr<UIApplicationDelegate> delegate_;
  std::vector<std::weak_ptr<UIWindow>> windows_;
  UIApplicationState state_ = UIApplicationState::Inactive;
  std::shared_ptr<UIApplicationURLOpener> urlOpener_;
  std::shared_ptr<UIApplicationStateProvider> stateProvider_ =
      std::make_shared<UIHeadlessApplicationState>();
  bool idleTimerDisabled_ = false;
};

// Creates the delegate from the class registry by name, launches it, makes the
// application active and serves the main run loop until terminate(). Returns
// the process status; 1 when the delegate class is unknown. Without launch
// options the delegate gets a null value.
int UIApplicationMain(int argc, char** argv, const std::optional<std::string>& principalClassName,
                      const std::string& delegateClassName);
int UIApplicationMain(int argc, char** argv, const std::optional<std::string>& principalClassName,
                      const std::string& delegateClassName, const Value& launchOptions);
