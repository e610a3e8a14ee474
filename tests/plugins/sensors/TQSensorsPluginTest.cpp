#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/coremotion/CMAltimeter.h"
#include "platform/coremotion/CMMotionHardware.h"
#include "platform/coremotion/CMMotionManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSRunLoop.h"
#include "plugins/sensors/TQSensorsPlugin.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"
#include "support/motion/ScriptedMotionHardware.h"

namespace tq_sensors_plugin_test {

namespace {

const std::string kMethod = TQSensorsPlugin::kMethodChannelName;
const std::string kAccelerometer = TQSensorsPlugin::kAccelerometerChannelName;
const std::string kUserAccel = TQSensorsPlugin::kUserAccelChannelName;
const std::string kGyroscope = TQSensorsPlugin::kGyroscopeChannelName;
const std::string kMagnetometer = TQSensorsPlugin::kMagnetometerChannelName;
const std::string kBarometer = TQSensorsPlugin::kBarometerChannelName;

const CMSensor kAllSensors[] = {CMSensor::Accelerometer, CMSensor::DeviceMotion, CMSensor::Gyro,
                                CMSensor::Magnetometer, CMSensor::Barometer};

class SensorsTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    for (auto s : kAllSensors) hardware().setAvailable(s, true);
    TQSensorsPlugin::registerWithRegistrar(peer.registrar("TQSensorsPlugin"));
  }

  void TearDown() override {
    // The manager and its intervals outlive the test: leave them as found.
    for (const auto& channel :
         {kAccelerometer, kUserAccel, kGyroscope, kMagnetometer, kBarometer}) {
      peer.cancel(channel);
    }
    for (const char* method :
         {"setAccelerationSamplingPeriod", "setUserAccelerometerSamplingPeriod",
          "setGyroscopeSamplingPeriod", "setMagnetometerSamplingPeriod"}) {
      peer.call(kMethod, method, Value(int32_t{200000}));
    }
    for (auto s : kAllSensors) hardware().setAvailable(s, false);
    PlatformTest::TearDown();
  }

  static ScriptedMotionHardware& hardware() { return ScriptedMotionHardware::installed(); }

  // The payload of the `index`th event of `channel`, once it has arrived.
  std::vector<double> payload(const std::string& channel, size_t index) {
    if (!peer.waitForEvents(channel, index + 1)) return {};
    const auto& e = peer.events(channel)[index];
    EXPECT_EQ(e.kind, FlutterStreamEvent::Kind::Value);
    EXPECT_EQ(e.value.type(), Value::Type::Float64List);
    return e.value.asFloat64List();
  }

  size_t settledEventCount(const std::string& channel) {
    NSRunLoop::mainRunLoop().runUntilIdle();
    return peer.events(channel).size();
  }

  static double micros(double secondsSinceBoot) {
    return secondsSinceBoot * 1e6 + TQSensorsPlugin::bootTimeOffsetMicros();
  }

  TestPeer peer;
};

TEST_F(SensorsTest, AccelerometerEventsAreMetresPerSecondSquaredWithEpochMicros) {
  ASSERT_TRUE(IsSuccess(peer.listen(kAccelerometer)));
  // A device lying flat, screen up: the platform reports about -1 g on z.
  hardware().pushSample(CMSensor::Accelerometer, 100.0, 0.01, -0.02, -1.0);
  auto p = payload(kAccelerometer, 0);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_DOUBLE_EQ(p[0], 0.01 * -9.81);
  EXPECT_DOUBLE_EQ(p[1], -0.02 * -9.81);
  EXPECT_DOUBLE_EQ(p[2], 9.81);
  EXPECT_DOUBLE_EQ(p[3], micros(100.0));

  // 0.5 s later by the sample's own clock: 500000 µs later.
  hardware().pushSample(CMSensor::Accelerometer, 100.5, 0, 0, -1.0);
  auto q = payload(kAccelerometer, 1);
  ASSERT_EQ(q.size(), 4u);
  EXPECT_NEAR(q[3] - p[3], 500000, 1e-3);
}

TEST_F(SensorsTest, BootOffsetPlacesUptimeOnTheWallClock) {
  using namespace std::chrono;
  const double wall = duration<double>(system_clock::now().time_since_epoch()).count();
  const double uptime = NSProcessInfo::processInfo().systemUptime();
  // A sample taken now carries about now as its timestamp.
  EXPECT_NEAR(micros(uptime) / 1e6, wall, 1.0);
}

TEST_F(SensorsTest, EachSensorKeepsItsOwnUnits) {
  for (const auto& channel : {kUserAccel, kGyroscope, kMagnetometer, kBarometer}) {
    ASSERT_TRUE(IsSuccess(peer.listen(channel))) << channel;
  }
  hardware().pushSample(CMSensor::DeviceMotion, 7.0, 0.5, 0, -0.25);
  hardware().pushSample(CMSensor::Gyro, 7.0, 0.1, -0.2, 3.0);
  hardware().pushSample(CMSensor::Magnetometer, 7.0, 22.5, -4.0, -40.0);
  hardware().pushPressure(7.0, 101.325);

  EXPECT_EQ(payload(kUserAccel, 0),
            (std::vector<double>{0.5 * -9.81, 0 * -9.81, 2.4525, micros(7.0)}));
  EXPECT_EQ(payload(kGyroscope, 0), (std::vector<double>{0.1, -0.2, 3.0, micros(7.0)}));
  EXPECT_EQ(payload(kMagnetometer, 0), (std::vector<double>{22.5, -4.0, -40.0, micros(7.0)}));
  auto barometer = payload(kBarometer, 0);
  ASSERT_EQ(barometer.size(), 2u);
  EXPECT_NEAR(barometer[0], 1013.25, 1e-9);
  EXPECT_DOUBLE_EQ(barometer[1], micros(7.0));
}

TEST_F(SensorsTest, SensorErrorsArriveAsUnavailableAndTheStreamGoesOn) {
  ASSERT_TRUE(IsSuccess(peer.listen(kGyroscope)));
  hardware().pushError(CMSensor::Gyro, NSError::errorWithDescription(
                                           "CMErrorDomain", 103, "Gyroscope is not responding"));
  ASSERT_TRUE(peer.waitForEvents(kGyroscope, 1));
  const auto& e = peer.events(kGyroscope)[0];
  EXPECT_EQ(e.kind, FlutterStreamEvent::Kind::Error);
  EXPECT_EQ(e.code, "UNAVAILABLE");
  EXPECT_EQ(e.message, std::optional<std::string>("Gyroscope is not responding"));
  EXPECT_TRUE(e.details.isNull());

  hardware().pushSample(CMSensor::Gyro, 1.0, 1, 2, 3);
  EXPECT_EQ(payload(kGyroscope, 1).size(), 4u);
}

TEST_F(SensorsTest, CancelStopsTheSensorAndListeningAgainRestartsIt) {
  ASSERT_TRUE(IsSuccess(peer.listen(kMagnetometer)));
  auto manager = TQSensorsPlugin::sharedMotionManager();
  ASSERT_TRUE(manager);
  EXPECT_TRUE(manager->isMagnetometerActive());
  ASSERT_TRUE(IsSuccess(peer.cancel(kMagnetometer)));
  EXPECT_FALSE(manager->isMagnetometerActive());
  hardware().pushSample(CMSensor::Magnetometer, 3.0, 1, 1, 1);
  EXPECT_EQ(settledEventCount(kMagnetometer), 0u);

  ASSERT_TRUE(IsSuccess(peer.listen(kMagnetometer)));
  hardware().pushSample(CMSensor::Magnetometer, 3.0, 9, 9, 9);
  EXPECT_EQ(payload(kMagnetometer, 0)[0], 9);
  EXPECT_EQ(TQSensorsPlugin::sharedMotionManager(), manager);
}

TEST_F(SensorsTest, MissingBarometerFailsTheListenAndCancelStaysHarmless) {
  hardware().setAvailable(CMSensor::Barometer, false);
  auto o = peer.listen(kBarometer);
  ASSERT_TRUE(IsError(o, "UNAVAILABLE"));
  EXPECT_EQ(o.message, std::optional<std::string>("Barometer is not available on this device"));
  EXPECT_TRUE(o.details.isNull());
  // The engine answers a cancel without a stream; the plugin is not reached.
  auto c = peer.cancel(kBarometer);
  EXPECT_NE(c.kind, FlutterMethodOutcome::Kind::Malformed);
  EXPECT_FALSE(TQSensorsPlugin::ensureAltimeter()->isRelativeAltitudeActive());
  hardware().pushPressure(1.0, 100);
  EXPECT_EQ(settledEventCount(kBarometer), 0u);
}

TEST_F(SensorsTest, SamplingPeriodSetsOnlyItsSensorsInterval) {
  auto o = peer.call(kMethod, "setAccelerationSamplingPeriod", Value(int32_t{10000}));
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
  auto manager = TQSensorsPlugin::sharedMotionManager();
  ASSERT_TRUE(manager);
  EXPECT_DOUBLE_EQ(manager->accelerometerUpdateInterval(), 0.01);
  EXPECT_DOUBLE_EQ(manager->deviceMotionUpdateInterval(), 0.2);
  EXPECT_DOUBLE_EQ(manager->gyroUpdateInterval(), 0.2);
  EXPECT_DOUBLE_EQ(manager->magnetometerUpdateInterval(), 0.2);
  ASSERT_TRUE(
      IsSuccess(peer.call(kMethod, "setMagnetometerSamplingPeriod", Value(int64_t{5000000000}))));
  EXPECT_DOUBLE_EQ(manager->magnetometerUpdateInterval(), 5000);
}

TEST_F(SensorsTest, PeriodSetBeforeListeningPacesTheEvents) {
  ASSERT_TRUE(IsSuccess(peer.call(kMethod, "setGyroscopeSamplingPeriod", Value(int32_t{500000}))));
  ASSERT_TRUE(IsSuccess(peer.listen(kGyroscope)));
  hardware().pushSample(CMSensor::Gyro, 1.0, 1, 0, 0);
  ASSERT_EQ(payload(kGyroscope, 0).size(), 4u);
  hardware().pushSample(CMSensor::Gyro, 1.2, 2, 0, 0);  // inside the period: dropped
  hardware().pushSample(CMSensor::Gyro, 1.5, 3, 0, 0);
  auto p = payload(kGyroscope, 1);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0], 3);
  EXPECT_EQ(settledEventCount(kGyroscope), 2u);
}

TEST_F(SensorsTest, BarometerPeriodIsAcceptedButDoesNotPace) {
  ASSERT_TRUE(IsSuccess(peer.call(kMethod, "setBarometerSamplingPeriod", Value(int32_t{1000000}))));
  ASSERT_TRUE(IsSuccess(peer.listen(kBarometer)));
  for (int i = 0; i < 3; ++i) {
    hardware().pushPressure(2.0 + 0.01 * i, 100.0 + i);
    ASSERT_EQ(payload(kBarometer, i).size(), 2u) << i;
  }
  EXPECT_NEAR(peer.events(kBarometer)[2].value.asFloat64List()[0], 1020, 1e-9);
}

TEST_F(SensorsTest, FirstPeriodCreatesTheSharedManager) {
  if (TQSensorsPlugin::sharedMotionManager()) {
    GTEST_SKIP() << "an earlier test in this process created the manager";
  }
  ASSERT_TRUE(
      IsSuccess(peer.call(kMethod, "setUserAccelerometerSamplingPeriod", Value(int32_t{20000}))));
  auto manager = TQSensorsPlugin::sharedMotionManager();
  ASSERT_TRUE(manager);
  EXPECT_DOUBLE_EQ(manager->deviceMotionUpdateInterval(), 0.02);
  EXPECT_DOUBLE_EQ(manager->accelerometerUpdateInterval(), 0.2);
}

TEST_F(SensorsTest, BadPeriodsAreRefusedAndUnknownMethodsNotImplemented) {
  for (const Value& bad :
       {Value(), Value("fast"), Value(0.5), Value::map({{"period", Value(1)}})}) {
    auto o = peer.call(kMethod, "setAccelerationSamplingPeriod", bad);
    EXPECT_TRUE(IsError(o, "INVALID_ARGUMENT")) << bad.description();
  }
  EXPECT_TRUE(IsNotImplemented(peer.call(kMethod, "setSamplingPeriod", Value(int32_t{1000}))));
  EXPECT_TRUE(IsNotImplemented(peer.call(kMethod, "listen")));
  auto manager = TQSensorsPlugin::sharedMotionManager();
  if (manager) {
    EXPECT_DOUBLE_EQ(manager->accelerometerUpdateInterval(), 0.2);
  }
}

}  // namespace

}  // namespace tq_sensors_plugin_test
