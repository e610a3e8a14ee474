#include "FileIO.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
