#pragma once

// The application-delegate base class of the engine: launching starts an
// implicit engine and reports it to the delegate when the delegate adopts
// FlutterImplicitEngineDelegate; application life-cycle calls are passed on to
// the plugins that added themselves as application delegates.

#include <memory>

#include "FlutterEngine.h"
#include "FlutterPlugin.h"
#include "platform/uikit/UIApplication.h"

class FlutterImplicitEngineBridge {
 public:
  virtual ~FlutterImplicitEngineBridge() = default;
  virtual std::shared_ptr<FlutterPluginRegistry> pluginRegistry() = 0;
  virtual std::shared_ptr<FlutterEngine> engine() = 0;
};

class FlutterImplicitEngineDelegate {
 public:
  virtual ~FlutterImplicitEngineDelegate() = default;
  virtual void didInitializeImplicitFlutterEngine(FlutterImplicitEngineBridge& bridge) = 0;
};

class FlutterAppDelegate : public UIApplicationDelegate {
 public:
  bool applicationDidFinishLaunchingWithOptions(UIApplication& app,
                                                const Value& launchOptions) override;
  void applicationDidBecomeActive(UIApplication& app) override;
  void applicationWillResignActive(UIApplication& app) override;
  void applicationDidEnterBackground(UIApplication& app) override;
  void applicationWillEnterForeground(UIApplication& app) override;
  void applicationWillTerminate(UIApplication& app) override;

  // The implicit engine, once launched.
  std::shared_ptr<FlutterEngine> engine() const { return engine_; }

 private:
  std::shared_ptr<FlutterEngine> engine_;
};
