#include "TempFolder.h"

#include <stdlib.h>

#include <stdexcept>

#include "platform/foundation/NSFileManager.h"

TempFolder::TempFolder() {
  std::string pattern = "/tmp/qx-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() { NSFileManager::defaultManager()->removeItemAtPath(path_); }

std::string TempFolder::makeFolder(const std::string& relative) const {
  std::string full = path_ + "/" + relative;
  NSFileManager::defaultManager()->createDirectoryAtPath(full, true);
  return full;
}

std::string TempFolder::writeFile(const std::string& relative, const Bytes& contents) const {
  std::string full = path_ + "/" + relative;
  auto slash = full.rfind('/');
  NSFileManager::defaultManager()->createDirectoryAtPath(full.substr(0, slash), true);
  NSFileManager::defaultManager()->createFileAtPath(full, contents);
  return full;
}

std::string TempFolder::writeFile(const std::string& relative, const std::string& text) const {
  return writeFile(relative, Bytes(text.begin(), text.end()));
}
