#include "ScreenBrightnessIosPlugin.h"

#include <cmath>
#include <string>

#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSOperation.h"
#include "platform/uikit/UIScene.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

namespace {

const char* const kNullBrightness = "Unexpected error on null brightness";

// The number under "brightness" of a dictionary. A value that is not a finite
// number counts as missing: there is no brightness to ramp to.
std::optional<double> brightnessArgument(const Value& arguments) {
  const Value* v = arguments.isMap() ? arguments.find("brightness") : nullptr;
  if (!v || !v->isNumber() || !std::isfinite(v->asDouble())) return std::nullopt;
  return v->asDouble();
}

std::optional<bool> boolArgument(const Value& arguments, const char* key) {
  const Value* v = arguments.isMap() ? arguments.find(key) : nullptr;
  if (!v || !v->isBool()) return std::nullopt;
  return v->asBool();
}

void replyMissing(FlutterResult& result, const std::string& what) {
  result(FlutterError::errorWithCode("-2", "Unexpected error on null " + what));
}

}  // namespace

ScreenBrightnessIosPlugin::ScreenBrightnessIosPlugin(FlutterPluginRegistrarPtr registrar)
    : registrar_(std::move(registrar)),
      systemScreenBrightnessChangedStreamHandler_(
          std::make_shared<ScreenBrightnessChangedStreamHandler>()),
      applicationScreenBrightnessChangedStreamHandler_(
          std::make_shared<ScreenBrightnessChangedStreamHandler>()),
      taskQueue_(std::make_shared<NSOperationQueue>()) {
  taskQueue_->setMaxConcurrentOperationCount(1);
  systemScreenBrightness_ = currentScreen()->brightness();
}

void ScreenBrightnessIosPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto plugin = std::make_shared<ScreenBrightnessIosPlugin>(registrar);
  auto messenger = registrar->messenger();
  const std::string name = kMethodChannelName;
  plugin->methodChannel_ = FlutterMethodChannel::methodChannelWithName(name, messenger);
  registrar->addMethodCallDelegate(plugin, plugin->methodChannel_);
  plugin->systemScreenBrightnessChangedEventChannel_ =
      FlutterEventChannel::eventChannelWithName(name + "/system_brightness_changed", messenger);
  plugin->systemScreenBrightnessChangedEventChannel_->setStreamHandler(
      plugin->systemScreenBrightnessChangedStreamHandler_);
  plugin->applicationScreenBrightnessChangedEventChannel_ =
      FlutterEventChannel::eventChannelWithName(name + "/application_brightness_changed",
                                                messenger);
  plugin->applicationScreenBrightnessChangedEventChannel_->setStreamHandler(
      plugin->applicationScreenBrightnessChangedStreamHandler_);
  registrar->addApplicationDelegate(plugin);
  registrar->addSceneDelegate(plugin);
}

std::shared_ptr<UIScreen> ScreenBrightnessIosPlugin::currentScreen() const {
  auto vc = registrar_ ? registrar_->viewController() : nullptr;
  auto view = vc ? vc->view() : nullptr;
  auto window = view ? view->window() : nullptr;
  auto scene = window ? window->windowScene() : nullptr;
  auto screen = scene ? scene->screen() : nullptr;
  return screen ? screen : UIScreen::mainScreen();
}

void ScreenBrightnessIosPlugin::handleMethodCall(const FlutterMethodCall& call,
                                                 FlutterResult result) {
  const std::string& method = call.method;
  const Value& arguments = call.arguments;
  if (method == "getSystemScreenBrightness") {
    getSystemScreenBrightness(result);
  } else if (method == "setSystemScreenBrightness") {
    setSystemScreenBrightness(arguments, result);
  } else if (method == "getApplicationScreenBrightness") {
    result(Value(currentScreen()->brightness()));
  } else if (method == "setApplicationScreenBrightness") {
    setApplicationScreenBrightness(arguments, result);
  } else if (method == "resetApplicationScreenBrightness") {
    resetApplicationScreenBrightness(result);
  } else if (method == "hasApplicationScreenBrightnessChanged") {
    result(Value(applicationScreenBrightness_.has_value()));
  } else if (method == "isAutoReset") {
    result(Value(isAutoReset_));
  } else if (method == "setAutoReset") {
    setFlag(arguments, "isAutoReset", isAutoReset_, result);
  } else if (method == "isAnimate") {
    result(Value(isAnimate_));
  } else if (method == "setAnimate") {
    setFlag(arguments, "isAnimate", isAnimate_, result);
  } else if (method == "canChangeSystemBrightness") {
    result(Value(true));
  } else {
    result(FlutterMethodNotImplemented);
  }
}

void ScreenBrightnessIosPlugin::getSystemScreenBrightness(FlutterResult& result) {
  if (!systemScreenBrightness_) {
    result(FlutterError::errorWithCode("-11", "Could not found system screen brightness value"));
    return;
  }
  result(Value(*systemScreenBrightness_));
}

void ScreenBrightnessIosPlugin::setSystemScreenBrightness(const Value& arguments,
                                                          FlutterResult& result) {
  auto brightness = brightnessArgument(arguments);
  if (!brightness) return replyMissing(result, "brightness");
  systemScreenBrightness_ = *brightness;
  systemScreenBrightnessChangedStreamHandler_->addScreenBrightnessToEventSink(*brightness);
  if (!applicationScreenBrightness_) {
    applyBrightness(*brightness, isAnimate_, 1.0);
    applicationScreenBrightnessChangedStreamHandler_->addScreenBrightnessToEventSink(*brightness);
  }
  result(nullptr);
}

void ScreenBrightnessIosPlugin::setApplicationScreenBrightness(const Value& arguments,
                                                               FlutterResult& result) {
  auto brightness = brightnessArgument(arguments);
  if (!brightness) return replyMissing(result, "brightness");
  applyBrightness(*brightness, isAnimate_, 1.0);
  applicationScreenBrightness_ = *brightness;
  applicationScreenBrightnessChangedStreamHandler_->addScreenBrightnessToEventSink(*brightness);
  result(nullptr);
}

void ScreenBrightnessIosPlugin::resetApplicationScreenBrightness(FlutterResult& result) {
  if (!systemScreenBrightness_) return replyMissing(result, "brightness");
  const double system = *systemScreenBrightness_;
  applyBrightness(system, isAnimate_, 1.0);
  applicationScreenBrightness_.reset();
  applicationScreenBrightnessChangedStreamHandler_->addScreenBrightnessToEventSink(system);
  result(nullptr);
}

void ScreenBrightnessIosPlugin::setFlag(const Value& arguments, const char* key, bool& flag,
                                        FlutterResult& result) {
  auto value = boolArgument(arguments, key);
  if (!value) return replyMissing(result, key);
  flag = *value;
  result(nullptr);
}

void ScreenBrightnessIosPlugin::emitSystemBrightness(double value) {
  systemScreenBrightnessChangedStreamHandler_->addScreenBrightnessToEventSink(value);
  if (!applicationScreenBrightness_) {
    applicationScreenBrightnessChangedStreamHandler_->addScreenBrightnessToEventSink(value);
  }
}

void ScreenBrightnessIosPlugin::sceneWillResignActive(UIScene&) {
  if (!isAutoReset_) return;
  if (systemScreenBrightness_) applyBrightness(*systemScreenBrightness_, isAnimate_, 0.5);
  startObservingBrightnessChanges();
}

void ScreenBrightnessIosPlugin::sceneDidBecomeActive(UIScene&) {
  if (!isAutoReset_) return;
  stopObservingBrightnessChanges();
  const double brightness = currentScreen()->brightness();
  systemScreenBrightness_ = brightness;
  emitSystemBrightness(brightness);
  if (applicationScreenBrightness_) applyBrightness(*applicationScreenBrightness_, isAnimate_, 0.5);
}

void ScreenBrightnessIosPlugin::sceneDidDisconnect(UIScene&) {
  if (systemScreenBrightness_) UIScreen::mainScreen()->setBrightness(*systemScreenBrightness_);
  NSNotificationCenter::defaultCenter().removeObserver(this);
}

void ScreenBrightnessIosPlugin::onSystemScreenBrightnessChangedWithNotification(
    const NSNotification& notification) {
  auto screen = std::dynamic_pointer_cast<UIScreen>(notification.object);
  if (!screen) return;
  const double brightness = screen->brightness();
  systemScreenBrightness_ = brightness;
  emitSystemBrightness(brightness);
}

void ScreenBrightnessIosPlugin::startObservingBrightnessChanges() {
  // A second resign without activation in between must not observe twice.
  stopObservingBrightnessChanges();
  std::weak_ptr<NSObject> weak = weak_from_this();
  NSNotificationCenter::defaultCenter().addObserver(
      this, UIScreenBrightnessDidChangeNotification, nullptr,
      [weak](const NSNotification& notification) {
        auto self = std::static_pointer_cast<ScreenBrightnessIosPlugin>(weak.lock());
        if (self) self->onSystemScreenBrightnessChangedWithNotification(notification);
      });
}

void ScreenBrightnessIosPlugin::stopObservingBrightnessChanges() {
  NSNotificationCenter::defaultCenter().removeObserver(this,
                                                       UIScreenBrightnessDidChangeNotification);
}

void ScreenBrightnessIosPlugin::detachFromEngineForRegistrar(const FlutterPluginRegistrarPtr&) {
  NSNotificationCenter::defaultCenter().removeObserver(this);
  if (methodChannel_) methodChannel_->setMethodCallHandler(nullptr);
  if (systemScreenBrightnessChangedEventChannel_) {
    systemScreenBrightnessChangedEventChannel_->setStreamHandler(nullptr);
  }
  if (applicationScreenBrightnessChangedEventChannel_) {
    applicationScreenBrightnessChangedEventChannel_->setStreamHandler(nullptr);
  }
}
