#pragma once

// File-system operations with the platform's names, on plain POSIX calls.
// Failures answer false / nullopt and, when asked, an NSError of the POSIX
// domain whose code is errno and whose description names the failed call.
//
// The application container is the folder that stands for the app's sandbox:
// env QX_APP_HOME, else $XDG_DATA_HOME/quorlinex, else
// ~/.local/share/quorlinex. Its Documents/, Library/, Library/Caches/,
// Library/Application Support/, Library/Preferences/ and tmp/ are created
// when first asked for.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NSData.h"
#include "NSError.h"
#include "NSObject.h"
#include "NSURL.h"
#include "ValueFwd.h"

class FileIO;

// Keys of attributesOfItemAtPath(). Dates are seconds since 1970 (double).
extern const char* const NSFileType;
extern const char* const NSFileSize;
extern const char* const
    NSFileCreationDate;  // birth time where the kernel keeps one, else change time
extern const char* const NSFileModificationDate;
extern const char* const NSFilePosixPermissions;
// The URL resource values the disk cache reads, given with the attributes.
extern const char* const NSURLContentAccessDateKey;
extern const char* const NSURLAttributeModificationDateKey;
extern const char* const NSURLTotalFileAllocatedSizeKey;
// Values of NSFileType.
extern const char* const NSFileTypeRegular;
extern const char* const NSFileTypeDirectory;
extern const char* const NSFileTypeSymbolicLink;
extern const char* const NSFileTypeUnknown;
// Keys of attributesOfFileSystemForPath(), in bytes.
extern const char* const NSFileSystemSize;
extern const char* const NSFileSystemFreeSize;

enum class NSSearchPathDirectory { Documents, Caches, ApplicationSupport, Library };

class NSFileManager : public NSObject {
 public:
  // File writes go through `io` (the plain system calls when null).
  explicit NSFileManager(std::shared_ptr<FileIO> io = nullptr);
  static std::shared_ptr<NSFileManager> defaultManager();

  FileIO& fileIO() const { return *io_; }

  // Follows symbolic links, as the platform does.
  bool fileExistsAtPath(const std::string& path) const;
  bool fileExistsAtPath(const std::string& path, bool* isDirectory) const;

  // An existing folder is success only with intermediate directories.
  bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                             NSErrorPtr* error = nullptr) const;
  // Written atomically; an existing file is replaced.
  bool createFileAtPath(const std::string& path, const Bytes& contents,
                        NSErrorPtr* error = nullptr) const;
  // The same with the temporary file named by a mkstemp template in the
  // destination's folder, for names too long to take a suffix.
  bool createFileAtPath(const std::string& path, const std::string& tempTemplate,
                        const Bytes& contents, NSErrorPtr* error = nullptr) const;
  // Folders are removed with everything in them; links are removed, not followed.
  bool removeItemAtPath(const std::string& path, NSErrorPtr* error = nullptr) const;
  // Both refuse an existing destination (EEXIST). Folders are copied whole.
  bool copyItemAtPath(const std::string& source, const std::string& destination,
                      NSErrorPtr* error = nullptr) const;
  bool moveItemAtPath(const std::string& source, const std::string& destination,
                      NSErrorPtr* error = nullptr) const;

  // Names in the folder (hidden ones included), sorted.
  std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
      const std::string& path, NSErrorPtr* error = nullptr) const;
  // Every item below the folder as a path relative to it, depth first, sorted
  // per folder; links to folders are not entered.
  std::optional<std::vector<std::string>> subpathsOfDirectoryAtPath(
      const std::string& path, NSErrorPtr* error = nullptr) const;

  // A map of the keys above; the item itself when it is a link.
  std::optional<Value> attributesOfItemAtPath(const std::string& path,
                                              NSErrorPtr* error = nullptr) const;
  // Applies NSFileModificationDate, NSURLContentAccessDateKey and
  // NSFilePosixPermissions when present; other keys are ignored.
  bool setAttributesOfItemAtPath(const Value& attributes, const std::string& path,
                                 NSErrorPtr* error = nullptr) const;
  std::optional<Value> attributesOfFileSystemForPath(const std::string& path,
                                                     NSErrorPtr* error = nullptr) const;

  // The folder in the application container, created when missing; one URL.
  std::vector<NSURLPtr> URLsForDirectory(NSSearchPathDirectory directory) const;

  // The current NSApplicationLocations' container.
  static std::string containerRoot();

 private:
  std::shared_ptr<FileIO> io_;
};

// The container's tmp/ folder, created when missing, ending in "/".
std::string NSTemporaryDirectory();
// The application container, created when missing.
std::string NSHomeDirectory();
