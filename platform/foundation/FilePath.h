#pragma once

#include <unistd.h>

#include <climits>
#include <string>

// `name` inside `folder`, one slash between them; an empty side gives the other.
inline std::string JoinPath(const std::string& folder, const std::string& name) {
  if (name.empty()) return folder;
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The running program's file as the kernel names it; empty when unreadable.
inline std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}
