#pragma once

// PDF pages are rendered in a child process of our own, the renderer
// program (bin/pdf-renderer, beside the host). poppler is not written for
// hostile input, and its allocator ends the process when memory runs out:
// the budgets of CGPDFDocument refuse the costs they know of quickly and
// cleanly, and the child bounds whatever they do not foresee. It gets the
// document's bytes (a sealed memfd) and then one request per render; before
// poppler runs it limits its address space (where no sanitizer reserves
// terabytes of it) and, at each render, its CPU time; it answers the
// render's pixels in a memfd that cannot shrink, which the host maps and
// copies from. A renderer whose document is closed waits for another
// (kCGPDFMaxRendersAtOnce of them at most): the fonts and poppler it has set
// up make its next document's first render as quick as any. The host kills
// it past a wall-clock deadline or past its resident-memory limit, which it
// watches while waiting, and which holds in the sanitizer builds too. A
// child that dies, is killed or passes a limit refuses the page, as a
// budget does; the next render of its document starts another. Children
// die with the host (the parent-death signal, and a task at its end) and
// are always reaped.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/coregraphics/CGPDFDocument.h"
#include "platform/foundation/Mutex.h"

// What one render in a child may take.
struct CGPDFRenderLimits {
  double cpuSeconds = 10;
  double memoryBytes = 1024.0 * 1024 * 1024;  // resident, and address space where it can
  double wallSeconds = 20;
};
// QX_PDF_RENDER_LIMITS, "<CPU seconds>,<MiB>,<wall-clock seconds>", lowers
// them (each a number above zero and at most the default); nullopt for
// text that is not such.
std::optional<CGPDFRenderLimits> CGPDFRenderLimitsFromText(const std::string& text);
// Those of the process's setting, the defaults when it is unset or unusable.
CGPDFRenderLimits CGPDFRenderLimitsInForce();
// Renders that may run at once in the whole process, each in its child.
inline constexpr int kCGPDFMaxRendersAtOnce = 4;

// What a child answers for one render, besides the pixels.
struct CGPDFRenderAnswer {
  int32_t width = 0, height = 0;  // of the pixels, when they come
  uint8_t exhausted = 0, paintSpent = 0, leftOut = 0;
  uint8_t outOfMemory = 0;  // an allocation failed: exhausted, at every scale
  CGPDFRenderCost cost;  // that render's alone
};

// One document's renderer, started at its first render, kept for the next,
// and ended with it. Renders of the document take turns.
class CGPDFRenderChild {
 public:
  explicit CGPDFRenderChild(std::shared_ptr<const Bytes> document);
  ~CGPDFRenderChild();
  CGPDFRenderChild(const CGPDFRenderChild&) = delete;
  CGPDFRenderChild& operator=(const CGPDFRenderChild&) = delete;

  struct Result {
    bool answered = false;  // false: the child died, was killed or could not start
    CGPDFRenderAnswer answer;
    CGPDFPixels pixels;
    std::string failure;  // why it did not answer
  };
  // Page `number` at `dpi`, turned by `rotate`, on `paper` (0xRRGGBB).
  Result render(size_t number, double dpi, int rotate, uint32_t paper) EXCLUDES(mutex_);
  // The running child's process id, 0 when none runs.
  pid_t pid() const EXCLUDES(mutex_);

 private:
  bool start() REQUIRES(mutex_);
  void end() REQUIRES(mutex_);
  // Ends the child that gave no answer: why it gave none, from how it ended.
  std::string reap() REQUIRES(mutex_);
  Result exchange(size_t number, double dpi, int rotate, uint32_t paper) REQUIRES(mutex_);

  const std::shared_ptr<const Bytes> document_;
  mutable Mutex mutex_;  // guards the child and the exchange with it
  int documentFd_ GUARDED_BY(mutex_) = -1;
  int socket_ GUARDED_BY(mutex_) = -1;
  pid_t pid_ GUARDED_BY(mutex_) = 0;
  CGPDFRenderLimits limits_ GUARDED_BY(mutex_);
};

// In the renderer: `size` bytes of its pixel memory, which `write` fills, as
// a new descriptor to hand to the host; -1 when none can be had. The memory
// is the same from render to render: the host copies a render's pixels out
// before it asks for the next.
int CGPDFWritePixels(size_t size, const std::function<void(uint8_t*)>& write);

// The renderer program's whole work: serves the document on descriptor 3
// over the socket on descriptor 4, as CGPDFRenderChild starts it.
int CGPDFRendererMain(int argc, char** argv);
