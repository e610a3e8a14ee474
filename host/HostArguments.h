#pragma once

// The host's command line. The host takes no arguments of its own: its
// settings are environment variables. `--help` (or `-h`) prints how to run
// it and which settings it reads; anything else is refused with the same
// text, so that a mistyped option is never silently ignored.

#include <cstdio>
#include <optional>
#include <string>

// What `host --help` prints.
std::string HostUsage();

// Looks at the arguments after the program name. nullopt: none, serve as
// usual. Otherwise the process's exit status, the usage having been written
// to `out` (help: 0) or to `err` with the argument named (anything else: 2).
std::optional<int> HandleHostArguments(int argc, char** argv, std::FILE* out, std::FILE* err);
