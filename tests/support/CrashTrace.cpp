#include "support/CrashTrace.h"

#include <execinfo.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QX_CRASH_TRACE_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QX_CRASH_TRACE_SANITIZER 1
#endif
#endif

#if defined(QX_CRASH_TRACE_SANITIZER)
extern "C" void __sanitizer_print_stack_trace();
#endif

namespace {

// Everything the handler reads is set before it can run, or is a plain
// buffer written only between tests (or inputs): a signal handler may take no
// lock and allocate nothing.
char gLabel[512] = "";
bool gSymbolize = false;
std::atomic<long> gReporter{0};  // the thread writing the report
std::atomic<bool> gReported{false};
alignas(16) char gAlternateStack[64 * 1024];

constexpr int kSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

void Write(const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, left);
    if (n <= 0) return;
    text += n;
    left -= size_t(n);
  }
}

void WriteNumber(long value) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  *--p = '\0';
  const bool negative = value < 0;
  unsigned long magnitude = negative ? 0ul - (unsigned long)value : (unsigned long)value;
  do {
    *--p = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  if (negative) *--p = '-';
  Write(p);
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGABRT: return "SIGABRT";
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    default: return "?";
  }
}

void WriteStack() {
#if defined(QX_CRASH_TRACE_SANITIZER)
  if (gSymbolize) {
    __sanitizer_print_stack_trace();
    return;
  }
#endif
  void* frames[64];
  const int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

void OnFatalSignal(int signal, siginfo_t*, void*) {
  const long thread = syscall(SYS_gettid);
  long reporter = 0;
  if (!gReporter.compare_exchange_strong(reporter, thread)) {
    // One report is enough. Another thread dying meanwhile lets it finish
    // (for a while: it may itself be stuck) before the process ends; the
    // reporting thread failing inside its own report ends it at once.
    for (int i = 0; i < 300 && reporter != thread && !gReported.load(); ++i) {
      const timespec pause{0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  } else {
    const int savedErrno = errno;
    Write("\n*** Fatal signal ");
    WriteNumber(signal);
    Write(" (");
    Write(SignalName(signal));
    Write(") in ");
    Write(gLabel[0] ? gLabel : "no test (before the first or after the last)");
    Write(", thread ");
    WriteNumber(thread);
    Write(thread == long(getpid()) ? " (the main thread)" : " (not the main thread)");
    Write(" ***\n");
    WriteStack();
    Write("*** end of the stack ***\n");
    gReported.store(true);
    errno = savedErrno;
  }
  // The default action, as if no handler had been there: the signal is
  // blocked while a handler runs, so it acts as soon as this one returns
  // (a fault's instruction faulting again does the same).
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  raise(signal);
}

}  // namespace

void InstallCrashTrace(bool symbolize) {
  gSymbolize = symbolize;
  // backtrace() loads the unwinder on its first call, which allocates: done
  // here, never first inside the handler.
  void* warm[2];
  backtrace(warm, 2);
  // A stack overflow of the main thread leaves it no stack to report on
  // (a sanitizer sets up a stack of its own for its handlers: that one stays).
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    stack_t alternate{};
    alternate.ss_sp = gAlternateStack;
    alternate.ss_size = sizeof gAlternateStack;
    sigaltstack(&alternate, nullptr);
  }
  for (int signal : kSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) continue;
    // Taken already (by a sanitizer, which reports better): left alone.
    if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

void SetCrashTraceLabel(const std::string& label) {
  std::snprintf(gLabel, sizeof gLabel, "%s", label.c_str());
}
