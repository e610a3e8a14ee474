#include <cstdlib>

#include "AKCamera/AKCameraLocationManager.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"
#include "support/location/ScriptedLocationProvider.h"

namespace camera_location_test {

namespace {

class CameraLocationTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gps_ = &ScriptedLocationProvider::installed();
    manager_ = std::make_shared<AKCameraLocationManager>();
  }
  void deliver(const std::vector<CLLocationPtr>& fixes) {
    gps_->pushLocations(fixes);
    drainMainLoop();
  }
  ScriptedLocationProvider* gps_ = nullptr;
  std::shared_ptr<AKCameraLocationManager> manager_;
};

TEST_F(CameraLocationTest, BuildsTheGPSDictionaryInUTCWhateverTheLocale) {
  const char* oldTZ = std::getenv("TZ");
  setenv("TZ", "Asia/Kathmandu", 1);
  setenv("LC_ALL", "ar_EG.UTF-8", 1);
  tzset();
  // 2024-01-02 23:59:58.25 UTC, which is already the 3rd in Kathmandu.
  CLLocation location({-33.5, -151.2}, -12, 5, 5, 1704239998.25);
  ValueMap gps = AKCameraGPSDictionary(location, nullptr);
  if (oldTZ) setenv("TZ", oldTZ, 1); else unsetenv("TZ");
  unsetenv("LC_ALL");
  tzset();
  EXPECT_EQ(gps.size(), 9u);
  EXPECT_DOUBLE_EQ(ValueMapFind(gps, kCGImagePropertyGPSLatitude)->asDouble(), 33.5);
  EXPECT_EQ(ValueMapFind(gps, kCGImagePropertyGPSLatitudeRef)->asString(), "S");
  EXPECT_DOUBLE_EQ(ValueMapFind(gps, kCGImagePropertyGPSLongitude)->asDouble(), 151.2);
  EXPECT_EQ(ValueMapFind(gps, kCGImagePropertyGPSLongitudeRef)->asString(), "W");
  EXPECT_DOUBLE_EQ(ValueMapFind(gps, kCGImagePropertyGPSAltitude)->asDouble(), 12);
  EXPECT_EQ(ValueMapFind(gps, kCGImagePropertyGPSAltitudeRef)->asInt64(), 1);
  EXPECT_EQ(ValueMapFind(gps, kCGImagePropertyGPSTimeStamp)->asString(), "23:59:58.250000");
  EXPECT_EQ(ValueMapFind(gps, kCGImagePropertyGPSDateStamp)->asString(), "2024:01:02");
  EXPECT_EQ(ValueMapFind(gps, kCGImagePropertyGPSVersion)->asString(), "2.2.0.0");

  CLLocation equator({0, 0}, 0, 5, 5, 0);
  ValueMap north = AKCameraGPSDictionary(equator, std::make_shared<CLHeading>(271.5, 270, 5, 0));
  EXPECT_EQ(north.size(), 11u);
  EXPECT_EQ(ValueMapFind(north, kCGImagePropertyGPSLatitudeRef)->asString(), "N");
  EXPECT_EQ(ValueMapFind(north, kCGImagePropertyGPSLongitudeRef)->asString(), "E");
  EXPECT_EQ(ValueMapFind(north, kCGImagePropertyGPSAltitudeRef)->asInt64(), 0);
  EXPECT_DOUBLE_EQ(ValueMapFind(north, kCGImagePropertyGPSImgDirection)->asDouble(), 271.5);
  EXPECT_EQ(ValueMapFind(north, kCGImagePropertyGPSImgDirectionRef)->asString(), "T");
  EXPECT_EQ(ValueMapFind(north, kCGImagePropertyGPSTimeStamp)->asString(), "00:00:00.000000");
  // Microseconds that round up carry into the second.
  CLLocation carry({0, 0}, 0, 5, 5, 59.9999996);
  EXPECT_EQ(ValueMapFind(AKCameraGPSDictionary(carry, nullptr), kCGImagePropertyGPSTimeStamp)->asString(),
            "00:01:00.000000");
}

TEST_F(CameraLocationTest, KeepsTheMostAccurateValidFixOfEachDelivery) {
  manager_->startUpdatingLocation();
  EXPECT_EQ(gps_->requestCount(), 1);
  EXPECT_EQ(gps_->updatingCount(), 1u);
  EXPECT_FALSE(manager_->gpsMetadata());
  auto a = ScriptedLocationProvider::Fix(1, 1, 65);
  auto b = ScriptedLocationProvider::Fix(2, 2, 10);
  auto c = ScriptedLocationProvider::Fix(3, 3, 10);
  deliver({a, b, c});
  EXPECT_EQ(manager_->latestLocation(), b);
  // Invalid fixes never win, however small their number.
  auto invalid = ScriptedLocationProvider::Fix(4, 4, -1);
  deliver({invalid, a});
  EXPECT_EQ(manager_->latestLocation(), a);
  deliver({invalid});
  EXPECT_FALSE(manager_->latestLocation());
  deliver({c});
  EXPECT_EQ(manager_->latestLocation(), c);
  deliver({});
  EXPECT_FALSE(manager_->latestLocation());
  EXPECT_FALSE(manager_->gpsMetadata());
}

TEST_F(CameraLocationTest, AuthorizationChangesStartAndStopUpdatesWithoutTouchingEnable) {
  manager_->startUpdatingLocation();
  drainMainLoop();
  gps_->changeAuthorization(kCLAuthorizationStatusDenied);
  drainMainLoop();
  EXPECT_EQ(gps_->updatingCount(), 0u);
  EXPECT_TRUE(manager_->isEnabled());
  gps_->changeAuthorization(kCLAuthorizationStatusAuthorizedAlways);
  drainMainLoop();
  EXPECT_EQ(gps_->updatingCount(), 1u);
  manager_->stopUpdatingLocation();
  EXPECT_FALSE(manager_->isEnabled());
  EXPECT_EQ(gps_->updatingCount(), 0u);
  gps_->changeAuthorization(kCLAuthorizationStatusAuthorizedWhenInUse);
  drainMainLoop();
  EXPECT_EQ(gps_->updatingCount(), 0u);
}

}  // namespace

}  // namespace camera_location_test
