#include "UIApplication.h"

#include <cstdio>

#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSRunLoop.h"

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
  static auto app = std::make_shared<UIApplication>();
  return app;
}

void UIApplication::setApplicationState(UIApplicationState state) {
  if (state == state_) return;
  UIApplicationState old = state_;
  state_ = state;
  auto d = delegate_;
  if (!d) return;
  if (old == UIApplicationState::Active) d->applicationWillResignActive(*this);
  if (old == UIApplicationState::Background) d->applicationWillEnterForeground(*this);
  if (state == UIApplicationState::Background) d->applicationDidEnterBackground(*this);
  if (state == UIApplicationState::Active) d->applicationDidBecomeActive(*this);
}

void UIApplication::terminate() {
  if (delegate_) delegate_->applicationWillTerminate(*this);
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
