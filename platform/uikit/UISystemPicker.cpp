#include "UISystemPicker.h"

#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/SingletonResets.h"

std::shared_ptr<UISystemPickerProvider> UISystemPickerCommandProvider();  // UISystemPickerCommand.cpp

namespace {

std::mutex gProviderMutex;
std::shared_ptr<UISystemPickerProvider> gProvider;  // guarded by gProviderMutex

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      std::lock_guard<std::mutex> lock(gProviderMutex);
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

}  // namespace

std::shared_ptr<UISystemPickerProvider> UISystemPickerProvider::current() {
  registerReset();
  std::lock_guard<std::mutex> lock(gProviderMutex);
  if (!gProvider) gProvider = UISystemPickerCommandProvider();
  return gProvider;
}

void UISystemPickerProvider::setCurrent(std::shared_ptr<UISystemPickerProvider> provider) {
  registerReset();
  std::lock_guard<std::mutex> lock(gProviderMutex);
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
  const std::string folder = NSTemporaryDirectory() + folderPrefix + "-" + NSRandomUUIDString();
  NSErrorPtr failure;
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.empty()) name = "item";
  const std::string target = folder + "/" + name;
  if (!files->createDirectoryAtPath(folder, true, &failure) ||
      !files->copyItemAtPath(*source, target, &failure)) {
    if (error) *error = failure ? failure->localizedDescription() : "cannot copy " + path;
    files->removeItemAtPath(folder);
    return std::nullopt;
  }
  return target;
}
