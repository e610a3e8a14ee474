#pragma once

// The system calls behind atomic file writes, as one seam: the POSIX calls by
// default; tests derive from it to script a full disk or a failing rename and
// hand the result to an NSFileManager. Each call answers as its POSIX
// namesake, setting errno on failure.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "NSError.h"
#include "ValueFwd.h"

class FileIO {
 public:
  virtual ~FileIO() = default;

  virtual int makeTemporary(char* pathTemplate);  // mkstemp
  virtual ssize_t read(int fd, void* data, size_t length);
  virtual ssize_t write(int fd, const void* data, size_t length);
  virtual int sync(int fd);  // fsync
  virtual int close(int fd);
  virtual int rename(const char* from, const char* to);
  virtual int unlink(const char* path);

  // The plain POSIX calls, shared by everyone who was given no other.
  static const std::shared_ptr<FileIO>& system();
  // The calls the process-wide stores that nobody hands a file manager (the
  // user defaults) write through, and whole-file reads (ReadFileContents,
  // the copies pickers make of picked files) read through: system() until
  // another is installed;
  // nullptr puts system() back. Safe from any thread.
  static std::shared_ptr<FileIO> current();
  static void setCurrent(std::shared_ptr<FileIO> io);
};

// WriteFileAtomically() through `io`, calling `beforeSync` with the
// temporary's path once the data is written, to give the file what must
// appear with it (extended attributes): the rename then brings both at once.
bool WriteFileAtomicallyPreparing(FileIO& io, const std::string& path, std::string tempTemplate,
                                  const void* data, size_t length, NSErrorPtr* error,
                                  const std::function<void(const std::string& temporary)>& beforeSync);

// Copies the regular file open at `in` (`source` names it in errors), from
// its start, into the new file `destination`, writing through `io`. A pass
// during which the file changed (its size or modification time moved) is
// thrown away and the copy made again, three passes at most, so what arrives
// is a whole version of the file and never a torn one; a file that keeps
// changing fails with EAGAIN. Nothing is left at `destination` on failure.
bool CopyOpenFile(FileIO& io, int in, const std::string& source, const std::string& destination,
                  mode_t mode, NSErrorPtr* error);

// The same reading into memory: `out` gets a whole version of the regular
// file open at `in`, read through `io`, or the same EAGAIN error as
// CopyOpenFile's when it kept changing (`out` is then empty). A file over
// `maxBytes` fails with EFBIG before it is read, or as soon as a pass
// finds it grew past that.
bool ReadOpenFile(FileIO& io, int in, const std::string& source, Bytes& out, NSErrorPtr* error,
                  uint64_t maxBytes = UINT64_MAX);
