#pragma once

// The driver's requests about the screen, for a person or a script driving
// the running host: a PNG of the key window, the key window's view tree, and
// touches (tap, long press, drag, pinch) played through the window on the
// main thread as the same touch sequences the tests use, on the platform
// clock. See README.md for the line format.

#include <functional>
#include <string>

#include "platform/foundation/Value.h"

namespace FlutterDriverScreen {

// Called once with the reply's key ("result", "error" or "badRequest") and
// its JSON value.
using Answer = std::function<void(const std::string& key, const Value& json)>;

// Writes the key window as a PNG (screen scale) to the absolute path given.
void snapshot(const Value& path, const Answer& answer);
// The key window's views, depth first: class, frame in window coordinates,
// accessibility identifier and label, text, hidden, enabled, selected and the
// children.
void viewTree(const Answer& answer);
// Plays the touch described by `touch` and answers once the last event was
// delivered. It first waits (on the clock, the main run loop running) until
// no transition (presentation, dismissal, push or pop, or a controller's
// own, such as a popover opening or closing) runs in the key window, and is
// answered "busy" unplayed when one still runs after 10 seconds; a touch
// whose first fingers land where no view takes touches is answered
// "no_view" unplayed.
void touch(const Value& touch, Answer answer);
// Answers once the main queue has run no other work and no animation has
// run for half a second; "not_idle" after 30 seconds.
void idle(Answer answer);

}  // namespace FlutterDriverScreen
