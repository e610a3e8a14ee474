#include "FilePickerUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "internal/FileInfo.h"
#include "internal/FilePickerTemporaryFiles.h"
#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/UTF8.h"
#include "platform/imageio/UTType.h"

bool FilePickerUtils::clearTemporaryFiles() { return FilePickerTemporaryFiles::clear(); }

std::optional<std::vector<std::string>> FilePickerUtils::resolveType(
    const std::string& type, const Value& allowedExtensions) {
  if (type == "any") return std::vector<std::string>{kUTTypeItem};
  if (type == "image") return std::vector<std::string>{kUTTypeImage};
  if (type == "video") return std::vector<std::string>{kUTTypeMovie};
  if (type == "audio") return std::vector<std::string>{kUTTypeAudio};
  if (type == "media") return std::vector<std::string>{kUTTypeImage, kUTTypeVideo};
  if (type != "custom") return std::nullopt;
  if (!allowedExtensions.isList() || allowedExtensions.asList().empty()) return std::nullopt;
  std::vector<std::string> identifiers;
  for (const Value& extension : allowedExtensions.asList()) {
    if (!extension.isString()) continue;
    // The path extension of "dummy.<extension>": what follows the last dot of
    // the last path component.
    const std::string name = "dummy." + extension.asString();
    const std::string last = name.substr(name.find_last_of('/') + 1);
    const size_t dot = last.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) continue;
    const std::string identifier = UTTypeCreatePreferredIdentifierForTag(
        kUTTagClassFilenameExtension, last.substr(dot + 1), std::nullopt);
    if (identifier.empty() || identifier.find("dyn.") != std::string::npos) continue;
    identifiers.push_back(identifier);
  }
  return identifiers;
}

int64_t FilePickerUtils::resolveMediaType(const std::string& type) {
  if (type == "video") return 0;
  if (type == "image") return 1;
  return 2;
}

uint64_t FilePickerUtils::withDataLimit() {
  constexpr uint64_t kAtMost = uint64_t{1} << 30;
  return std::min(kAtMost, NSProcessInfo::processInfo().physicalMemory() / 16);
}

std::optional<Bytes> FilePickerUtils::readFile(const std::string& path, uint64_t maxBytes,
                                               bool* tooLarge, NSErrorPtr* error) {
  if (tooLarge) *tooLarge = false;
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (file.fd < 0) {
    if (error) *error = NSError::posixError(errno, "open");
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = NSError::posixError(EINVAL, path + " is not a regular file");
    return std::nullopt;
  }
  ::fcntl(file.fd, F_SETFL, 0);
  // Read as the copies are made: a file that keeps changing fails, and one
  // that grows past the limit on the way is too large.
  Bytes data;
  NSErrorPtr failure;
  if (!ReadOpenFile(*FileIO::current(), file.fd, path, data, &failure, maxBytes)) {
    if (tooLarge && failure && failure->code() == EFBIG) *tooLarge = true;
    if (error) *error = failure;
    return std::nullopt;
  }
  return data;
}

namespace {

std::string withDataRefusalText(uint64_t maxDataBytes, uint64_t held) {
  return "withData holds at most " + std::to_string(maxDataBytes) +
         " bytes; the picked files hold " + std::to_string(held);
}

}  // namespace

std::optional<std::string> FilePickerUtils::withDataRefusal(const std::vector<std::string>& paths,
                                                            uint64_t maxDataBytes) {
  uint64_t contents = 0;
  for (const auto& path : paths) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      contents += static_cast<uint64_t>(st.st_size);
    }
  }
  if (contents <= maxDataBytes) return std::nullopt;
  return withDataRefusalText(maxDataBytes, contents);
}

std::optional<Value> FilePickerUtils::resolveFileInfo(
    const std::optional<std::vector<NSURLPtr>>& urls, bool loadData, uint64_t maxDataBytes,
    std::string* refusal, std::vector<std::string>* unread) {
  if (!urls) return std::nullopt;
  auto refuse = [&](uint64_t held) -> std::optional<Value> {
    if (refusal) *refusal = withDataRefusalText(maxDataBytes, held);
    return std::nullopt;
  };
  // Sizes first: contents over the limit are refused before a byte is read.
  std::vector<int64_t> sizes;
  sizes.reserve(urls->size());
  uint64_t contents = 0;
  for (const auto& url : *urls) {
    struct stat st;
    const bool found = url && ::stat(url->path().c_str(), &st) == 0;
    sizes.push_back(found ? static_cast<int64_t>(st.st_size) : 0);
    if (found && S_ISREG(st.st_mode)) contents += static_cast<uint64_t>(st.st_size);
  }
  if (loadData && contents > maxDataBytes) return refuse(contents);

  ValueList list;
  list.reserve(urls->size());
  uint64_t left = maxDataBytes;
  for (size_t i = 0; i < urls->size(); ++i) {
    const auto& url = (*urls)[i];
    if (!url) continue;
    const std::string path = url->path();
    const std::string name = path.substr(path.find_last_of('/') + 1);
    std::optional<Bytes> data;
    if (loadData) {
      bool tooLarge = false;
      NSErrorPtr error;
      data = readFile(path, left, &tooLarge, &error);
      if (!data && !tooLarge && unread) {
        unread->push_back(path + " left out, its contents cannot be read: " +
                          (error ? error->localizedDescription() : std::string("unknown error")));
        continue;
      }
      if (tooLarge) {
        // The file grew after its size was taken.
        struct stat st;
        const uint64_t now = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        return refuse(maxDataBytes - left + std::max(now, left + 1));
      }
      if (data) left -= data->size();
    }
    list.push_back(FileInfo(path, url, name, sizes[i], std::move(data)).toData());
  }
  return Value(std::move(list));
}

std::string FilePickerUtils::cleanedName(const std::string& title) {
  const std::u32string points = UTF8CodePoints(ValidUTF8(title));
  std::string out;
  for (char32_t c : points) {
    std::string piece;
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == 0xfffd) {
      piece = "_";
    } else if (c == '.' && out.empty()) {
      continue;
    } else {
      AppendUTF8(piece, static_cast<uint32_t>(c));
    }
    if (out.size() + piece.size() > 64) break;
    out += piece;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out.empty() ? "audio" : out;
}

void FilePickerUtils::exportMusicAsset(const NSURLPtr& assetURL,
                                       const std::optional<std::string>& title,
                                       ExportCompletion completion) {
  auto done =
      SplitOnceCallback(dispatch_bind_to_queue(dispatch_get_main_queue(), std::move(completion)));
  auto finish = [done](NSURLPtr url, NSErrorPtr error) { done(url, error); };
  if (!assetURL || !assetURL->isFileURL()) {
    return finish(nullptr, NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorExportFailed,
                                                         "The item has no file to export."));
  }
  auto session = AVAssetExportSession::exportSessionWithAsset(AVURLAsset::URLAssetWithURL(assetURL),
                                                              AVAssetExportPresetAppleM4A);
  if (!session) {
    return finish(nullptr, NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorExportFailed,
                                                         "The item cannot be exported."));
  }
  auto folder = FilePickerTemporaryFiles::folder();
  if (!folder) {
    return finish(nullptr,
                  NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorExportFailed,
                                                "The temporary folder cannot be made."));
  }
  const std::string name = cleanedName(title.value_or("")) + "-" +
                           NSRandomUUIDString().substr(0, 8) + ".m4a";
  auto target = NSURL::fileURLWithPath(*folder + "/" + name);
  session->setOutputFileType(AVFileTypeAppleM4A);
  session->setOutputURL(target);
  session->exportAsynchronouslyWithCompletionHandler([session, target, finish]() mutable {
    if (session->status() == AVAssetExportSessionStatusCompleted) return finish(target, nullptr);
    auto error = session->error();
    finish(nullptr, error ? error
                          : NSError::errorWithDescription(AVFoundationErrorDomain,
                                                          AVErrorExportFailed,
                                                          "The export did not complete."));
  });
}
