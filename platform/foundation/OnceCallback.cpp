#include "OnceCallback.h"

#include <cstdio>
#include <cstdlib>

#include "BuildFlags.h"

void ReportOnceCallbackReuse() {
  std::fprintf(stderr, "A once-only callback was called a second time\n");
#if QX_CHECKED
  std::abort();
#endif
}
