#include "FlutterEngine.h"

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

class FlutterEngine::Registrar : public FlutterPluginRegistrar,
                                 public std::enable_shared_from_this<FlutterEngine::Registrar> {
 public:
  Registrar(std::weak_ptr<FlutterEngine> engine, std::string key)
      : engine_(std::move(engine)), key_(std::move(key)) {}

  std::shared_ptr<FlutterBinaryMessenger> messenger() override { return engine_.lock(); }

  void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                             std::shared_ptr<FlutterMethodChannel> channel) override {
    if (!delegate || !channel) return;
    delegates_.push_back(delegate);
    channel->setMethodCallHandler([delegate](const FlutterMethodCall& call, FlutterResult result) {
      delegate->handleMethodCall(call, std::move(result));
    });
  }

  void addApplicationDelegate(std::shared_ptr<FlutterApplicationLifeCycleDelegate> d) override {
    if (auto engine = engine_.lock(); engine && d) {
      MutexLock lock(engine->mutex_);
      engine->appDelegates_.push_back(std::move(d));
    }
  }

  void addSceneDelegate(std::shared_ptr<FlutterSceneLifeCycleDelegate> d) override {
    if (auto engine = engine_.lock(); engine && d) {
      MutexLock lock(engine->mutex_);
      engine->sceneDelegates_.push_back(std::move(d));
    }
  }

  void publish(Value value) override { published_ = std::move(value); }

  std::shared_ptr<UIViewController> viewController() override {
    auto engine = engine_.lock();
    return engine ? engine->viewController() : nullptr;
  }

  const Value& published() const { return published_; }

  void detach() {
    auto self = shared_from_this();
    for (auto& d : delegates_) d->detachFromEngineForRegistrar(self);
    delegates_.clear();
  }

 private:
  std::weak_ptr<FlutterEngine> engine_;
  std::string key_;
  std::vector<std::shared_ptr<FlutterPlugin>> delegates_;
  Value published_;
};

std::shared_ptr<FlutterEngine> FlutterEngine::create() {
  return std::shared_ptr<FlutterEngine>(new FlutterEngine());
}

FlutterEngine::~FlutterEngine() = default;

void FlutterEngine::sendOnChannel(const std::string& channel, FlutterBinaryMessage message,
                                  FlutterBinaryReply callback) {
  DartPeer peer;
  {
    MutexLock lock(mutex_);
    peer = peer_;
  }
  if (peer) {
    peer(channel, std::move(message), std::move(callback));
  } else if (callback) {
    callback(nullptr);
  }
}

void FlutterEngine::setMessageHandlerOnChannel(const std::string& channel,
                                               FlutterBinaryMessageHandler handler) {
  MutexLock lock(mutex_);
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

void FlutterEngine::handleMessageFromDart(const std::string& channel, FlutterBinaryMessage message,
                                          FlutterBinaryReply reply) {
  FlutterBinaryMessageHandler handler;
  {
    MutexLock lock(mutex_);
    auto it = handlers_.find(channel);
    if (it != handlers_.end()) handler = it->second;
  }
  if (!handler) {
    if (reply) reply(nullptr);
    return;
  }
  handler(std::move(message), std::move(reply));
}

void FlutterEngine::setDartPeer(DartPeer peer) {
  MutexLock lock(mutex_);
  peer_ = std::move(peer);
}

bool FlutterEngine::hasHandler(const std::string& channel) {
  MutexLock lock(mutex_);
  return handlers_.count(channel) != 0;
}

FlutterPluginRegistrarPtr FlutterEngine::registrarForPlugin(const std::string& pluginKey) {
  MutexLock lock(mutex_);
  auto& r = registrars_[pluginKey];
  if (!r) r = std::make_shared<Registrar>(weak_from_this(), pluginKey);
  return r;
}

bool FlutterEngine::hasPlugin(const std::string& pluginKey) {
  MutexLock lock(mutex_);
  return registrars_.count(pluginKey) != 0;
}

Value FlutterEngine::valuePublishedByPlugin(const std::string& pluginKey) {
  MutexLock lock(mutex_);
  auto it = registrars_.find(pluginKey);
  return it == registrars_.end() ? Value() : it->second->published();
}

std::vector<std::shared_ptr<FlutterApplicationLifeCycleDelegate>>
FlutterEngine::applicationDelegates() {
  MutexLock lock(mutex_);
  return appDelegates_;
}

std::vector<std::shared_ptr<FlutterSceneLifeCycleDelegate>> FlutterEngine::sceneDelegates() {
  MutexLock lock(mutex_);
  return sceneDelegates_;
}

void FlutterEngine::setViewController(std::shared_ptr<UIViewController> vc) {
  MutexLock lock(mutex_);
  viewController_ = std::move(vc);
}

std::shared_ptr<UIViewController> FlutterEngine::viewController() {
  MutexLock lock(mutex_);
  return viewController_;
}

void FlutterEngine::destroyContext() {
  std::map<std::string, std::shared_ptr<Registrar>> registrars;
  {
    MutexLock lock(mutex_);
    registrars = registrars_;
  }
  for (auto& [key, r] : registrars) r->detach();
  MutexLock lock(mutex_);
  registrars_.clear();
  handlers_.clear();
  appDelegates_.clear();
  sceneDelegates_.clear();
}
