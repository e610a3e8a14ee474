#pragma once

// Screen brightness on two levels: the system brightness (outside the
// application, remembered and restored) and an application brightness (an
// override that holds while the application's scene is active). Changes go
// through applyBrightness, at once or as a short ramp of equal steps run one
// at a time on the plugin's task queue and set on the main queue.

#include <memory>
#include <optional>

#include "plugins/screen_brightness/ScreenBrightnessChangedStreamHandler.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSObject.h"

class NSOperationQueue;
class UIScreen;

class ScreenBrightnessIosPlugin : public NSObject,
                                  public FlutterPlugin,
                                  public FlutterApplicationLifeCycleDelegate,
                                  public FlutterSceneLifeCycleDelegate {
 public:
  static constexpr const char* kMethodChannelName = "dev.tarnquell.plugins/screen_brightness";

  explicit ScreenBrightnessIosPlugin(FlutterPluginRegistrarPtr registrar);
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;
  void detachFromEngineForRegistrar(const FlutterPluginRegistrarPtr& registrar) override;

  void sceneWillResignActive(UIScene& scene) override;
  void sceneDidBecomeActive(UIScene& scene) override;
  void sceneDidDisconnect(UIScene& scene) override;
  void onSystemScreenBrightnessChangedWithNotification(const NSNotification& notification);

  // Sets the current screen's brightness to `target` at once, or ramps to it
  // in steps paced by the screen's frame rate over about |change| x duration
  // seconds, cancelling the steps of an earlier ramp that have not started.
  void applyBrightness(double target, bool animated, double duration);

  // The screen of the view controller's window scene, else the main screen.
  std::shared_ptr<UIScreen> currentScreen() const;
  const std::shared_ptr<NSOperationQueue>& taskQueue() const { return taskQueue_; }

 private:
  void getSystemScreenBrightness(FlutterResult& result);
  void setSystemScreenBrightness(const Value& arguments, FlutterResult& result);
  void setApplicationScreenBrightness(const Value& arguments, FlutterResult& result);
  void resetApplicationScreenBrightness(FlutterResult& result);
  void setFlag(const Value& arguments, const char* key, bool& flag, FlutterResult& result);
  void startObservingBrightnessChanges();
  void stopObservingBrightnessChanges();
  // Emits on the application stream only while no application brightness is in force.
  void emitSystemBrightness(double value);

  FlutterPluginRegistrarPtr registrar_;
  std::shared_ptr<FlutterMethodChannel> methodChannel_;
  std::shared_ptr<FlutterEventChannel> systemScreenBrightnessChangedEventChannel_;
  std::shared_ptr<FlutterEventChannel> applicationScreenBrightnessChangedEventChannel_;
  std::shared_ptr<ScreenBrightnessChangedStreamHandler> systemScreenBrightnessChangedStreamHandler_;
  std::shared_ptr<ScreenBrightnessChangedStreamHandler>
      applicationScreenBrightnessChangedStreamHandler_;
  std::optional<double> systemScreenBrightness_;
  std::optional<double> applicationScreenBrightness_;
  bool isAutoReset_ = true;
  bool isAnimate_ = true;
  std::shared_ptr<NSOperationQueue> taskQueue_;
};
