#include "FlutterSceneEvents.h"

#include "FlutterEngine.h"

// The delegate list is copied first, so a delegate may add or remove
// delegates while it is being told.

void FlutterEngineSceneWillResignActive(FlutterEngine& engine, UIScene& scene) {
  for (auto& d : engine.sceneDelegates()) d->sceneWillResignActive(scene);
}

void FlutterEngineSceneDidBecomeActive(FlutterEngine& engine, UIScene& scene) {
  for (auto& d : engine.sceneDelegates()) d->sceneDidBecomeActive(scene);
}

void FlutterEngineSceneDidDisconnect(FlutterEngine& engine, UIScene& scene) {
  for (auto& d : engine.sceneDelegates()) d->sceneDidDisconnect(scene);
}
