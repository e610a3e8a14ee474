#pragma once

// File system calls that a test scripts: real calls until told otherwise,
// then a disk that fills up after a number of bytes (short writes, then
// ENOSPC, as a real full disk answers), a flush or a rename that fails. Hand
// it to an NSFileManager to reach the code under test.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/FileIO.h"

class ScriptedFileIO : public FileIO {
 public:
  // Writes succeed for `bytes` more bytes in all; the write that crosses the
  // budget writes what fits, and every write after it fails with `error`.
  void failWritesAfter(uint64_t bytes, int error = ENOSPC);
  // Temporary files cannot be made (EROFS: a read-only folder, even for root).
  void failCreate(int error) { createError_ = error; }
  void failSync(int error) { syncError_ = error; }
  void failRename(int error) { renameError_ = error; }
  // Files cannot be removed (EROFS, or EPERM of an immutable file: what stops
  // even root).
  void failUnlink(int error) { unlinkError_ = error; }
  // The file at `path` changes as each of the next `passes` whole-file reads
  // of it begins (its first read from the start): its first byte rewritten
  // as "x" in place, or an "x" appended, and its modification time moved on
  // by a second or, `withinSecond`, by a nanosecond only.
  void changeDuringReads(std::string path, int passes, bool inPlace, bool withinSecond = false);
  // Reads of an open file whose path (as the kernel names it) `matches`
  // fail with `error`: EIO, a disk failing under the file, stops even root.
  void failReadsOf(std::function<bool(const std::string& path)> matches, int error = EIO);
  // Back to real calls.
  void heal();

  // Temporary files made and files removed through this seam.
  std::vector<std::string> temporaries() const;
  std::vector<std::string> unlinked() const;
  // Each rename asked for, with the extended attributes (full names) the
  // file carried at that moment: what a reader sees the instant it appears.
  struct Rename {
    std::string from, to;
    std::map<std::string, std::string> attributes;
  };
  std::vector<Rename> renames() const;

  int makeTemporary(char* pathTemplate) override;
  ssize_t read(int fd, void* data, size_t length) override;
  ssize_t write(int fd, const void* data, size_t length) override;
  int sync(int fd) override;
  int rename(const char* from, const char* to) override;
  int unlink(const char* path) override;

 private:
  mutable std::mutex mutex_;
  bool limited_ = false;  // guarded by mutex_
  uint64_t budget_ = 0;   // guarded by mutex_
  int writeError_ = 0;    // guarded by mutex_
  std::atomic<int> createError_{0};
  std::atomic<int> syncError_{0};
  std::atomic<int> renameError_{0};
  std::atomic<int> unlinkError_{0};
  std::vector<std::string> temporaries_;  // guarded by mutex_
  std::vector<std::string> unlinked_;     // guarded by mutex_
  std::vector<Rename> renames_;           // guarded by mutex_
  std::string changing_;                  // guarded by mutex_
  int changes_ = 0;                       // guarded by mutex_
  bool inPlace_ = false;                  // guarded by mutex_
  bool withinSecond_ = false;             // guarded by mutex_
  std::function<bool(const std::string&)> unreadable_;  // guarded by mutex_
  int readError_ = 0;                                   // guarded by mutex_
};
