// The media libraries are loaded on first use: a library or a function that
// is missing is reported by name, never half loaded, and the camera's
// devices are registered with libavformat once loaded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/avfoundation/LibavLibrary.h"
#include "support/TestEnvironment.h"

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
  EXPECT_NE(Libav().av_find_input_format("video4linux2"), nullptr);
  // A second load is the first one's answer.
  EXPECT_TRUE(LibavLoadDevices(nullptr));
}
