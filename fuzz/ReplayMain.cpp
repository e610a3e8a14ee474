// Runs every file of a corpus folder through a fuzz target's entry point, so
// the seeds are checked by ordinary (sanitizer) builds without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "support/CrashTrace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus folder or file>...\n", argv[0]);
    return 2;
  }
  // An input that stops the process names itself and where it stopped.
  InstallCrashTrace(true);
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& e : std::filesystem::directory_iterator(argv[i])) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
    } else {
      files.emplace_back(argv[i]);
    }
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      SetCrashTraceLabel("input " + f.string());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      SetCrashTraceLabel("");
      ++count;
    }
  }
  std::printf("replayed %zu input(s)\n", count);
  return count > 0 ? 0 : 1;
}
