#pragma once

// A test program that dies of a signal (an abort, a fatal stop, a bad
// access) says where: the signal, the test that was running, the thread, and
// the stack, on stderr. Then the signal's default action runs, so ctest and
// a death test's parent still see the process killed by it.
//
// Only signals nobody handles yet are taken: the sanitizers handle SIGSEGV,
// SIGBUS and SIGFPE themselves and report better than this can. A handler
// installed later (the image I/O layer's SIGBUS one) passes on to this one
// what is not its own.

#include <string>

// Installs the handlers. Call once, at the start of main.
// `symbolize`: name functions and lines in the trace, where the build has a
// sanitizer runtime that can (it runs a symbolizer process: seconds in a
// large program, so death-test children, which die on purpose, pass false).
void InstallCrashTrace(bool symbolize);

// What the program is doing, for the trace to name: "test Suite.Name" (the
// test main keeps it current), "input <file>"; empty between them. A trace
// taken while it changes may show it half written, nothing worse.
void SetCrashTraceLabel(const std::string& label);
