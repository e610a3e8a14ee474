#include "support/ScriptedFileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

void ScriptedFileIO::failWritesAfter(uint64_t bytes, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  limited_ = true;
  budget_ = bytes;
  writeError_ = error;
}

void ScriptedFileIO::changeDuringReads(std::string path, int passes, bool inPlace,
                                       bool withinSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  changing_ = std::move(path);
  changes_ = passes;
  inPlace_ = inPlace;
  withinSecond_ = withinSecond;
}

void ScriptedFileIO::failReadsOf(std::function<bool(const std::string& path)> matches, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  unreadable_ = std::move(matches);
  readError_ = error;
}

ssize_t ScriptedFileIO::read(int fd, void* data, size_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (unreadable_) {
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    if (n > 0 && unreadable_(std::string(path, static_cast<size_t>(n)))) {
      errno = readError_;
      return -1;
    }
  }
  struct stat open {}, named {};
  if (changes_ > 0 && ::lseek(fd, 0, SEEK_CUR) == 0 && ::fstat(fd, &open) == 0 &&
      ::stat(changing_.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
      open.st_ino == named.st_ino) {
    --changes_;
    const int out = ::open(changing_.c_str(), O_WRONLY | O_CLOEXEC | (inPlace_ ? 0 : O_APPEND));
    if (out >= 0) {
      if (::write(out, "x", 1) != 1) ::perror("ScriptedFileIO: the change was not written");
      // Later than the file's own time, within its second when asked: a
      // change the clock's tick cannot hide.
      timespec later = named.st_mtim;
      if (!withinSecond_) ++later.tv_sec;
      else later.tv_nsec = later.tv_nsec == 999999999 ? later.tv_nsec - 1 : later.tv_nsec + 1;
      const timespec times[2] = {{0, UTIME_OMIT}, later};
      ::futimens(out, times);
      ::close(out);
    }
  }
  lock.unlock();
  return FileIO::read(fd, data, length);
}

void ScriptedFileIO::heal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    limited_ = false;
    changes_ = 0;
    unreadable_ = nullptr;
  }
  createError_ = 0;
  syncError_ = 0;
  renameError_ = 0;
  unlinkError_ = 0;
}

std::vector<std::string> ScriptedFileIO::temporaries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return temporaries_;
}

std::vector<std::string> ScriptedFileIO::unlinked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unlinked_;
}

int ScriptedFileIO::makeTemporary(char* pathTemplate) {
  if (const int error = createError_) {
    errno = error;
    return -1;
  }
  const int fd = FileIO::makeTemporary(pathTemplate);
  if (fd >= 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    temporaries_.emplace_back(pathTemplate);
  }
  return fd;
}

ssize_t ScriptedFileIO::write(int fd, const void* data, size_t length) {
  size_t allowed = length;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (limited_) {
      if (budget_ == 0) {
        errno = writeError_;
        return -1;
      }
      allowed = size_t(std::min<uint64_t>(budget_, length));
    }
  }
  const ssize_t written = FileIO::write(fd, data, allowed);
  if (written > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (limited_) budget_ -= std::min<uint64_t>(budget_, uint64_t(written));
  }
  return written;
}

int ScriptedFileIO::sync(int fd) {
  if (const int error = syncError_) {
    errno = error;
    return -1;
  }
  return FileIO::sync(fd);
}

namespace {

std::map<std::string, std::string> attributesOf(const char* path) {
  std::map<std::string, std::string> out;
  std::string names(65536, '\0');
  const ssize_t length = ::llistxattr(path, names.data(), names.size());
  for (ssize_t at = 0; at < length;) {
    const std::string name(names.data() + at);
    at += static_cast<ssize_t>(name.size()) + 1;
    std::string value(65536, '\0');
    const ssize_t got = ::lgetxattr(path, name.c_str(), value.data(), value.size());
    if (got >= 0) out[name] = value.substr(0, static_cast<size_t>(got));
  }
  return out;
}

}  // namespace

std::vector<ScriptedFileIO::Rename> ScriptedFileIO::renames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return renames_;
}

int ScriptedFileIO::rename(const char* from, const char* to) {
  {
    Rename seen{from, to, attributesOf(from)};
    std::lock_guard<std::mutex> lock(mutex_);
    renames_.push_back(std::move(seen));
  }
  if (const int error = renameError_) {
    errno = error;
    return -1;
  }
  return FileIO::rename(from, to);
}

int ScriptedFileIO::unlink(const char* path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unlinked_.emplace_back(path);
  }
  if (const int error = unlinkError_) {
    errno = error;
    return -1;
  }
  return FileIO::unlink(path);
}
