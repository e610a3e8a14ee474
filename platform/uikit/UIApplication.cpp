#include "UIApplication.h"

#include <cstdio>

#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"

const char* const UIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
const char* const UIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
const char* const UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
const char* const UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
const char* const UIApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";
const char* const UIApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
  static auto app = std::make_shared<UIApplication>();
  return app;
}

void UIApplication::setApplicationState(UIApplicationState state) {
  if (state == state_) return;
  UIApplicationState old = state_;
  state_ = state;
  auto d = delegate_;
  auto self = std::static_pointer_cast<UIApplication>(shared_from_this());
  auto& center = NSNotificationCenter::defaultCenter();
  if (old == UIApplicationState::Active) {
    if (d) d->applicationWillResignActive(*this);
    center.postNotificationName(UIApplicationWillResignActiveNotification, self);
  }
  if (old == UIApplicationState::Background) {
    if (d) d->applicationWillEnterForeground(*this);
    center.postNotificationName(UIApplicationWillEnterForegroundNotification, self);
  }
  if (state == UIApplicationState::Background) {
    if (d) d->applicationDidEnterBackground(*this);
    center.postNotificationName(UIApplicationDidEnterBackgroundNotification, self);
  }
  if (state == UIApplicationState::Active) {
    if (d) d->applicationDidBecomeActive(*this);
    center.postNotificationName(UIApplicationDidBecomeActiveNotification, self);
  }
}

void UIApplication::simulateMemoryWarning() {
  NSNotificationCenter::defaultCenter().postNotificationName(
      UIApplicationDidReceiveMemoryWarningNotification,
      std::static_pointer_cast<UIApplication>(shared_from_this()));
}

void UIApplication::terminate() {
  if (delegate_) delegate_->applicationWillTerminate(*this);
  NSNotificationCenter::defaultCenter().postNotificationName(
      UIApplicationWillTerminateNotification,
      std::static_pointer_cast<UIApplication>(shared_from_this()));
  NSRunLoop::mainRunLoop().stop();
}

int UIApplicationMain(int, char**, const std::optional<std::string>&,
                      const std::string& delegateClassName, const Value& launchOptions) {
  auto object = NSClassRegistry::createInstance(delegateClassName);
  auto delegate = std::dynamic_pointer_cast<UIApplicationDelegate>(object);
  if (!delegate) {
    std::fprintf(stderr, "Unable to instantiate the application delegate class %s\n",
                 delegateClassName.c_str());
    return 1;
  }
  auto app = UIApplication::sharedApplication();
  app->setDelegate(delegate);
  delegate->applicationDidFinishLaunchingWithOptions(*app, launchOptions);
  app->setApplicationState(UIApplicationState::Active);
  NSRunLoop::mainRunLoop().run();
  return 0;
}
