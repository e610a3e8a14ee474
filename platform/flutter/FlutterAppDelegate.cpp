#include "FlutterAppDelegate.h"

#include "FlutterSceneEvents.h"
#include "platform/uikit/UIScene.h"

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

// The headless application has one window scene, so its activation and
// deactivation are the scene's too, and termination disconnects the scene.
void FlutterAppDelegate::applicationDidBecomeActive(UIApplication& app) {
  if (!engine_) return;
  for (auto& d : engine_->applicationDelegates()) d->applicationDidBecomeActive(app);
  auto scene = UIWindowScene::defaultScene();
  scene->setActivationState(UISceneActivationState::ForegroundActive);
  FlutterEngineSceneDidBecomeActive(*engine_, *scene);
}

void FlutterAppDelegate::applicationWillResignActive(UIApplication& app) {
  if (!engine_) return;
  for (auto& d : engine_->applicationDelegates()) d->applicationWillResignActive(app);
  auto scene = UIWindowScene::defaultScene();
  scene->setActivationState(UISceneActivationState::ForegroundInactive);
  FlutterEngineSceneWillResignActive(*engine_, *scene);
}

void FlutterAppDelegate::applicationDidEnterBackground(UIApplication& app) {
  if (engine_)
    for (auto& d : engine_->applicationDelegates()) d->applicationDidEnterBackground(app);
}

void FlutterAppDelegate::applicationWillEnterForeground(UIApplication& app) {
  if (engine_) {
    for (auto& d : engine_->applicationDelegates()) d->applicationWillEnterForeground(app);
  }
}

void FlutterAppDelegate::applicationWillTerminate(UIApplication& app) {
  if (!engine_) return;
  for (auto& d : engine_->applicationDelegates()) d->applicationWillTerminate(app);
  auto scene = UIWindowScene::defaultScene();
  scene->setActivationState(UISceneActivationState::Unattached);
  FlutterEngineSceneDidDisconnect(*engine_, *scene);
}
