#pragma once

// Misuse that cannot happen in a correct build stops the process with a fixed
// message on stderr, as the platform's assertion handler does.

#include <string>

[[noreturn]] void FatalStop(const std::string& message);

// "Invalid parameter not satisfying: <expression>"
#define NSParameterAssert(condition)                                              \
  do {                                                                            \
    if (!(condition)) FatalStop("Invalid parameter not satisfying: " #condition); \
  } while (0)

#define NSAssert(condition, message)     \
  do {                                   \
    if (!(condition)) FatalStop(message); \
  } while (0)
