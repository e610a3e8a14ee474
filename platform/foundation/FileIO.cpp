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

// A file whose size or modification time moved while it was read: a copy
// of it would mix old bytes and new, or end early.
bool changedSince(int fd, const struct stat& before) {
  struct stat now;
  return ::fstat(fd, &now) != 0 || now.st_size != before.st_size ||
         now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != before.st_mtim.tv_nsec;
}

// How often a file that keeps changing is copied before the copy fails.
constexpr int kCopyAttempts = 3;

// One pass of copying `in` (from its start) into the new file `destination`.
// `changed` is set when the source moved under it; the torn copy is removed.
bool copyOnce(FileIO& io, int in, const std::string& destination, mode_t mode, bool& changed,
              NSErrorPtr* error) {
  struct stat before;
  if (::fstat(in, &before) != 0) return fail(error, errno, "fstat");
  if (::lseek(in, 0, SEEK_SET) != 0) return fail(error, errno, "lseek");
  int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
  if (out < 0) return fail(error, errno, "open");
  // Small files take a small buffer; large ones are copied a MiB at a time.
  std::vector<char> buffer(
      static_cast<size_t>(std::clamp<off_t>(before.st_size, 4096, off_t{1} << 20)));
  bool ok = true;
  const char* call = "read";
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = io.write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        ok = false;
        call = "write";
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  int err = errno;
  if (::close(out) != 0 && ok) {
    ok = false;
    err = errno;
    call = "close";
  }
  changed = ok && changedSince(in, before);
  if (!ok || changed) ::unlink(destination.c_str());
  return ok || fail(error, err, call);
}

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
  bool changed = false;
  bool ok = true;
  for (int attempt = 0; attempt < kCopyAttempts && ok; ++attempt) {
    ok = copyOnce(io, in, destination, mode, changed, error);
    if (ok && !changed) return true;
  }
  if (ok && changed && error) {
    *error = NSError::errorWithDescription(
        NSPOSIXErrorDomain, EAGAIN,
        source + " changed while it was copied, " + std::to_string(kCopyAttempts) + " times");
  }
  return false;
}
