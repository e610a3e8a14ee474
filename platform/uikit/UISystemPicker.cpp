#include "UISystemPicker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/foundation/FileIO.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/ProcessTemporaryFolders.h"
#include "platform/foundation/SingletonResets.h"

std::shared_ptr<UISystemPickerProvider> UISystemPickerCommandProvider();  // UISystemPickerCommand.cpp

namespace {

Mutex gProviderMutex;
std::shared_ptr<UISystemPickerProvider> gProvider GUARDED_BY(gProviderMutex);

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gProviderMutex);
      gProvider = nullptr;
    });
  });
}

// Letters, digits and ".+-_", not starting with "." or "-": a type identifier
// or an extension that cannot read as anything else.
bool isPlainToken(const std::string& token) {
  if (token.empty() || token.size() > 255 || token[0] == '.' || token[0] == '-') return false;
  for (char c : token) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '+' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::optional<std::string> canonical(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::nullopt;
  std::string out = real;
  std::free(real);
  return out;
}

const char* modeName(UISystemPickerMode mode) {
  switch (mode) {
    case UISystemPickerMode::Import: return "import";
    case UISystemPickerMode::Open: return "open";
    case UISystemPickerMode::Export: return "export";
    case UISystemPickerMode::Photo: return "photo";
    case UISystemPickerMode::Image: return "image";
    case UISystemPickerMode::Music: return "music";
  }
  return "import";
}

// The bytes a copy of `path` takes: a regular file's size, a folder's
// regular files (links and anything else are not copied).
uint64_t copySize(const std::string& path, bool followLink) {
  struct stat st;
  if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return 0;
  if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  if (!S_ISDIR(st.st_mode)) return 0;
  uint64_t total = 0;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") total += copySize(path + "/" + name, false);
  }
  ::closedir(dir);
  return total;
}

// "12.3 MB": enough to tell a person how far off a copy is.
std::string byteText(uint64_t bytes) {
  const char* units[] = {"bytes", "KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1000 && unit + 1 < std::size(units)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

bool fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

// Copies the regular file `source` to `target` (a new file). Opened without
// blocking and checked once open, so a fifo or a device put in the file's
// place is refused, not read.
bool copyFile(const std::string& source, const std::string& target, std::string* error) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (in < 0) return fail(error, source + ": " + std::strerror(errno));
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return fail(error, source + " is not a regular file");
  }
  ::fcntl(in, F_SETFL, 0);
  // A file that changes under the copy is copied again, never handed on torn.
  NSErrorPtr failure;
  const bool copied =
      CopyOpenFile(*FileIO::current(), in, source, target, st.st_mode & 0777, &failure);
  ::close(in);
  if (copied) return true;
  return fail(error, failure ? source + " to " + target + ": " + failure->localizedDescription()
                             : "cannot copy " + source);
}

// Copies a regular file or a folder; inside a folder only folders and
// regular files are copied, never a link back to the user's items.
bool copyItem(const std::string& source, const std::string& target, bool top, std::string* error) {
  struct stat st;
  if ((top ? ::stat(source.c_str(), &st) : ::lstat(source.c_str(), &st)) != 0) {
    return fail(error, source + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) {
    if (!top && !S_ISREG(st.st_mode)) return true;
    return copyFile(source, target, error);
  }
  if (::mkdir(target.c_str(), (st.st_mode & 0777) | S_IRWXU) != 0) {
    return fail(error, target + ": " + std::strerror(errno));
  }
  DIR* dir = ::opendir(source.c_str());
  if (!dir) return fail(error, source + ": " + std::strerror(errno));
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  for (const auto& name : names) {
    if (!copyItem(source + "/" + name, target + "/" + name, false, error)) return false;
  }
  return true;
}

}  // namespace

std::optional<uint64_t> UISystemPickerProvider::availableBytes(const std::string& folder) {
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
}

std::shared_ptr<UISystemPickerProvider> UISystemPickerProvider::current() {
  registerReset();
  MutexLock lock(gProviderMutex);
  if (!gProvider) gProvider = UISystemPickerCommandProvider();
  return gProvider;
}

void UISystemPickerProvider::setCurrent(std::shared_ptr<UISystemPickerProvider> provider) {
  registerReset();
  MutexLock lock(gProviderMutex);
  gProvider = std::move(provider);
}

std::optional<std::vector<std::string>> UISystemPickerArguments(
    const UISystemPickerRequest& request) {
  std::vector<std::string> args;
  args.push_back(std::string("mode=") + modeName(request.mode));
  args.push_back(std::string("multiple=") + (request.multiple ? "1" : "0"));
  args.push_back("limit=" + std::to_string(request.limit < 0 ? 0 : request.limit));
  for (const auto& type : request.types) {
    if (isPlainToken(type)) args.push_back("type=" + type);
  }
  for (const auto& extension : request.extensions) {
    if (isPlainToken(extension)) args.push_back("extension=" + extension);
  }
  if (!request.startDirectory.empty()) {
    auto folder = canonical(request.startDirectory);
    struct stat st;
    if (folder && ::stat(folder->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      args.push_back("start=" + *folder);
    }
  }
  if (request.mode == UISystemPickerMode::Export) {
    auto file = canonical(request.exportFile);
    if (!file) return std::nullopt;
    args.push_back("save=" + *file);
  }
  return args;
}

std::vector<std::string> UISystemPickerParseOutput(const std::string& output,
                                                   UISystemPickerMode mode) {
  std::vector<std::string> paths;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] != '/' || line.find('\0') != std::string::npos) continue;
    struct stat st;
    if (mode == UISystemPickerMode::Export) {
      std::string folder = line.substr(0, line.find_last_of('/'));
      std::string name = line.substr(line.find_last_of('/') + 1);
      if (folder.empty()) folder = "/";
      if (name.empty() || name == "." || name == "..") continue;
      if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    } else if (::stat(line.c_str(), &st) != 0) {
      continue;
    }
    paths.push_back(line);
  }
  return paths;
}

std::string UISystemPickerPhotoLibraryFolder() {
  if (const char* folder = std::getenv("QX_PHOTO_LIBRARY"); folder && *folder) return folder;
  auto library = NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Library);
  return library.front()->path() + "/PhotoLibrary";
}

std::string UISystemPickerMusicLibraryFolder() {
  if (const char* folder = std::getenv("QX_MUSIC_LIBRARY"); folder && *folder) return folder;
  auto library = NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Library);
  return library.front()->path() + "/Music";
}

std::optional<std::string> UISystemPickerItemRefusal(const std::string& path,
                                                     const UISystemPickerRequest& request) {
  struct stat st;
  const bool found = ::stat(path.c_str(), &st) == 0;
  if (request.mode == UISystemPickerMode::Export) {
    if (!found || S_ISREG(st.st_mode)) return std::nullopt;
    return path + (S_ISDIR(st.st_mode) ? " is a folder" : " is not a regular file");
  }
  if (!found) return "no such item: " + path;
  if (S_ISREG(st.st_mode)) return std::nullopt;
  if (S_ISDIR(st.st_mode)) {
    const bool folders = std::find(request.types.begin(), request.types.end(), "public.folder") !=
                         request.types.end();
    if (folders) return std::nullopt;
    return path + " is a folder, and this picker picks files";
  }
  return path + " is not a regular file";
}

std::optional<std::string> UISystemPickerCopiesRefusal(const std::vector<std::string>& paths,
                                                       const std::string& folder) {
  uint64_t needed = 0;
  for (const auto& path : paths) needed += copySize(path, true);
  auto available = UISystemPickerProvider::current()->availableBytes(folder);
  if (!available || needed <= *available) return std::nullopt;
  return "the picked items take " + byteText(needed) + " (" + std::to_string(needed) +
         " bytes), more than the " + byteText(*available) + " (" + std::to_string(*available) +
         " bytes) free on the disk of " + folder;
}

std::optional<std::string> UISystemPickerCopyToTemporary(const std::string& path,
                                                         const std::string& folderPrefix,
                                                         std::string* error) {
  auto files = NSFileManager::defaultManager();
  // Links are followed: the copy holds the contents, never a way back to the
  // user's own item.
  auto source = canonical(path);
  if (!source) {
    if (error) *error = "no such item: " + path;
    return std::nullopt;
  }
  // Named after this process, so that what a host killed during the copy
  // left is removed when the next one starts.
  NSErrorPtr failure;
  auto made = MakeProcessTemporaryFolder(folderPrefix, &failure);
  if (!made) {
    if (error) *error = failure ? failure->localizedDescription() : "cannot make a folder";
    return std::nullopt;
  }
  const std::string folder = *made;
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.empty()) name = "item";
  const std::string target = folder + "/" + name;
  if (!copyItem(*source, target, true, error)) {
    files->removeItemAtPath(folder);
    return std::nullopt;
  }
  return target;
}
