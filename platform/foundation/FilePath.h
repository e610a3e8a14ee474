#pragma once

#include <string>

// `name` inside `folder`, one slash between them; an empty side gives the other.
inline std::string JoinPath(const std::string& folder, const std::string& name) {
  if (name.empty()) return folder;
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}
