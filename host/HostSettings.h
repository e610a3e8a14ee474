#pragma once

// The settings of README's table that take a closed set of values, a format
// or a path, checked once at start-up. A value the host cannot use as given
// is taken as its default (or leaves the feature off) as each reader does;
// the check says so on stderr, naming the setting, the value, what the host
// does instead and what to set.

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The value of an environment variable, nullopt when unset.
using HostEnvironment = std::function<std::optional<std::string>(const std::string& name)>;

// One line per setting whose value the host cannot use as given.
std::vector<std::string> HostSettingsProblems(const HostEnvironment& environment);
// How long the host waits at the end of its input for replies still
// missing: QX_EXIT_WAIT seconds, from 0 to 3600; 30 when unset or unusable.
constexpr double kHostDefaultExitWaitSeconds = 30;
double HostExitWaitSeconds(const HostEnvironment& environment);
// The process's own.
double HostExitWaitSeconds();
// The problems of the process's own environment, one line each on stderr;
// a QX_MAIN_BUNDLE that is no application folder gives way to the default.
void CheckHostSettings();
