#include "FlutterAppDelegate.h"

namespace {

class ImplicitBridge : public FlutterImplicitEngineBridge {
 public:
  explicit ImplicitBridge(std::shared_ptr<FlutterEngine> engine) : engine_(std::move(engine)) {}
  std::shared_ptr<FlutterPluginRegistry> pluginRegistry() override { return engine_; }
  std::shared_ptr<FlutterEngine> engine() override { return engine_; }

 private:
  std::shared_ptr<FlutterEngine> engine_;
};

}  // namespace

bool FlutterAppDelegate::applicationDidFinishLaunchingWithOptions(UIApplication& app,
                                                                  const Value& launchOptions) {
  if (!engine_) {
    engine_ = FlutterEngine::create();
    if (auto* implicit = dynamic_cast<FlutterImplicitEngineDelegate*>(this)) {
      ImplicitBridge bridge(engine_);
      implicit->didInitializeImplicitFlutterEngine(bridge);
    }
  }
  bool answer = true;
  for (auto& d : engine_->applicationDelegates()) {
    if (auto r = d->applicationDidFinishLaunchingWithOptions(app, launchOptions); r && !*r) {
      answer = false;
    }
  }
  return answer;
}

void FlutterAppDelegate::applicationDidBecomeActive(UIApplication& app) {
  if (engine_) for (auto& d : engine_->applicationDelegates()) d->applicationDidBecomeActive(app);
}

void FlutterAppDelegate::applicationWillResignActive(UIApplication& app) {
  if (engine_) for (auto& d : engine_->applicationDelegates()) d->applicationWillResignActive(app);
}

void FlutterAppDelegate::applicationDidEnterBackground(UIApplication& app) {
  if (engine_) for (auto& d : engine_->applicationDelegates()) d->applicationDidEnterBackground(app);
}

void FlutterAppDelegate::applicationWillEnterForeground(UIApplication& app) {
  if (engine_) {
    for (auto& d : engine_->applicationDelegates()) d->applicationWillEnterForeground(app);
  }
}

void FlutterAppDelegate::applicationWillTerminate(UIApplication& app) {
  if (engine_) for (auto& d : engine_->applicationDelegates()) d->applicationWillTerminate(app);
}
