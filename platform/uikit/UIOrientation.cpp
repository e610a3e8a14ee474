#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIScreen.h"

int64_t UIApplication::statusBarOrientation() const {
  return UIScreen::mainScreen()->interfaceOrientation();
}

UIDeviceOrientation UIDevice::orientation() const {
  // The interface turns against the device: held landscape left, the
  // interface shows landscape right.
  switch (UIScreen::mainScreen()->interfaceOrientation()) {
    case UIInterfaceOrientationPortrait: return UIDeviceOrientationPortrait;
    case UIInterfaceOrientationPortraitUpsideDown: return UIDeviceOrientationPortraitUpsideDown;
    case UIInterfaceOrientationLandscapeRight: return UIDeviceOrientationLandscapeLeft;
    case UIInterfaceOrientationLandscapeLeft: return UIDeviceOrientationLandscapeRight;
    default: return UIDeviceOrientationUnknown;
  }
}
