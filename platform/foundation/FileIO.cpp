#include "FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Mutex.h"
#include "SingletonResets.h"

int FileIO::makeTemporary(char* pathTemplate) { return ::mkstemp(pathTemplate); }

ssize_t FileIO::read(int fd, void* data, size_t length) { return ::read(fd, data, length); }

ssize_t FileIO::write(int fd, const void* data, size_t length) { return ::write(fd, data, length); }

int FileIO::sync(int fd) { return ::fsync(fd); }

int FileIO::close(int fd) { return ::close(fd); }

int FileIO::rename(const char* from, const char* to) { return ::rename(from, to); }

int FileIO::unlink(const char* path) { return ::unlink(path); }

const std::shared_ptr<FileIO>& FileIO::system() {
  static const std::shared_ptr<FileIO> shared = std::make_shared<FileIO>();
  return shared;
}

namespace {

struct CurrentFileIO {
  Mutex mutex;
  std::shared_ptr<FileIO> io GUARDED_BY(mutex);
};

CurrentFileIO& currentFileIO() {
  static CurrentFileIO* current = [] {
    SingletonResets::add([] { FileIO::setCurrent(nullptr); });
    return new CurrentFileIO;  // never destroyed: writers may run until the process ends
  }();
  return *current;
}

bool fail(NSErrorPtr* error, int err, const std::string& call) {
  if (error) *error = NSError::posixError(err, call);
  return false;
}

// A file whose size or modification time moved while it was read: what
// was read of it may mix old bytes and new, or end early.
bool changedSince(int fd, const struct stat& before) {
  struct stat now;
  return ::fstat(fd, &now) != 0 || now.st_size != before.st_size ||
         now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != before.st_mtim.tv_nsec;
}

// How often a file that keeps changing is read before the read fails.
constexpr int kCopyAttempts = 3;

// Where one pass of a whole-file read puts the bytes: a new file, or memory.
class PassTarget {
 public:
  virtual ~PassTarget() = default;
  // Gets ready for a pass over a file of `before`'s size.
  virtual bool begin(const struct stat& before, NSErrorPtr* error) = 0;
  // Takes the next `n` bytes; false with errno set and `call` naming what failed.
  virtual bool put(const char* data, size_t n, const char*& call) = 0;
  // The pass is over (`ok`: every byte was taken); false with errno set
  // when ending it failed.
  virtual bool end(bool ok, const char*& call) = 0;
  // Throws away what a pass left: it failed, or the file moved under it.
  virtual void discard() = 0;
};

// One pass over `in` from its start into `target`. `changed` is set when the
// file moved under it; what the pass made is then thrown away.
bool readOnce(FileIO& io, int in, PassTarget& target, bool& changed, NSErrorPtr* error) {
  struct stat before;
  if (::fstat(in, &before) != 0) return fail(error, errno, "fstat");
  if (::lseek(in, 0, SEEK_SET) != 0) return fail(error, errno, "lseek");
  if (!target.begin(before, error)) return false;
  // Small files take a small buffer; large ones are read a MiB at a time.
  std::vector<char> buffer(
      static_cast<size_t>(std::clamp<off_t>(before.st_size, 4096, off_t{1} << 20)));
  bool ok = true;
  const char* call = "read";
  for (;;) {
    ssize_t n = io.read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (!target.put(buffer.data(), static_cast<size_t>(n), call)) {
      ok = false;
      break;
    }
  }
  int err = errno;
  if (!target.end(ok, call) && ok) {
    ok = false;
    err = errno;
  }
  changed = ok && changedSince(in, before);
  if (!ok || changed) target.discard();
  return ok || fail(error, err, call);
}

// Passes until one saw the file hold still, kCopyAttempts at most.
bool readWhole(FileIO& io, int in, const std::string& source, PassTarget& target,
               NSErrorPtr* error) {
  bool changed = false;
  bool ok = true;
  for (int attempt = 0; attempt < kCopyAttempts && ok; ++attempt) {
    ok = readOnce(io, in, target, changed, error);
    if (ok && !changed) return true;
  }
  if (ok && changed && error) {
    *error = NSError::errorWithDescription(
        NSPOSIXErrorDomain, EAGAIN,
        source + " changed while it was copied, " + std::to_string(kCopyAttempts) + " times");
  }
  return false;
}

class FileTarget : public PassTarget {
 public:
  FileTarget(FileIO& io, const std::string& destination, mode_t mode)
      : io_(io), destination_(destination), mode_(mode) {}
  bool begin(const struct stat&, NSErrorPtr* error) override {
    out_ = ::open(destination_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode_ & 07777);
    return out_ >= 0 || fail(error, errno, "open");
  }
  bool put(const char* data, size_t n, const char*& call) override {
    for (size_t done = 0; done < n;) {
      ssize_t w = io_.write(out_, data + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        call = "write";
        return false;
      }
      done += static_cast<size_t>(w);
    }
    return true;
  }
  bool end(bool ok, const char*& call) override {
    if (::close(out_) == 0) return true;
    if (ok) call = "close";
    return false;
  }
  void discard() override { ::unlink(destination_.c_str()); }

 private:
  FileIO& io_;
  const std::string& destination_;
  mode_t mode_;
  int out_ = -1;
};

class MemoryTarget : public PassTarget {
 public:
  MemoryTarget(Bytes& out, uint64_t maxBytes) : out_(out), maxBytes_(maxBytes) {}
  bool begin(const struct stat& before, NSErrorPtr* error) override {
    out_.clear();
    if (static_cast<uint64_t>(before.st_size) > maxBytes_) return fail(error, EFBIG, "read");
    out_.reserve(static_cast<size_t>(before.st_size));
    return true;
  }
  bool put(const char* data, size_t n, const char*&) override {
    if (n > maxBytes_ - out_.size()) {
      errno = EFBIG;
      return false;
    }
    out_.insert(out_.end(), data, data + n);
    return true;
  }
  bool end(bool, const char*&) override { return true; }
  void discard() override { Bytes().swap(out_); }

 private:
  Bytes& out_;
  uint64_t maxBytes_;
};

}  // namespace

std::shared_ptr<FileIO> FileIO::current() {
  CurrentFileIO& c = currentFileIO();
  MutexLock lock(c.mutex);
  return c.io ? c.io : system();
}

void FileIO::setCurrent(std::shared_ptr<FileIO> io) {
  CurrentFileIO& c = currentFileIO();
  MutexLock lock(c.mutex);
  c.io = std::move(io);
}

bool CopyOpenFile(FileIO& io, int in, const std::string& source, const std::string& destination,
                  mode_t mode, NSErrorPtr* error) {
  FileTarget target(io, destination, mode);
  return readWhole(io, in, source, target, error);
}

bool ReadOpenFile(FileIO& io, int in, const std::string& source, Bytes& out, NSErrorPtr* error,
                  uint64_t maxBytes) {
  MemoryTarget target(out, maxBytes);
  return readWhole(io, in, source, target, error);
}
