#include "platform/coregraphics/CGPDFRenderChild.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "platform/foundation/ProcessExit.h"

extern char** environ;

// The sanitizers reserve terabytes of address space at start: there only the
// resident memory the host watches bounds a child.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QX_RESERVES_ADDRESS_SPACE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QX_RESERVES_ADDRESS_SPACE 1
#endif
#endif

namespace {

constexpr int kDocumentFd = 3, kSocketFd = 4;
// How the renderer says that it passed its CPU time.
constexpr int kCpuSpentStatus = 3;
// How often the host looks at a child's resident memory while it renders.
constexpr auto kWatchInterval = std::chrono::milliseconds(5);

struct Request {
  uint64_t page;
  double dpi;
  int32_t rotate;
  uint32_t paper;
  double cpuSeconds;
};

struct Reply {
  CGPDFRenderAnswer answer;
};

// The children alive, ended with the process whichever way it ends.
struct Children {
  Mutex mutex;
  std::set<pid_t> pids GUARDED_BY(mutex);
};

Children& children() {
  static Children* all = new Children;  // read at the very end
  return *all;
}

void endChildren() {
  Children& all = children();
  MutexLock lock(all.mutex);
  for (pid_t pid : all.pids) ::kill(pid, SIGKILL);
}

void track(pid_t pid) {
  static std::once_flag once;
  std::call_once(once, [] { AtProcessEnd(endChildren); });
  Children& all = children();
  MutexLock lock(all.mutex);
  all.pids.insert(pid);
}

void untrack(pid_t pid) {
  Children& all = children();
  MutexLock lock(all.mutex);
  all.pids.erase(pid);
}

// Renders under way in the whole process: each child may hold its
// resident-memory limit.
class RenderSlots {
 public:
  void take() {
    MutexLock lock(mutex_);
    lock.wait(freed_, [this]() REQUIRES(mutex_) { return free_ > 0; });
    --free_;
  }
  void give() {
    {
      MutexLock lock(mutex_);
      ++free_;
    }
    freed_.notify_one();
  }

 private:
  Mutex mutex_;  // guards free_
  std::condition_variable freed_;
  int free_ GUARDED_BY(mutex_) = kCGPDFMaxRendersAtOnce;
};

RenderSlots& slots() {
  static RenderSlots* shared = new RenderSlots;
  return *shared;
}

class RenderSlot {
 public:
  RenderSlot() { slots().take(); }
  ~RenderSlot() { slots().give(); }
  RenderSlot(const RenderSlot&) = delete;
  RenderSlot& operator=(const RenderSlot&) = delete;
};

// The program beside the running executable (the host's bin/), or else the
// one this build made (test programs and benchmarks live elsewhere).
const std::string& rendererPath() {
  static const std::string path = [] {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
      std::string beside(exe, size_t(n));
      beside = beside.substr(0, beside.rfind('/') + 1) + "pdf-renderer";
      if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
#if defined(QX_PDF_RENDERER_BUILT)
    return std::string(QX_PDF_RENDERER_BUILT);
#else
    return std::string("pdf-renderer");
#endif
  }();
  return path;
}

// A descriptor of `fd`'s file at 5 or above, closed on exec: it can then be
// given to a child's 3 or 4 without being one of them.
int above(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 5); }

double residentBytes(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/statm", int(pid));
  FILE* file = std::fopen(path, "re");
  if (!file) return 0;
  unsigned long size = 0, resident = 0;
  const int read = std::fscanf(file, "%lu %lu", &size, &resident);
  std::fclose(file);
  return read == 2 ? double(resident) * double(::sysconf(_SC_PAGESIZE)) : 0;
}

std::string decimal(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// Why a child that gave no answer ended, from its wait status.
std::string endedHow(int status, const CGPDFRenderLimits& limits) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCpuSpentStatus) {
    return "took more than " + decimal(limits.cpuSeconds) + " s of CPU time to render";
  }
  if (WIFSIGNALED(status)) {
    return "could not be rendered: its renderer died of signal " +
           std::to_string(WTERMSIG(status));
  }
  return "could not be rendered: its renderer ended (status " +
         std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n, size -= size_t(n);
  }
  return true;
}

constexpr unsigned kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// `size` bytes of `fd`, sealed so that they stay, mapped read-only.
std::shared_ptr<const uint8_t> mapSealed(int fd, size_t size) {
  struct stat info {};
  const int seals = ::fcntl(fd, F_GET_SEALS);
  if (seals < 0 || (unsigned(seals) & kSeals) != kSeals || ::fstat(fd, &info) != 0 ||
      info.st_size < 0 || size_t(info.st_size) < size || size == 0) {
    return nullptr;
  }
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) return nullptr;
  return std::shared_ptr<const uint8_t>(static_cast<const uint8_t*>(mapped),
                                        [size](const uint8_t* p) {
                                          ::munmap(const_cast<uint8_t*>(p), size);
                                        });
}

}  // namespace

std::optional<CGPDFRenderLimits> CGPDFRenderLimitsFromText(const std::string& text) {
  const CGPDFRenderLimits defaults;
  double values[3];
  const char* at = text.c_str();
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && *at++ != ',') return std::nullopt;
    char* end = nullptr;
    values[i] = std::strtod(at, &end);
    if (end == at || *at == ' ' || *at == '+' || *at == '-') return std::nullopt;
    at = end;
  }
  if (*at != '\0') return std::nullopt;
  const double most[3] = {defaults.cpuSeconds, defaults.memoryBytes / (1024 * 1024),
                          defaults.wallSeconds};
  for (int i = 0; i < 3; ++i) {
    if (!(values[i] > 0) || values[i] > most[i]) return std::nullopt;
  }
  return CGPDFRenderLimits{values[0], values[1] * 1024 * 1024, values[2]};
}

CGPDFRenderLimits CGPDFRenderLimitsInForce() {
  const char* text = std::getenv("QX_PDF_RENDER_LIMITS");
  if (!text || !*text) return {};
  return CGPDFRenderLimitsFromText(text).value_or(CGPDFRenderLimits{});
}

CGPDFRenderChild::CGPDFRenderChild(std::shared_ptr<const Bytes> document)
    : document_(std::move(document)) {}

CGPDFRenderChild::~CGPDFRenderChild() {
  MutexLock lock(mutex_);
  end();
  if (documentFd_ >= 0) ::close(documentFd_);
}

pid_t CGPDFRenderChild::pid() const {
  MutexLock lock(mutex_);
  return pid_;
}

bool CGPDFRenderChild::start() {
  if (documentFd_ < 0) {
    // The document is written once, sealed, and read by each child it has.
    const int fd = ::memfd_create("pdf-document", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return false;
    if (!writeAll(fd, document_->data(), document_->size()) ||
        ::fcntl(fd, F_ADD_SEALS, kSeals | F_SEAL_SEAL) != 0) {
      ::close(fd);
      return false;
    }
    documentFd_ = fd;
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
  const int documentCopy = above(documentFd_), socketCopy = above(pair[1]);
  ::close(pair[1]);
  limits_ = CGPDFRenderLimitsInForce();
  const std::string parent = std::to_string(::getpid());
  const std::string memory = std::to_string(uint64_t(limits_.memoryBytes));
  const std::string& path = rendererPath();
  std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>("--parent"),
                             const_cast<char*>(parent.c_str()), const_cast<char*>(memory.c_str()),
                             nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Its standard output is not the driver's.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, documentCopy, kDocumentFd);
  posix_spawn_file_actions_adddup2(&actions, socketCopy, kSocketFd);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  pid_t pid = 0;
  const int err = documentCopy < 0 || socketCopy < 0
                      ? EMFILE
                      : posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (documentCopy >= 0) ::close(documentCopy);
  if (socketCopy >= 0) ::close(socketCopy);
  if (err != 0) {
    ::close(pair[0]);
    return false;
  }
  pid_ = pid;
  socket_ = pair[0];
  track(pid_);
  return true;
}

std::string CGPDFRenderChild::reap() {
  int status = 0;
  ::kill(pid_, SIGKILL);
  untrack(pid_);
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
  return endedHow(status, limits_);
}

void CGPDFRenderChild::end() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    untrack(pid_);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
  }
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

CGPDFRenderChild::Result CGPDFRenderChild::render(size_t number, double dpi, int rotate,
                                                  uint32_t paper) {
  MutexLock lock(mutex_);
  RenderSlot slot;
  // A child that ended between renders (nothing it did was under way) is
  // replaced: it never speaks unasked, so anything to read is its end.
  if (pid_ > 0) {
    pollfd gone{socket_, POLLIN, 0};
    if (::poll(&gone, 1, 0) != 0) end();
  }
  if (pid_ == 0 && !start()) {
    Result failed;
    failed.failure = "could not be rendered: the PDF renderer " + rendererPath() +
                     " could not be started";
    return failed;
  }
  Result result = exchange(number, dpi, rotate, paper);
  if (!result.answered) end();
  return result;
}

CGPDFRenderChild::Result CGPDFRenderChild::exchange(size_t number, double dpi, int rotate,
                                                    uint32_t paper) {
  Result result;
  auto ended = [this, &result]() REQUIRES(mutex_) {
    result.failure = reap();
    return result;
  };
  const Request request{uint64_t(number), dpi, int32_t(rotate), paper, limits_.cpuSeconds};
  if (::send(socket_, &request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request)) {
    return ended();
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(limits_.wallSeconds);
  for (;;) {
    pollfd answer{socket_, POLLIN, 0};
    const int ready = ::poll(&answer, 1, int(kWatchInterval.count()));
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return ended();
    if (residentBytes(pid_) > limits_.memoryBytes) {
      result.failure = "took more than " + decimal(limits_.memoryBytes / (1024 * 1024)) +
                       " MiB of memory to render";
      return result;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      result.failure = "took longer than " + decimal(limits_.wallSeconds) + " s to render";
      return result;
    }
  }
  Reply reply{};
  iovec data{&reply, sizeof reply};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = ::recvmsg(socket_, &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  int pixels = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
        c->cmsg_len == CMSG_LEN(sizeof(int))) {
      std::memcpy(&pixels, CMSG_DATA(c), sizeof(int));
    }
  }
  if (got != ssize_t(sizeof reply) || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
    if (pixels >= 0) ::close(pixels);
    return ended();
  }
  result.answered = true;
  result.answer = reply.answer;
  const int w = reply.answer.width, h = reply.answer.height;
  if (pixels >= 0 && !reply.answer.exhausted && w > 0 && h > 0 && w <= kCGPDFMaxRenderSide &&
      h <= kCGPDFMaxRenderSide) {
    result.pixels.data = mapSealed(pixels, size_t(w) * 4 * size_t(h));
    if (result.pixels.data) result.pixels.width = w, result.pixels.height = h;
  }
  if (pixels >= 0) ::close(pixels);
  return result;
}

int CGPDFWritePixels(size_t size, const std::function<void(uint8_t*)>& write) {
  const int fd = ::memfd_create("pdf-page", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  void* mapped = ::ftruncate(fd, off_t(size)) == 0
                     ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                     : MAP_FAILED;
  if (mapped == MAP_FAILED) {
    ::close(fd);
    return -1;
  }
  write(static_cast<uint8_t*>(mapped));
  ::munmap(mapped, size);
  // Sealed, the host can map them knowing they stay as they are.
  if (::fcntl(fd, F_ADD_SEALS, kSeals | F_SEAL_SEAL) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

namespace {

void cpuSpent(int) { ::_exit(kCpuSpentStatus); }

// The render's CPU time: what the process has used so far, and `seconds`
// more. The soft limit moves up for each render, under the hard one.
void limitCpu(double seconds) {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const double used = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  rlimit cpu{};
  ::getrlimit(RLIMIT_CPU, &cpu);
  const rlim_t wanted = rlim_t(std::ceil(used + seconds));
  cpu.rlim_cur = cpu.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, cpu.rlim_max);
  ::setrlimit(RLIMIT_CPU, &cpu);
}

Bytes readDocument() {
  struct stat info {};
  if (::fstat(kDocumentFd, &info) != 0 || info.st_size <= 0) return {};
  const size_t size = size_t(info.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, kDocumentFd, 0);
  if (mapped == MAP_FAILED) return {};
  const auto* data = static_cast<const uint8_t*>(mapped);
  Bytes bytes(data, data + size);
  ::munmap(mapped, size);
  ::close(kDocumentFd);
  return bytes;
}

void answer(const Reply& reply, int pixels) {
  iovec data{const_cast<Reply*>(&reply), sizeof reply};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (pixels >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &pixels, sizeof(int));
  }
  while (::sendmsg(kSocketFd, &message, MSG_NOSIGNAL) < 0) {
    if (errno != EINTR) ::_exit(0);  // the host has gone
  }
}

}  // namespace

int CGPDFRendererMain(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "--parent") != 0) {
    std::fprintf(stderr, "pdf-renderer: renders PDF pages for the host, which starts it\n");
    return 2;
  }
  // It ends with the host, even one killed outright.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != pid_t(std::atoll(argv[2]))) ::_exit(0);
  ::signal(SIGXCPU, cpuSpent);
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
#if !defined(QX_RESERVES_ADDRESS_SPACE)
  // Before poppler runs: the address space is held to the resident limit
  // and 2 GiB more, so that an allocation too large to be used within it
  // fails (and poppler's own end the process) rather than take the
  // machine's memory. What is allocated and used stops at the resident
  // limit, which the host holds: one refusal for every build.
  const rlim_t memory = rlim_t(std::strtoull(argv[3], nullptr, 10)) + (rlim_t(2) << 30);
  rlimit space{};
  ::getrlimit(RLIMIT_AS, &space);
  if (memory > 0 && (space.rlim_max == RLIM_INFINITY || memory < space.rlim_max)) {
    space = {memory, memory};
    ::setrlimit(RLIMIT_AS, &space);
  }
#endif
  auto bytes = std::make_shared<const Bytes>(readDocument());
  CGPDFDocumentRef document = CGPDFDocument::create(bytes);
  std::map<uint64_t, CGPDFPageRef> pages;
  for (;;) {
    Request request{};
    const ssize_t got = ::recv(kSocketFd, &request, sizeof request, 0);
    if (got < 0 && errno == EINTR) continue;
    // Without static destructors or exit handlers: poppler's state stays.
    if (got != ssize_t(sizeof request)) ::_exit(0);
    limitCpu(request.cpuSeconds);
    CGPDFPageRef& page = pages[request.page];
    if (!page && document) page = document->page(size_t(request.page));
    Reply reply{};
    int pixels = -1;
    if (page) {
      reply.answer = page->renderHere(request.dpi, request.rotate, request.paper, pixels);
    } else {
      reply.answer.exhausted = 1;
    }
    answer(reply, pixels);
    if (pixels >= 0) ::close(pixels);
  }
}
