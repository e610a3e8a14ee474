#include "FileIO.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
