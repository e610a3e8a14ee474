#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/coremotion/CMAltimeter.h"
#include "platform/coremotion/CMMotionManager.h"
#include "platform/foundation/NSOperation.h"
#include "support/TestEnvironment.h"
#include "support/motion/ScriptedMotionHardware.h"

namespace cm_motion_manager_test {

namespace {

struct Received {
  double timestamp = 0;
  double x = 0, y = 0, z = 0;
  NSErrorPtr error;
  bool onQueue = false;
};

// Collects what a handler receives on its queue.
class Inbox {
 public:
  void add(Received r) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(r));
  }
  std::vector<Received> items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::vector<Received> items_;
};

class CMMotionManagerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    queue = std::make_shared<NSOperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
  }
  void TearDown() override {
    for (auto s : {CMSensor::Accelerometer, CMSensor::DeviceMotion, CMSensor::Gyro,
                   CMSensor::Magnetometer, CMSensor::Barometer}) {
      hardware().setAvailable(s, false);
    }
    PlatformTest::TearDown();
  }
  static ScriptedMotionHardware& hardware() { return ScriptedMotionHardware::installed(); }
  bool drained() { return queue->waitUntilAllOperationsAreFinished(5); }

  CMAccelerometerHandler accelerometerInbox() {
    auto q = queue;
    return [this, q](CMAccelerometerDataPtr data, NSErrorPtr error) {
      Received r;
      r.error = error;
      r.onQueue = NSOperationQueue::currentQueue() == q;
      if (data) {
        r.timestamp = data->timestamp();
        r.x = data->acceleration().x;
        r.y = data->acceleration().y;
        r.z = data->acceleration().z;
      }
      inbox.add(r);
    };
  }

  std::shared_ptr<NSOperationQueue> queue;
  Inbox inbox;
};

TEST_F(CMMotionManagerTest, AbsentSensorNeverStartsNorDelivers) {
  CMMotionManager manager;
  EXPECT_FALSE(manager.isAccelerometerAvailable());
  manager.startAccelerometerUpdatesToQueue(queue, accelerometerInbox());
  EXPECT_FALSE(manager.isAccelerometerActive());
  hardware().pushSample(CMSensor::Accelerometer, 1.0, 0, 0, -1);
  ASSERT_TRUE(drained());
  EXPECT_TRUE(inbox.items().empty());
}

TEST_F(CMMotionManagerTest, DeliversOnTheQueueAtMostOncePerInterval) {
  hardware().setAvailable(CMSensor::Accelerometer, true);
  CMMotionManager manager;
  EXPECT_DOUBLE_EQ(manager.accelerometerUpdateInterval(), 0.01);
  manager.setAccelerometerUpdateInterval(0.1);
  manager.startAccelerometerUpdatesToQueue(queue, accelerometerInbox());
  EXPECT_TRUE(manager.isAccelerometerActive());
  // Offered every 50 ms: only every other reading is a full interval after
  // the last one delivered; 0.3 is exactly one interval after 0.2.
  for (double t : {0.0, 0.05, 0.1, 0.15, 0.2, 0.3}) {
    hardware().pushSample(CMSensor::Accelerometer, 10 + t, t, 2 * t, -1);
  }
  ASSERT_TRUE(drained());
  auto items = inbox.items();
  ASSERT_EQ(items.size(), 4u);
  const double expected[] = {0.0, 0.1, 0.2, 0.3};
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_NEAR(items[i].timestamp, 10 + expected[i], 1e-12);
    EXPECT_DOUBLE_EQ(items[i].x, expected[i]);
    EXPECT_DOUBLE_EQ(items[i].y, 2 * expected[i]);
    EXPECT_DOUBLE_EQ(items[i].z, -1);
    EXPECT_TRUE(items[i].onQueue);
    EXPECT_FALSE(items[i].error);
  }
}

TEST_F(CMMotionManagerTest, ErrorsPassWithoutDataAndStopEndsDelivery) {
  hardware().setAvailable(CMSensor::Accelerometer, true);
  CMMotionManager manager;
  manager.setAccelerometerUpdateInterval(1.0);
  manager.startAccelerometerUpdatesToQueue(queue, accelerometerInbox());
  hardware().pushSample(CMSensor::Accelerometer, 5.0, 1, 0, 0);
  // Errors are not paced by the interval.
  hardware().pushError(CMSensor::Accelerometer,
                       NSError::errorWithDescription("CMErrorDomain", 102, "Sensor failed"));
  ASSERT_TRUE(drained());
  manager.stopAccelerometerUpdates();
  EXPECT_FALSE(manager.isAccelerometerActive());
  hardware().pushSample(CMSensor::Accelerometer, 9.0, 1, 0, 0);
  ASSERT_TRUE(drained());
  auto items = inbox.items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_FALSE(items[0].error);
  ASSERT_TRUE(items[1].error);
  EXPECT_EQ(items[1].error->localizedDescription(), "Sensor failed");
}

TEST_F(CMMotionManagerTest, RestartingReplacesHandlerAndRestartsPacing) {
  hardware().setAvailable(CMSensor::Gyro, true);
  CMMotionManager manager;
  manager.setGyroUpdateInterval(1.0);
  std::vector<int> calls;
  std::mutex mutex;
  auto recordAs = [&](int which) {
    return [&, which](CMGyroDataPtr data, NSErrorPtr) {
      std::lock_guard<std::mutex> lock(mutex);
      if (data) calls.push_back(which);
    };
  };
  manager.startGyroUpdatesToQueue(queue, recordAs(1));
  hardware().pushSample(CMSensor::Gyro, 1.0, 0.5, 0, 0);
  ASSERT_TRUE(drained());
  manager.startGyroUpdatesToQueue(queue, recordAs(2));
  // A fresh session delivers its first reading whatever came before.
  hardware().pushSample(CMSensor::Gyro, 1.1, 0.5, 0, 0);
  ASSERT_TRUE(drained());
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
}

TEST_F(CMMotionManagerTest, AltimeterReportsPressureAndAltitudeSinceStart) {
  EXPECT_FALSE(CMAltimeter::isRelativeAltitudeAvailable());
  hardware().setAvailable(CMSensor::Barometer, true);
  EXPECT_TRUE(CMAltimeter::isRelativeAltitudeAvailable());
  CMAltimeter altimeter;
  std::vector<CMAltitudeDataPtr> readings;
  altimeter.startRelativeAltitudeUpdatesToQueue(queue, [&](CMAltitudeDataPtr d, NSErrorPtr) {
    if (d) readings.push_back(d);
  });
  // No interval: readings 1 ms apart all arrive.
  hardware().pushPressure(3.000, 101.325);
  hardware().pushPressure(3.001, 101.325);
  hardware().pushPressure(3.002, 100.0);
  ASSERT_TRUE(drained());
  altimeter.stopRelativeAltitudeUpdates();
  ASSERT_EQ(readings.size(), 3u);
  EXPECT_DOUBLE_EQ(readings[0]->pressure(), 101.325);
  EXPECT_DOUBLE_EQ(readings[0]->relativeAltitude(), 0);
  EXPECT_DOUBLE_EQ(readings[1]->relativeAltitude(), 0);
  // About 110 m higher for 1.3 kPa less near sea level.
  EXPECT_NEAR(readings[2]->relativeAltitude(), 110, 3);
  EXPECT_DOUBLE_EQ(readings[2]->timestamp(), 3.002);
}

}  // namespace

}  // namespace cm_motion_manager_test
