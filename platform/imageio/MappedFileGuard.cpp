#include "MappedFileGuard.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// A slot is a seqlock: its generation is odd while its range is written, so
// the handler never takes half of one range and half of another; a range's
// owner knows it by the generation it was published with, so a mark left
// for a range gone never lands on the next one in the slot.
struct Slot {
  std::atomic<uint64_t> generation{0};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};   // 0: free
  std::atomic<uint64_t> cutAt{0};  // the generation that read past the end
};
static_assert(std::atomic<uint64_t>::is_always_lock_free &&
              std::atomic<uintptr_t>::is_always_lock_free);

Slot gSlots[kMappedRangeSlots];
struct sigaction gPrevious {};
uintptr_t gPageSize = 4096;

// Maps zeros over the watched range holding `address`, from its page to the
// range's end; false when no watched range holds it.
bool CoverWithZeros(uintptr_t address) {
  for (Slot& slot : gSlots) {
    const uint64_t generation = slot.generation.load(std::memory_order_acquire);
    if (generation & 1) continue;
    const uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
    const uintptr_t end = slot.end.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.generation.load(std::memory_order_relaxed) != generation) continue;
    if (address < begin || address >= end) continue;
    const uintptr_t first = address & ~(gPageSize - 1);
    const uintptr_t last = (end + gPageSize - 1) & ~(gPageSize - 1);
    // The system call itself: a sanitizer's or a profiler's wrapper of mmap
    // has no business running inside a signal handler.
    const long mapped = syscall(SYS_mmap, first, last - first, PROT_READ,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0L);
    if (mapped == -1) return false;
    slot.cutAt.store(generation, std::memory_order_release);
    return true;
  }
  return false;
}

void PassOn(int signal, siginfo_t* info, void* context) {
  if (gPrevious.sa_flags & SA_SIGINFO) {
    gPrevious.sa_sigaction(signal, info, context);
    return;
  }
  if (gPrevious.sa_handler == SIG_IGN && info->si_code <= 0) return;  // sent, and ignored
  if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN) {
    gPrevious.sa_handler(signal);
    return;
  }
  // The default action, as if this handler had never been: the signal stays
  // blocked until the handler returns, and then kills the process.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGBUS, &fallback, nullptr);
  raise(SIGBUS);
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  // Only a fault of this process's own access, not a signal someone sent.
  const bool covered = info && info->si_code == BUS_ADRERR &&
                       CoverWithZeros(reinterpret_cast<uintptr_t>(info->si_addr));
  errno = savedErrno;
  if (!covered) PassOn(signal, info, context);
}

bool InstallHandler() {
  gPageSize = uintptr_t(sysconf(_SC_PAGESIZE));
  // What was there first is kept before the handler can run.
  if (sigaction(SIGBUS, nullptr, &gPrevious) != 0) return false;
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGBUS, &action, nullptr) == 0;
}

}  // namespace

bool MappedRangeWatch(const void* data, size_t size, MappedRange& range) {
  static const bool installed = InstallHandler();
  if (!installed || !data || size == 0) return false;
  for (size_t i = 0; i < kMappedRangeSlots; ++i) {
    Slot& slot = gSlots[i];
    uint64_t generation = slot.generation.load(std::memory_order_acquire);
    if ((generation & 1) || slot.end.load(std::memory_order_relaxed) != 0) continue;
    if (!slot.generation.compare_exchange_strong(generation, generation + 1,
                                                 std::memory_order_acq_rel)) {
      continue;
    }
    std::atomic_thread_fence(std::memory_order_release);
    slot.begin.store(reinterpret_cast<uintptr_t>(data), std::memory_order_relaxed);
    slot.end.store(reinterpret_cast<uintptr_t>(data) + size, std::memory_order_relaxed);
    slot.generation.store(generation + 2, std::memory_order_release);
    range = {i, generation + 2};
    return true;
  }
  return false;
}

void MappedRangeUnwatch(MappedRange& range) {
  if (range.generation == 0) return;
  Slot& slot = gSlots[range.slot];
  slot.generation.store(range.generation + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  slot.begin.store(0, std::memory_order_relaxed);
  slot.end.store(0, std::memory_order_relaxed);
  slot.generation.store(range.generation + 2, std::memory_order_release);
  range = {};
}

bool MappedRangeCutShort(const MappedRange& range) {
  return range.generation != 0 &&
         gSlots[range.slot].cutAt.load(std::memory_order_acquire) == range.generation;
}
