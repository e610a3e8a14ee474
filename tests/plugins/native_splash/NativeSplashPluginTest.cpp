#include <gtest/gtest.h>

#include "platform/foundation/NSProcessInfo.h"
#include "plugins/native_splash/NativeSplashPlugin.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"
#include "support/ScriptedSystemInfo.h"

namespace native_splash_plugin_test {

namespace {

using NativeSplashPluginTest = PlatformTest;

TEST_F(NativeSplashPluginTest, AnswersThePlatformVersion) {
  TestPeer peer;
  NativeSplashPlugin::registerWithRegistrar(peer.registrar("NativeSplashPlugin"));
  auto system = ScriptedSystemInfo::install();
  system->setOperatingSystemVersion({17, 0, 0});
  auto o = peer.call("native_splash", "getPlatformVersion");
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_EQ(o.result, Value("iOS 17.0"));
  system->setOperatingSystemVersion({18, 2, 1});
  EXPECT_EQ(peer.call("native_splash", "getPlatformVersion", Value(3)).result, Value("iOS 18.2.1"));

  EXPECT_TRUE(IsNotImplemented(peer.call("native_splash", "getPlatformVersion ")));
  EXPECT_TRUE(IsNotImplemented(peer.call("native_splash", "getBatteryLevel")));
}

}  // namespace

}  // namespace native_splash_plugin_test
