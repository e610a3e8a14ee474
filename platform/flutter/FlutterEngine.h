#pragma once

// The headless engine: it routes messages between the platform side (plugin
// channels) and a Dart-side peer (the JSON driver or a test), and owns the
// plugin registrars. Messages from the Dart side are handled on the main
// thread; messages to the Dart side go to the peer from whatever thread sent
// them.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "FlutterPlugin.h"
#include "platform/foundation/Mutex.h"

class FlutterEngine : public FlutterBinaryMessenger,
                      public FlutterPluginRegistry,
                      public std::enable_shared_from_this<FlutterEngine> {
 public:
  // Receives platform-to-Dart messages (events, method calls from plugins).
  using DartPeer = std::function<void(const std::string& channel, FlutterBinaryMessage message,
                                      FlutterBinaryReply reply)>;

  static std::shared_ptr<FlutterEngine> create();
  ~FlutterEngine() override;

  // Messenger, platform side.
  void sendOnChannel(const std::string& channel, FlutterBinaryMessage message,
                     FlutterBinaryReply callback = nullptr) override;
  void setMessageHandlerOnChannel(const std::string& channel,
                                  FlutterBinaryMessageHandler handler) override;

  // Dart side. Must be called on the main thread; the reply comes exactly once,
  // with nullptr when the channel has no handler.
  void handleMessageFromDart(const std::string& channel, FlutterBinaryMessage message,
                             FlutterBinaryReply reply);
  void setDartPeer(DartPeer peer);
  bool hasHandler(const std::string& channel);

  // Registry.
  FlutterPluginRegistrarPtr registrarForPlugin(const std::string& pluginKey) override;
  bool hasPlugin(const std::string& pluginKey) override;
  Value valuePublishedByPlugin(const std::string& pluginKey) override;

  // Life-cycle fan-out to what the plugins added.
  std::vector<std::shared_ptr<FlutterApplicationLifeCycleDelegate>> applicationDelegates();
  std::vector<std::shared_ptr<FlutterSceneLifeCycleDelegate>> sceneDelegates();
  void setViewController(std::shared_ptr<UIViewController> vc);
  std::shared_ptr<UIViewController> viewController();

  // Tells every method-call delegate that the engine goes away, then drops
  // the registrars and handlers.
  void destroyContext();

 private:
  class Registrar;
  FlutterEngine() = default;

  Mutex mutex_;  // guards handlers_, registrars_ and the delegate lists below
  std::map<std::string, FlutterBinaryMessageHandler> handlers_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<Registrar>> registrars_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<FlutterApplicationLifeCycleDelegate>> appDelegates_
      GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<FlutterSceneLifeCycleDelegate>> sceneDelegates_ GUARDED_BY(mutex_);
  std::shared_ptr<UIViewController> viewController_;
  DartPeer peer_;
};
