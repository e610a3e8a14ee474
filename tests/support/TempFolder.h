#pragma once

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes away.

#include <string>

#include "platform/foundation/ValueFwd.h"

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // `relative` below the folder; intermediate folders are created.
  std::string makeFolder(const std::string& relative) const;
  std::string writeFile(const std::string& relative, const Bytes& contents) const;
  std::string writeFile(const std::string& relative, const std::string& text) const;

 private:
  std::string path_;
};
