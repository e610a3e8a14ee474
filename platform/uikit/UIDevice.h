#pragma once

// The device the application runs on: its names and system version, the
// vendor identifier, and the battery.
//
// The battery is read from a UIBatteryProvider (by default the machine's first
// power supply of type "Battery" under /sys/class/power_supply) when
// monitoring is turned on and then polled
// every kBatteryPollInterval seconds on the main run loop (an NSTimer, so a
// manual clock drives it in tests) while monitoring stays on. A machine
// without a battery reports the unknown state and the level -1, as a device
// without one does.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/uikit/UIBatteryProvider.h"
#include "platform/uikit/UIUserInterfaceIdiom.h"

class NSTimer;

extern const char* const UIDeviceBatteryStateDidChangeNotification;
extern const char* const UIDeviceBatteryLevelDidChangeNotification;
extern const char* const UIDeviceOrientationDidChangeNotification;

// How the device is held, with the platform's raw values.
enum UIDeviceOrientation : int64_t {
  UIDeviceOrientationUnknown = 0,
  UIDeviceOrientationPortrait = 1,
  UIDeviceOrientationPortraitUpsideDown = 2,
  UIDeviceOrientationLandscapeLeft = 3,
  UIDeviceOrientationLandscapeRight = 4,
  UIDeviceOrientationFaceUp = 5,
  UIDeviceOrientationFaceDown = 6,
};

inline bool UIDeviceOrientationIsLandscape(UIDeviceOrientation o) {
  return o == UIDeviceOrientationLandscapeLeft || o == UIDeviceOrientationLandscapeRight;
}
inline bool UIDeviceOrientationIsPortrait(UIDeviceOrientation o) {
  return o == UIDeviceOrientationPortrait || o == UIDeviceOrientationPortraitUpsideDown;
}

class UIDevice : public NSObject {
 public:
  static constexpr double kBatteryPollInterval = 5.0;

  // Backed by the system's power-supply folder.
  UIDevice();
  ~UIDevice() override;

  static std::shared_ptr<UIDevice> currentDevice();

  // The machine's host name, which is what its owner calls it.
  std::string name() const;
  // "iOS": the system the application is written for.
  std::string systemName() const;
  // NSProcessInfo's operating system version as the platform writes it:
  // "17.0", or "17.0.1" when there is a patch number.
  std::string systemVersion() const;
  // "iPhone", or "iPad" when the idiom is the pad's.
  std::string model() const;
  std::string localizedModel() const;
  // The phone's unless set: the headless host lays out for a phone screen.
  UIUserInterfaceIdiom userInterfaceIdiom() const;
  void setUserInterfaceIdiom(UIUserInterfaceIdiom idiom);
  // Upper-case UUID string, created once and kept in the application
  // container so that it stays the same for the installation; nullopt when it
  // can be neither read nor stored.
  std::optional<std::string> identifierForVendor() const;

  // Unknown until orientation notifications are being generated; then how
  // the device was last reported held.
  UIDeviceOrientation orientation() const;
  // The device reporting how it is held (the motion hardware's report, or
  // a rotation of the headless display): remembered, and posted as
  // UIDeviceOrientationDidChangeNotification while notifications are being
  // generated and it changed.
  void setOrientation(UIDeviceOrientation orientation);
  // Nested: notifications flow while begin calls outnumber end calls.
  void beginGeneratingDeviceOrientationNotifications();
  void endGeneratingDeviceOrientationNotifications();
  bool isGeneratingDeviceOrientationNotifications() const;

  bool isBatteryMonitoringEnabled() const;
  // Turning monitoring on reads the battery at once and starts polling;
  // turning it off stops polling. Call on the main thread.
  void setBatteryMonitoringEnabled(bool enabled);
  // 0.0 to 1.0; -1 while monitoring is off or the level is unknown.
  float batteryLevel() const;
  // Unknown while monitoring is off.
  UIDeviceBatteryState batteryState() const;

  // Reads the battery from `provider` from now on (nullptr: the machine's
  // power supplies) and, while monitoring is on, posts what changed.
  void setBatteryProvider(std::shared_ptr<UIBatteryProvider> provider);
  // Re-reads the battery now (the poll's work); posts what changed while
  // monitoring is on.
  void refreshBattery();

 private:
  UIBatteryReading currentReading();
  void applyReading(const UIBatteryReading& reading);
  static std::string vendorIdentifierPath();

  mutable Mutex mutex_;  // guards the battery provider, reading and monitoring state below
  std::shared_ptr<UIBatteryProvider> batteryProvider_ GUARDED_BY(mutex_);
  UIBatteryReading battery_ GUARDED_BY(mutex_);
  bool monitoring_ GUARDED_BY(mutex_) = false;
  UIDeviceOrientation reported_ = UIDeviceOrientationPortrait;
  int64_t orientationListeners_ = 0;
  UIUserInterfaceIdiom idiom_ = UIUserInterfaceIdiomPhone;
  std::shared_ptr<NSTimer> pollTimer_;
  mutable std::string vendorIdentifierFile_;
  mutable std::optional<std::string> vendorIdentifier_;
};
