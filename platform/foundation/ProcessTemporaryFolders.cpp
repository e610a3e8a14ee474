#include "ProcessTemporaryFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "NSFileManager.h"
#include "NSProcessInfo.h"

namespace {

// When a process started, in clock ticks since boot (field 22 of
// /proc/<pid>/stat); nullopt when no such process runs.
std::optional<unsigned long long> processStartTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat", std::ios::binary);
  const std::string stat(std::istreambuf_iterator<char>(in), {});
  const size_t end = stat.rfind(')');  // the command name may hold anything
  if (end == std::string::npos) return std::nullopt;
  size_t at = end + 2;
  for (int field = 3; field < 22; ++field) {
    at = stat.find(' ', at);
    if (at == std::string::npos) return std::nullopt;
    ++at;
  }
  try {
    return std::stoull(stat.substr(at));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// "8-4-4-4-12" hexadecimal digits.
bool isUUID(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// The tag at the end of a folder's name ("<prefix>-<pid>-<start>-<UUID>").
std::optional<std::string> tagOfFolderName(const std::string& name) {
  if (name.size() < 37 || !isUUID(name.substr(name.size() - 36))) return std::nullopt;
  // Back over "-<start>" and "-<pid>" to the dash that ends the prefix.
  size_t at = name.size() - 37;
  for (int number = 0; number < 2; ++number) {
    if (at == 0 || name[at] != '-') return std::nullopt;
    const size_t digitsEnd = at;
    while (at > 0 && std::isdigit(static_cast<unsigned char>(name[at - 1]))) --at;
    if (at == digitsEnd) return std::nullopt;
    --at;
  }
  if (at == 0 || name[at] != '-') return std::nullopt;
  return name.substr(at + 1);
}

}  // namespace

std::string ProcessTemporaryTag() {
  const pid_t pid = ::getpid();
  // Read once; a forked child (another pid) reads its own.
  static const pid_t firstPid = pid;
  static const unsigned long long firstStart = processStartTime(pid).value_or(0);
  const unsigned long long start =
      pid == firstPid ? firstStart : processStartTime(pid).value_or(0);
  return std::to_string(pid) + "-" + std::to_string(start) + "-" + NSRandomUUIDString();
}

bool ProcessTemporaryTagHasEnded(const std::string& tag) {
  unsigned long long pid = 0, start = 0;
  int used = 0;
  if (std::sscanf(tag.c_str(), "%llu-%llu-%n", &pid, &start, &used) != 2 || used == 0) {
    return false;
  }
  return processStartTime(static_cast<pid_t>(pid)) != start;
}

std::optional<std::string> MakeProcessTemporaryFolder(const std::string& prefix,
                                                      NSErrorPtr* error) {
  const std::string folder = NSTemporaryDirectory() + prefix + "-" + ProcessTemporaryTag();
  if (::mkdir(folder.c_str(), 0700) == 0) return folder;
  if (error) *error = NSError::posixError(errno, "mkdir " + folder);
  return std::nullopt;
}

bool RemoveTemporaryFoldersOfEndedProcesses() {
  auto files = NSFileManager::defaultManager();
  const std::string temporary = NSTemporaryDirectory();
  auto names = files->contentsOfDirectoryAtPath(temporary);
  if (!names) return true;
  bool removed = true;
  for (const auto& name : *names) {
    auto tag = tagOfFolderName(name);
    struct stat st;
    if (!tag || ::lstat((temporary + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (ProcessTemporaryTagHasEnded(*tag) && !files->removeItemAtPath(temporary + name)) {
      removed = false;
    }
  }
  return removed;
}
