#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/foundation/Dispatch.h"
#include "support/CrashTrace.h"
#include "support/TempFolder.h"
#include "platform/foundation/BuildFlags.h"
#include "support/TestEnvironment.h"

#if defined(QX_LEAK_CHECKED)
// What the libraries keep for the life of the process, as the image I/O layer
// tells the leak checker (x265's one allocation, the font patterns fontconfig
// finds for poppler): every test program gets the list, also one that reads
// PDFs without linking that layer.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libx265.so\nleak:libfontconfig.so\n";
}
#endif

namespace {

class TestNameKeeper : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& test) override {
    SetCrashTraceLabel(std::string("test ") + test.test_suite_name() + "." + test.name());
  }
  void OnTestEnd(const ::testing::TestInfo&) override { SetCrashTraceLabel(""); }
};

}  // namespace

int main(int argc, char** argv) {
  // A death test's child is run with the internal flag, after a filter that
  // names its test alone. It dies on purpose, so its trace needs no
  // symbolizer run; and gtest tells its listeners nothing, so the name comes
  // from the filter.
  bool deathTestChild = false;
  std::string filter;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--gtest_internal_run_death_test", 31) == 0) deathTestChild = true;
    if (std::strncmp(argv[i], "--gtest_filter=", 15) == 0) filter = argv[i] + 15;
  }
  ::testing::InitGoogleTest(&argc, argv);
  InstallCrashTrace(!deathTestChild);
  if (deathTestChild) {
    SetCrashTraceLabel("test " + filter + " (a death test's child)");
  } else {
    ::testing::UnitTest::GetInstance()->listeners().Append(new TestNameKeeper);
  }
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
