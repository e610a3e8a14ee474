#pragma once

// Scene life-cycle events fanned out to every scene delegate that plugins
// added to an engine, in the order they were added. The application delegate
// base sends them when the application's state changes; tests send them
// directly.

class FlutterEngine;
class UIScene;

void FlutterEngineSceneWillResignActive(FlutterEngine& engine, UIScene& scene);
void FlutterEngineSceneDidBecomeActive(FlutterEngine& engine, UIScene& scene);
void FlutterEngineSceneDidDisconnect(FlutterEngine& engine, UIScene& scene);
