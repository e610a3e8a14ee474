#pragma once

// Plugins, their registrars and the registry that hands registrars out, with
// the application and scene life-cycle protocols a plugin may adopt.

#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ValueFwd.h"

// The channel types are named only: a plugin's own code includes
// FlutterChannels.h, and what merely registers plugins (the host, the
// engine's users) does not compile the codec and its values.
struct FlutterMethodCall;
class FlutterResult;
class FlutterMethodChannel;
class UIApplication;
class UIScene;
class UIViewController;
class FlutterPluginRegistrar;

// Every method has a do-nothing default: a delegate receives only what it
// overrides.
class FlutterApplicationLifeCycleDelegate {
 public:
  virtual ~FlutterApplicationLifeCycleDelegate() = default;
  // nullopt: not implemented, so the application delegate's own answer holds.
  virtual std::optional<bool> applicationDidFinishLaunchingWithOptions(UIApplication&,
                                                                       const Value&) {
    return std::nullopt;
  }
  virtual void applicationDidBecomeActive(UIApplication&) {}
  virtual void applicationWillResignActive(UIApplication&) {}
  virtual void applicationDidEnterBackground(UIApplication&) {}
  virtual void applicationWillEnterForeground(UIApplication&) {}
  virtual void applicationWillTerminate(UIApplication&) {}
};

class FlutterSceneLifeCycleDelegate {
 public:
  virtual ~FlutterSceneLifeCycleDelegate() = default;
  virtual void sceneWillConnect(UIScene&) {}
  virtual void sceneDidDisconnect(UIScene&) {}
  virtual void sceneDidBecomeActive(UIScene&) {}
  virtual void sceneWillResignActive(UIScene&) {}
  virtual void sceneWillEnterForeground(UIScene&) {}
  virtual void sceneDidEnterBackground(UIScene&) {}
};

class FlutterPlugin {
 public:
  virtual ~FlutterPlugin() = default;
  // Method calls of the channels this plugin was added for as delegate.
  // Answers "not implemented" unless overridden.
  virtual void handleMethodCall(const FlutterMethodCall& call, FlutterResult result);
  // Runs when the engine that the plugin was registered with goes away.
  virtual void detachFromEngineForRegistrar(const std::shared_ptr<FlutterPluginRegistrar>&) {}
};

class FlutterPluginRegistrar {
 public:
  virtual ~FlutterPluginRegistrar() = default;
  virtual std::shared_ptr<FlutterBinaryMessenger> messenger() = 0;
  // The registrar keeps the delegate; it receives every call of the channel.
  virtual void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                                     std::shared_ptr<FlutterMethodChannel> channel) = 0;
  virtual void addApplicationDelegate(std::shared_ptr<FlutterApplicationLifeCycleDelegate> d) = 0;
  virtual void addSceneDelegate(std::shared_ptr<FlutterSceneLifeCycleDelegate> d) = 0;
  virtual void publish(Value value) = 0;
  // The engine's view controller, or nullptr when headless.
  virtual std::shared_ptr<UIViewController> viewController() = 0;
};

using FlutterPluginRegistrarPtr = std::shared_ptr<FlutterPluginRegistrar>;

class FlutterPluginRegistry {
 public:
  virtual ~FlutterPluginRegistry() = default;
  virtual FlutterPluginRegistrarPtr registrarForPlugin(const std::string& pluginKey) = 0;
  virtual bool hasPlugin(const std::string& pluginKey) = 0;
  virtual Value valuePublishedByPlugin(const std::string& pluginKey) = 0;
};
