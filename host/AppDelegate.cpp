#include "AppDelegate.h"

#include "internal/GeneratedPluginRegistrant.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewAccessibility.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

void AppDelegate::registerClass() {
  NSClassRegistry::registerClass(kRuntimeName, [] { return std::make_shared<AppDelegate>(); });
}

bool AppDelegate::applicationDidFinishLaunchingWithOptions(UIApplication& app,
                                                           const Value& launchOptions) {
  const bool launched =
      FlutterAppDelegate::applicationDidFinishLaunchingWithOptions(app, launchOptions);
  window_ = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
  auto root = std::make_shared<UIViewController>();
  root->view()->setBackgroundColor(UIColor::whiteColor());
  UIViewSetAccessibilityIdentifier(*root->view(), std::string("flutter_view"));
  window_->setRootViewController(root);
  window_->makeKeyAndVisible();
  // The root stands for the engine's view, so it is the engine's controller
  // too: plugins that present from the registrar find it there.
  if (engine()) engine()->setViewController(root);
  return launched;
}

void AppDelegate::didInitializeImplicitFlutterEngine(FlutterImplicitEngineBridge& bridge) {
  GeneratedPluginRegistrant::registerWithRegistry(bridge.pluginRegistry());
}
