#pragma once

// The application object and its delegate protocol, and the application main
// function that runs the main run loop.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"

class UIApplication;

extern const char* const UIApplicationDidBecomeActiveNotification;
extern const char* const UIApplicationWillResignActiveNotification;
extern const char* const UIApplicationDidEnterBackgroundNotification;
extern const char* const UIApplicationWillEnterForegroundNotification;
extern const char* const UIApplicationWillTerminateNotification;
extern const char* const UIApplicationDidReceiveMemoryWarningNotification;

enum class UIApplicationState { Active = 0, Inactive = 1, Background = 2 };

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
  void setDelegate(std::shared_ptr<UIApplicationDelegate> d) { delegate_ = std::move(d); }
  UIApplicationState applicationState() const { return state_; }
  // Moves the application to a new state and tells the delegate, as the
  // platform does on activation, deactivation and backgrounding.
  void setApplicationState(UIApplicationState state);
  // Posts the memory warning, as the platform does under memory pressure.
  void simulateMemoryWarning();
  // Ends the application loop after telling the delegate it will terminate.
  void terminate();

 private:
  std::shared_ptr<UIApplicationDelegate> delegate_;
  UIApplicationState state_ = UIApplicationState::Inactive;
};

// Creates the delegate from the class registry by name, launches it, makes the
// application active and serves the main run loop until terminate(). Returns
// the process status; 1 when the delegate class is unknown.
int UIApplicationMain(int argc, char** argv, const std::optional<std::string>& principalClassName,
                      const std::string& delegateClassName, const Value& launchOptions = Value());
