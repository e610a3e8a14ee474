#include <cstdlib>
#include <vector>

#include "platform/corelocation/CLLocationManager.h"
#include "platform/foundation/NSThread.h"
#include "support/TestEnvironment.h"
#include "support/location/ScriptedLocationProvider.h"

namespace location_manager_test {

namespace {

class Recorder : public CLLocationManagerDelegate {
 public:
  void locationManagerDidUpdateLocations(CLLocationManager&,
                                         const std::vector<CLLocationPtr>& locations) override {
    batches.push_back(locations);
    onMain = onMain && NSThread::isMainThread();
  }
  void locationManagerDidChangeAuthorizationStatus(CLLocationManager&,
                                                   CLAuthorizationStatus status) override {
    statuses.push_back(status);
  }
  void locationManagerDidUpdateHeading(CLLocationManager&, const CLHeadingPtr& heading) override {
    headings.push_back(heading->trueHeading());
  }
  std::vector<std::vector<CLLocationPtr>> batches;
  std::vector<CLAuthorizationStatus> statuses;
  std::vector<double> headings;
  bool onMain = true;
};

}  // namespace

class LocationManagerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gps_ = &ScriptedLocationProvider::installed();
  }
  ScriptedLocationProvider* gps_ = nullptr;
};

TEST_F(LocationManagerTest, DeliversBatchesOnTheMainThreadOnlyWhileUpdatingAndAuthorized) {
  auto manager = CLLocationManager::create();
  auto delegate = std::make_shared<Recorder>();
  manager->setDelegate(delegate);
  drainMainLoop();
  // The status once after creation, as the platform reports it.
  EXPECT_EQ(delegate->statuses, (std::vector<CLAuthorizationStatus>{
                                    kCLAuthorizationStatusAuthorizedWhenInUse}));
  gps_->pushLocations({ScriptedLocationProvider::Fix(1, 2, 5)});
  drainMainLoop();
  EXPECT_TRUE(delegate->batches.empty());

  manager->startUpdatingLocation();
  EXPECT_EQ(gps_->updatingCount(), 1u);
  // Several at once, an invalid fix among them: the batch arrives whole.
  gps_->pushLocations({ScriptedLocationProvider::Fix(1, 2, 65), ScriptedLocationProvider::Fix(3, 4, -1),
                       ScriptedLocationProvider::Fix(5, 6, 10)});
  drainMainLoop();
  ASSERT_EQ(delegate->batches.size(), 1u);
  EXPECT_EQ(delegate->batches[0].size(), 3u);
  EXPECT_TRUE(delegate->onMain);
  EXPECT_DOUBLE_EQ(manager->location()->coordinate().latitude, 5);

  gps_->pushHeading(123);
  drainMainLoop();
  ASSERT_TRUE(manager->heading());
  EXPECT_DOUBLE_EQ(manager->heading()->trueHeading(), 123);

  gps_->changeAuthorization(kCLAuthorizationStatusDenied);
  gps_->pushLocations({ScriptedLocationProvider::Fix(7, 8, 5)});
  drainMainLoop();
  EXPECT_EQ(delegate->statuses.back(), kCLAuthorizationStatusDenied);
  EXPECT_EQ(delegate->batches.size(), 1u);

  gps_->changeAuthorization(kCLAuthorizationStatusAuthorizedAlways);
  manager->stopUpdatingLocation();
  EXPECT_EQ(gps_->updatingCount(), 0u);
  gps_->pushLocations({ScriptedLocationProvider::Fix(7, 8, 5)});
  drainMainLoop();
  EXPECT_EQ(delegate->batches.size(), 1u);

  // A released manager stops listening.
  manager->startUpdatingLocation();
  manager.reset();
  EXPECT_EQ(gps_->updatingCount(), 0u);
  gps_->pushLocations({ScriptedLocationProvider::Fix(7, 8, 5)});
  drainMainLoop();
}

TEST_F(LocationManagerTest, RequestsAskOnlyWhileNotDetermined) {
  gps_->changeAuthorization(kCLAuthorizationStatusNotDetermined);
  gps_->setRequestAnswer(kCLAuthorizationStatusDenied);
  auto manager = CLLocationManager::create();
  auto delegate = std::make_shared<Recorder>();
  manager->setDelegate(delegate);
  manager->requestWhenInUseAuthorization();
  manager->requestWhenInUseAuthorization();
  drainMainLoop();
  EXPECT_EQ(manager->authorizationStatus(), kCLAuthorizationStatusDenied);
  EXPECT_EQ(delegate->statuses, (std::vector<CLAuthorizationStatus>{
                                    kCLAuthorizationStatusNotDetermined,
                                    kCLAuthorizationStatusDenied}));
}

TEST_F(LocationManagerTest, TheEnvironmentsProviderReportsItsFixedPosition) {
  CLLocationProvider::setCurrent(nullptr);
  setenv("QX_LOCATION", "-33.5,151.25,-12,8", 1);
  unsetenv("QX_LOCATION_AUTHORIZATION");
  auto manager = CLLocationManager::create();
  unsetenv("QX_LOCATION");
  auto delegate = std::make_shared<Recorder>();
  manager->setDelegate(delegate);
  manager->startUpdatingLocation();
  drainMainLoop();
  ASSERT_EQ(delegate->batches.size(), 1u);
  const CLLocationPtr& fix = delegate->batches[0][0];
  EXPECT_DOUBLE_EQ(fix->coordinate().latitude, -33.5);
  EXPECT_DOUBLE_EQ(fix->coordinate().longitude, 151.25);
  EXPECT_DOUBLE_EQ(fix->altitude(), -12);
  EXPECT_DOUBLE_EQ(fix->horizontalAccuracy(), 8);

  // Unset: no fix ever comes.
  CLLocationProvider::setCurrent(nullptr);
  auto none = CLLocationManager::create();
  auto quiet = std::make_shared<Recorder>();
  none->setDelegate(quiet);
  none->startUpdatingLocation();
  drainMainLoop();
  EXPECT_TRUE(quiet->batches.empty());
  // Out of range coordinates are no fix either.
  setenv("QX_LOCATION", "95,10", 1);
  CLLocationProvider::setCurrent(nullptr);
  auto bad = CLLocationManager::create();
  unsetenv("QX_LOCATION");
  bad->setDelegate(quiet);
  bad->startUpdatingLocation();
  drainMainLoop();
  EXPECT_TRUE(quiet->batches.empty());
}

}  // namespace location_manager_test
