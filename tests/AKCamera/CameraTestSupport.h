#pragma once

// The camera screen on a phone window over a real clip: scripted cameras
// (back with a flash, front without), accelerometer and positions, the
// camera's resource bundle from the source tree.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "AKCamera/AKCamera.h"
#include "platform/uikit/UIWindow.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/camera/ScriptedCaptureHardware.h"
#include "support/location/ScriptedLocationProvider.h"
#include "support/motion/ScriptedMotionHardware.h"

class CameraScreenTest : public PlatformTest {
 protected:
  // The clip's frames: 120 x 160 (portrait, 3:4), 4 frames at 10 per second.
  static constexpr int kClipWidth = 120;
  static constexpr int kClipHeight = 160;

  void SetUp() override;
  void TearDown() override;

  // A screen set up by `configure` (before its view loads), shown as the
  // window's root, with the clip as the back camera and its still as the front.
  std::shared_ptr<AKCamera> showCamera(const std::function<void(AKCamera&)>& configure = nullptr);
  // The screen leaves the window, as a dismissal takes it away.
  void hideCamera();
  // An accelerometer sample, each later than the last by the update interval.
  void tilt(double x, double y);
  // Taps the shutter and waits (bounded) until the photo reaches the owner or
  // the screen recovers from a failed capture.
  bool shootAndWait(AKCamera& camera);

  std::string clip_;
  std::string still_;
  std::shared_ptr<UIWindow> window_;
  ScriptedCaptureHardware* hardware_ = nullptr;
  ScriptedMotionHardware* motion_ = nullptr;
  ScriptedLocationProvider* gps_ = nullptr;
  TempFolder folder_;
  double sampleTime_ = 10;
  int delivered_ = 0;
  UIImagePtr image_;
  std::optional<ValueMap> metadata_;
  bool deliveredOnMain_ = true;
  std::shared_ptr<AKCamera> camera_;
};
