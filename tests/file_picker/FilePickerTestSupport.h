#pragma once

// The file picker plugin on a test engine, with a key window to present from,
// a scripted picker provider playing the user, the container in a scratch
// folder and the event channel listened to.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "file_picker/FilePickerPlugin.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"
#include "support/photos/MediaFixtures.h"
#include "support/ui/ScriptedPickerProvider.h"

class UIWindow;

inline constexpr const char* kPickerChannel = "corvinstead.flutter.plugins.filepicker";
inline constexpr const char* kPickerEvents = "corvinstead.flutter.plugins.filepickerevent";

using PendingCall = std::shared_ptr<std::optional<FlutterMethodOutcome>>;

class FilePickerTest : public PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts a call without waiting for its reply. When the reply comes, the
  // events received by then are kept in eventsAtReply_.
  PendingCall start(const std::string& method, const Value& arguments = Value());
  // Lets the picker's presentation finish, so it asks the provider.
  void showPicker();
  // Runs the main loop until the call is answered (bounded).
  FlutterMethodOutcome finish(const PendingCall& call);
  // Start, show, answer with `answer`, finish.
  FlutterMethodOutcome pick(const std::string& method, const Value& arguments,
                            UISystemPickerAnswer answer);
  // The values of the events received so far.
  std::vector<Value> events();

  TempFolder scratch_;
  std::string container_;
  std::unique_ptr<TestPeer> peer_;
  std::shared_ptr<ScriptedPickerProvider> provider_;
  std::shared_ptr<UIWindow> window_;
  std::vector<Value> eventsAtReply_;
};

// The mkdir calls this test program made so far, by any caller, and how many
// of them failed; the difference of two counts is what happened between.
struct MkdirCount {
  int64_t calls = 0;
  int64_t failed = 0;
  MkdirCount operator-(const MkdirCount& earlier) const {
    return {calls - earlier.calls, failed - earlier.failed};
  }
};
MkdirCount CountedMkdirs();

// A file's whole contents ("" when it cannot be read).
std::string ReadText(const std::string& path);
// Map entries of a reply list element.
const Value* Field(const Value& map, const char* key);
