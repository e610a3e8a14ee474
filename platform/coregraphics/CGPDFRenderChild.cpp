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
#include <algorithm>
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

// The thread sanitizer keeps four bytes of shadow beside each byte a
// program writes, all of it resident: there the program's own memory is read
// as a fifth of what the child holds.
#if defined(__SANITIZE_THREAD__)
#define QX_SHADOWS_MEMORY 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QX_SHADOWS_MEMORY 1
#endif
#endif

namespace {

constexpr int kSocketFd = 3;

#if defined(QX_SHADOWS_MEMORY)
constexpr double kResidentPerOwnByte = 5;
#else
constexpr double kResidentPerOwnByte = 1;
#endif

// Sends `size` bytes as one message, with `fd` passed along when there is
// one; false when the peer has gone or took less than the whole.
bool SendWithDescriptor(int socket, const void* bytes, size_t size, int fd) {
  iovec data{const_cast<void*>(bytes), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  }
  ssize_t sent;
  do {
    sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == ssize_t(size);
}
// Renderers kept waiting for another document once theirs is closed: a
// renderer that has started, with poppler and the fonts set up, takes a new
// document in a fraction of the time a new one takes to start.
constexpr size_t kMostIdle = kCGPDFMaxRendersAtOnce;
// How the renderer says that it passed its CPU time.
constexpr int kCpuSpentStatus = 3;
// How often the host looks at a child's resident memory while it renders.
constexpr auto kWatchInterval = std::chrono::milliseconds(5);

struct Request {
  enum Kind : uint32_t { Document, Render };
  uint32_t kind;  // a Document request brings the document's memfd
  uint32_t paper;
  uint64_t page;
  double dpi;
  int32_t rotate;
  int32_t unused;
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

// Ends a child and reaps it.
void killChild(pid_t pid) {
  ::kill(pid, SIGKILL);
  untrack(pid);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// A renderer with no document of its own any more.
struct Idle {
  pid_t pid;
  int socket;
  double memoryBytes;  // the limit it was started with
};

struct IdleChildren {
  Mutex mutex;
  std::vector<Idle> children GUARDED_BY(mutex);
};

IdleChildren& idleChildren() {
  static IdleChildren* idle = new IdleChildren;
  return *idle;
}

// One started with the same memory limit, still running.
std::optional<Idle> takeIdle(double memoryBytes) {
  IdleChildren& idle = idleChildren();
  for (;;) {
    std::optional<Idle> child;
    {
      MutexLock lock(idle.mutex);
      auto it = std::find_if(idle.children.begin(), idle.children.end(),
                             [memoryBytes](const Idle& c) { return c.memoryBytes == memoryBytes; });
      if (it == idle.children.end()) return std::nullopt;
      child = *it;
      idle.children.erase(it);
    }
    // It never speaks unasked: anything to read is its end.
    pollfd gone{child->socket, POLLIN, 0};
    if (::poll(&gone, 1, 0) == 0) return child;
    ::close(child->socket);
    killChild(child->pid);
  }
}

// Keeps `child` for another document, or ends it when enough wait.
void giveIdle(const Idle& child) {
  IdleChildren& idle = idleChildren();
  {
    MutexLock lock(idle.mutex);
    if (idle.children.size() < kMostIdle) {
      idle.children.push_back(child);
      return;
    }
  }
  ::close(child.socket);
  killChild(child.pid);
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

// A descriptor of `fd`'s file at 4 or above, closed on exec: it can then be
// given to a child's 3 without being it.
int above(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 4); }

double residentBytes(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/statm", int(pid));
  FILE* file = std::fopen(path, "re");
  if (!file) return 0;
  unsigned long size = 0, resident = 0;
  const int read = std::fscanf(file, "%lu %lu", &size, &resident);
  std::fclose(file);
  return read == 2 ? double(resident) * double(::sysconf(_SC_PAGESIZE)) / kResidentPerOwnByte : 0;
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

// A copy of the first `size` bytes of `fd`, which can never shrink (no read
// of the mapping can then fault, whatever its writer does); null when it is
// not such, or memory runs out.
std::shared_ptr<Bytes> copySealed(int fd, size_t size) {
  struct stat info {};
  const int seals = ::fcntl(fd, F_GET_SEALS);
  if (seals < 0 || !(unsigned(seals) & F_SEAL_SHRINK) || ::fstat(fd, &info) != 0 ||
      info.st_size < 0 || size_t(info.st_size) < size || size == 0) {
    return nullptr;
  }
  // Mapped whole at once: faulting the pages in one by one as they are
  // read costs more than the copy.
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto* data = static_cast<const uint8_t*>(mapped);
  std::shared_ptr<Bytes> copy;
  try {
    copy = std::make_shared<Bytes>(data, data + size);
  } catch (const std::bad_alloc&) {
  }
  ::munmap(mapped, size);
  return copy;
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
  // Its renderer, healthy (it answered its last render), serves another.
  if (pid_ > 0) {
    giveIdle(Idle{pid_, socket_, limits_.memoryBytes});
    pid_ = 0;
    socket_ = -1;
  }
  if (documentFd_ >= 0) ::close(documentFd_);
}

pid_t CGPDFRenderChild::pid() const {
  MutexLock lock(mutex_);
  return pid_;
}

namespace {

// A new renderer, with `memoryBytes` as its limit.
std::optional<Idle> spawnChild(double memoryBytes) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return std::nullopt;
  const int socketCopy = above(pair[1]);
  ::close(pair[1]);
  const std::string parent = std::to_string(::getpid());
  const std::string memory = std::to_string(uint64_t(memoryBytes));
  const std::string& path = rendererPath();
  std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>("--parent"),
                             const_cast<char*>(parent.c_str()), const_cast<char*>(memory.c_str()),
                             nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Its standard output is not the driver's.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
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
  const int err = socketCopy < 0 ? EMFILE
                                 : posix_spawn(&pid, path.c_str(), &actions, &attributes,
                                               argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (socketCopy >= 0) ::close(socketCopy);
  if (err != 0) {
    ::close(pair[0]);
    return std::nullopt;
  }
  track(pid);
  return Idle{pid, pair[0], memoryBytes};
}

// Sends `request`, with `fd` when there is one.
bool sendRequest(int socket, const Request& request, int fd = -1) {
  return SendWithDescriptor(socket, &request, sizeof request, fd);
}

}  // namespace

bool CGPDFRenderChild::start() {
  if (documentFd_ < 0) {
    // The document is written once, sealed, and read by each renderer it has.
    const int fd = ::memfd_create("pdf-document", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return false;
    if (!writeAll(fd, document_->data(), document_->size()) ||
        ::fcntl(fd, F_ADD_SEALS, kSeals | F_SEAL_SEAL) != 0) {
      ::close(fd);
      return false;
    }
    documentFd_ = fd;
  }
  limits_ = CGPDFRenderLimitsInForce();
  std::optional<Idle> child = takeIdle(limits_.memoryBytes);
  if (!child) child = spawnChild(limits_.memoryBytes);
  if (!child) return false;
  pid_ = child->pid;
  socket_ = child->socket;
  Request document{};
  document.kind = Request::Document;
  if (!sendRequest(socket_, document, documentFd_)) {
    end();
    return false;
  }
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
    killChild(pid_);
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
  Request request{};
  request.kind = Request::Render;
  request.page = uint64_t(number);
  request.dpi = dpi;
  request.rotate = int32_t(rotate);
  request.paper = paper;
  request.cpuSeconds = limits_.cpuSeconds;
  if (!sendRequest(socket_, request)) return ended();
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
  // Copied before the renderer is asked anything more: it writes its next
  // render into the same memory.
  if (pixels >= 0 && !reply.answer.exhausted && w > 0 && h > 0 && w <= kCGPDFMaxRenderSide &&
      h <= kCGPDFMaxRenderSide) {
    result.pixels.data = copySealed(pixels, size_t(w) * 4 * size_t(h));
    if (result.pixels.data) result.pixels.width = w, result.pixels.height = h;
  }
  if (pixels >= 0) ::close(pixels);
  return result;
}

namespace {

// The renderer's pixel memory, kept from render to render (new memory costs
// more to fill than the pixels do), sealed so that it never shrinks: it
// grows to the largest render.
struct PixelMemory {
  int fd = -1;
  uint8_t* mapped = nullptr;
  size_t size = 0;
};

PixelMemory& pixelMemory() {
  static PixelMemory* memory = new PixelMemory;
  return *memory;
}

// What a document's largest renders took goes with it, past some pages of
// a phone's screen.
void dropLargePixelMemory() {
  PixelMemory& memory = pixelMemory();
  if (memory.size <= (size_t(32) << 20)) return;
  ::munmap(memory.mapped, memory.size);
  ::close(memory.fd);
  memory = {};
}

}  // namespace

int CGPDFWritePixels(size_t size, const std::function<void(uint8_t*)>& write) {
  PixelMemory& memory = pixelMemory();
  if (memory.fd < 0) {
    memory.fd = ::memfd_create("pdf-page", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memory.fd < 0) return -1;
    if (::fcntl(memory.fd, F_ADD_SEALS, F_SEAL_SHRINK) != 0) {
      ::close(memory.fd);
      memory = {};
      return -1;
    }
  }
  if (size > memory.size) {
    if (memory.mapped) ::munmap(memory.mapped, memory.size);
    memory.mapped = nullptr;
    memory.size = 0;
    void* mapped = ::ftruncate(memory.fd, off_t(size)) == 0
                       ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                MAP_SHARED | MAP_POPULATE, memory.fd, 0)
                       : MAP_FAILED;
    if (mapped == MAP_FAILED) return -1;
    memory.mapped = static_cast<uint8_t*>(mapped);
    memory.size = size;
  }
  write(memory.mapped);
  return ::fcntl(memory.fd, F_DUPFD_CLOEXEC, 0);
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

Bytes readDocument(int fd) {
  struct stat info {};
  Bytes bytes;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    const size_t size = size_t(info.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped != MAP_FAILED) {
      const auto* data = static_cast<const uint8_t*>(mapped);
      bytes.assign(data, data + size);
      ::munmap(mapped, size);
    }
  }
  ::close(fd);
  return bytes;
}

void answer(const Reply& reply, int pixels) {
  if (!SendWithDescriptor(kSocketFd, &reply, sizeof reply, pixels)) ::_exit(0);  // the host has gone
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
  CGPDFDocumentRef document;
  std::map<uint64_t, CGPDFPageRef> pages;
  for (;;) {
    Request request{};
    iovec data{&request, sizeof request};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(kSocketFd, &message, MSG_CMSG_CLOEXEC);
    if (got < 0 && errno == EINTR) continue;
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
          c->cmsg_len == CMSG_LEN(sizeof(int))) {
        std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
      }
    }
    // Without static destructors or exit handlers: poppler's state stays.
    if (got != ssize_t(sizeof request)) ::_exit(0);
    if (request.kind == Request::Document) {
      // The last document's pages go first.
      pages.clear();
      document.reset();
      dropLargePixelMemory();
      if (fd >= 0) document = CGPDFDocument::create(std::make_shared<const Bytes>(readDocument(fd)));
      continue;
    }
    if (fd >= 0) ::close(fd);
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
