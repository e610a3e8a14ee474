#pragma once

// Shared instances that hold process-wide state register how to return to
// their first-use state; the test environment runs every registered reset
// between tests so that no test sees what an earlier one left behind. The
// running host never calls runAll().

#include <functional>

namespace SingletonResets {

// Safe from any thread; a shared instance registers once, when it is made.
void add(std::function<void()> reset);
// Runs every registered reset, in registration order, on the calling thread.
void runAll();

}  // namespace SingletonResets
