#pragma once
// Shared libraries opened by file name when a road first needs them, for the
// rest of the process. Libraries that only some roads use (the media stack,
// the HEIF codec) are loaded this way rather than linked, so that they and
// everything they bring cost a start nothing (see docs/ARCHITECTURE.md).
//
// The users keep a table of function pointers resolved through `find`, a
// member per function, declared from the library's own header:
//   decltype(&::heif_init) heif_init = nullptr;

#include <cstddef>
#include <string>
#include <vector>

class SharedLibraries {
 public:
  // Opens each library in turn, resolving all its symbols at once; false with
  // `why` (the dynamic loader's message) at the first that cannot be opened.
  // Libraries already opened stay open.
  bool open(const std::vector<std::string>& names, std::string& why);
  // The symbol as the library opened `index`th (counting from 0) finds it,
  // itself or through what it links; null when it has none or was not opened.
  void* find(size_t index, const char* symbol) const;

 private:
  std::vector<void*> handles_;
};
