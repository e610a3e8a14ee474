// The media libraries are loaded on first use: a library or a function that
// is missing is reported by name, never half loaded, and the camera's
// devices are registered with libavformat once loaded.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVCaptureHardware.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "support/RecordedLog.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/camera/CameraFixtures.h"

namespace libav_library_test {

using ::testing::Contains;
using ::testing::HasSubstr;

using LibavLibraryTest = PlatformTest;

TEST_F(LibavLibraryTest, MissingLibrariesAndFunctionsAreNamed) {
  const std::vector<std::string> all = LibavLibraryNames();
  ASSERT_EQ(all.size(), 5u);
  // libavcodec links libswresample: its functions are still looked for in
  // their own library, not found through another.
  std::vector<std::string> otherResampler = all;
  otherResampler.back() = "libz.so.1";
  ASSERT_EQ(all.back().rfind("libswresample.so.", 0), 0u);
  struct Case {
    const char* name;
    std::vector<std::string> libraries;
    bool loads;
    std::string why;  // what the reason starts with
  } cases[] = {
      {"every library", all, true, ""},
      {"no such file", {"libqx-absent.so.1"}, false, "libqx-absent.so.1"},
      // Fewer libraries than the table names: the first one past the end is
      // missing, not read from beyond the list.
      {"only the first", {all.front()}, false, "libavcodec has no av_packet_alloc"},
      {"a library without libav", {"libz.so.1"}, false, "libavutil has no av_audio_fifo_alloc"},
      // The last function of the table is checked as well as the first.
      {"one library replaced", otherResampler, false, "libswresample has no swr_alloc_set_opts2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LibavFunctions functions;
    std::string why;
    EXPECT_EQ(LibavResolve(c.libraries, functions, why), c.loads);
    EXPECT_EQ(why.substr(0, c.why.size()), c.why);
    // Nothing of a failed load is handed out.
    EXPECT_EQ(functions.av_frame_alloc != nullptr, c.loads);
    EXPECT_EQ(functions.swr_init != nullptr, c.loads);
  }
}

TEST_F(LibavLibraryTest, LoadedFunctionsWorkAndDevicesRegisterWithTheFormats) {
  NSErrorPtr error;
  ASSERT_TRUE(LibavLoad(&error));
  EXPECT_FALSE(error);
  AVFrame* frame = Libav().av_frame_alloc();
  ASSERT_NE(frame, nullptr);
  Libav().av_frame_free(&frame);
  EXPECT_EQ(frame, nullptr);
  ASSERT_TRUE(LibavLoadDevices(&error)) << error->localizedDescription();
  EXPECT_TRUE(LibavDevicesLoaded());
  EXPECT_NE(Libav().av_find_input_format("video4linux2"), nullptr);
  // A second load is the first one's answer.
  EXPECT_TRUE(LibavLoadDevices(nullptr));
  // libav's own messages go to the log, never to stderr, where the host's
  // driver talks.
  auto log = RecordedLog::install();
  ASSERT_TRUE(AVLoadMediaLibraries(&error));
  av_log(nullptr, AV_LOG_ERROR, "a damaged header\n");
  EXPECT_THAT(log->messages(), Contains(HasSubstr("a damaged header")));
}

namespace {

// In a process whose libavdevice is not libav's: a clip still serves as a
// camera without libavdevice even being opened, and the devices' loader says
// what is missing (on stderr) and publishes nothing.
int OpenClipWithoutDevices(const std::string& clip) {
  NSErrorPtr error;
  auto source = AVOpenCaptureSource(clip, error);
  const bool opened = source && source->frameAt(0, error) != nullptr;
  if (!LibavLoaded() || LibavDevicesLoaded()) return 3;
  if (::dlopen(LibavDeviceLibraryName().c_str(), RTLD_LAZY | RTLD_NOLOAD)) return 4;
  if (LibavLoadDevices(&error)) return 1;
  if (LibavDevicesLoaded()) return 5;
  std::fputs(error->localizedDescription().c_str(), stderr);
  std::fflush(stderr);
  return opened ? 0 : 2;
}

}  // namespace

// libavdevice is taken away as on a system without it: another library under
// its name, first on the search path of a fresh process (the threadsafe death
// test starts one).
TEST_F(LibavLibraryTest, AClipIsACameraWithoutTheDeviceLibrary) {
  TempFolder scratch;
  const std::string clip = scratch.path() + "/clip.avi";
  ASSERT_TRUE(camera_test::WriteClip(clip, 64, 48, 2, 10));
  void* zlib = ::dlopen("libz.so.1", RTLD_LAZY);
  link_map* map = nullptr;
  ASSERT_TRUE(zlib && ::dlinfo(zlib, RTLD_DI_LINKMAP, &map) == 0);
  std::filesystem::copy_file(map->l_name, scratch.path() + "/" + LibavDeviceLibraryName());
  ::setenv("LD_LIBRARY_PATH", scratch.path().c_str(), 1);
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(OpenClipWithoutDevices(clip)), ::testing::ExitedWithCode(0),
              "The camera devices cannot be loaded: .*has no avdevice_register_all");
  GTEST_FLAG_SET(death_test_style, style);
  ::unsetenv("LD_LIBRARY_PATH");
}

}  // namespace libav_library_test
