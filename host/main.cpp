#include <malloc.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>

#include "host/AppDelegate.h"
#include "host/HostArguments.h"
#include "host/HostClasses.h"
#include "host/HostSettings.h"
#include "platform/flutter/FlutterJSONDriver.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/ProcessExit.h"
#include "platform/uikit/UIApplication.h"

namespace {

// How long a stop signal waits for the main thread to begin the end before
// the process ends without it.
constexpr double kStopSignalGraceSeconds = 10;

// The one end of the application, whether input ended or a stop signal
// came: the observers of its end (the temporary folders' among them) run
// once. Main thread.
void endApplication() {
  static bool ended = false;
  if (ended) return;
  ended = true;
  UIApplication::sharedApplication()->terminate();
}

// Stands in for the engine's connection to its Dart side: once the application
// has launched, channel traffic comes from standard input as JSON lines and
// replies and events go to standard output; end of input ends the application.
void attachDriverAfterLaunch() {
  NSRunLoop::mainRunLoop().perform([] {
    auto app = UIApplication::sharedApplication();
    auto delegate = std::dynamic_pointer_cast<FlutterAppDelegate>(app->delegate());
    if (!delegate || !delegate->engine()) return;
    // A large reply comes in pieces and goes out as they come; the driver
    // holds its lock until the line's last piece, so lines never mix.
    auto driver = FlutterJSONDriver::create(
        delegate->engine(),
        FlutterJSONDriver::PieceWriter([](std::string_view piece, bool lineEnds) {
          std::fwrite(piece.data(), 1, piece.size(), stdout);
          if (!lineEnds) return;
          std::fputc('\n', stdout);
          std::fflush(stdout);
        }));
    // The end of the driver's work holds its last owner: it goes with the
    // application's end, and a reply that comes later finds it gone.
    driver->serve(
        std::cin,
        [driver]() mutable {
          endApplication();
          driver.reset();
        },
        HostExitWaitSeconds());
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (auto status = HandleHostArguments(argc, argv, stdout, stderr)) return *status;
  // Large blocks are mapped on their own and unmapped when freed. Left to
  // itself, the allocator raises this threshold after a large free, and the
  // next long request line's buffers then stay in a thread's heap for good.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  CheckHostSettings();
  registerHostClasses();
  attachDriverAfterLaunch();
  // A stop signal ends the application at once, as end of input does once
  // the replies are written: replies still missing are not waited for.
  EndProcessOnStopSignals([] { NSRunLoop::mainRunLoop().perform([] { endApplication(); }); },
                          kStopSignalGraceSeconds);
  const int status = UIApplicationMain(argc, argv, std::nullopt, AppDelegate::kRuntimeName);
  // The run loop has stopped, but dispatch workers may still be decoding a
  // photo or writing a file for the objects the statics hold: returning
  // would destroy those under them.
  EndProcessWithoutStaticDestructors(status);
}
