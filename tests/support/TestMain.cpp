#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/foundation/Dispatch.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

// GCC names the address sanitizer with a macro, clang with __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define QX_TEST_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QX_TEST_LEAK_CHECKED 1
#endif
#endif

#if defined(QX_TEST_LEAK_CHECKED)
// What the libraries keep for the life of the process, as the image I/O layer
// tells the leak checker (x265's one allocation, the font patterns fontconfig
// finds for poppler): every test program gets the list, also one that reads
// PDFs without linking that layer.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libx265.so\nleak:libfontconfig.so\n";
}
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Background queues run threads; the default "fast" death-test style forks a
  // threaded process, which can deadlock.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A test that scripts no container still writes caches and preferences
  // somewhere: a container of the run's own, never the user's, so runs cannot
  // see each other's files.
  TempFolder container;
  if (!std::getenv("QX_APP_HOME")) ::setenv("QX_APP_HOME", container.path().c_str(), 1);
  int result = RUN_ALL_TESTS();
  // The pool's workers outlive main: a block still running there would race
  // static destruction and the libraries' exit handlers (and can crash or
  // hang the exit). Such a run fails here, with no exit handlers run.
  if (!RunMainLoopUntil(DispatchWorkersIdle)) {
    std::fprintf(stderr, "Work was still running on background queues at exit\n");
    std::fflush(stderr);
    std::_Exit(1);
  }
  return result;
}
