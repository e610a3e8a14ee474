#include "OnceCallback.h"

#include <cstdio>
#include <cstdlib>

#include "BuildFlags.h"

void ReportOnceCallbackReuse(const char* what) {
  std::fprintf(stderr, "%s was called a second time\n", what);
#if QX_CHECKED
  std::abort();
#endif
}
