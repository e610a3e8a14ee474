#include "Fatal.h"

#include <cstdio>
#include <cstdlib>

void FatalStop(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}
