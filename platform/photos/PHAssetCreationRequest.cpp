#include "platform/photos/PHAssetCreationRequest.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include "platform/foundation/NSFileManager.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/UTType.h"
#include "platform/uikit/UIImage.h"

namespace {

thread_local PHChangeTransaction* tCurrent = nullptr;

NSErrorPtr invalidResource(const std::string& why) {
  return NSError::errorWithDescription(PHPhotosErrorDomain, PHPhotosErrorInvalidResource, why);
}

// A free name in the folder: "name.ext", then "name 2.ext" and so on.
// The first of "name", "name 2", ... free on disk whose identifier could be
// reserved: a name another change request is writing is taken too.
std::string claimName(PHLibraryStore& store, const std::string& name, const std::string& identifier) {
  auto dot = name.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
  std::string candidate = name;
  struct stat st;
  for (int i = 2; lstat((store.root() + "/" + candidate).c_str(), &st) == 0 ||
                  !store.reserveIdentifier(candidate, identifier);
       ++i) {
    candidate = stem + " " + std::to_string(i) + ext;
  }
  return candidate;
}

// Only a plain last component may name a file in the library.
std::string safeName(const std::string& name, const std::string& fallback) {
  std::string out;
  for (char c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  while (!out.empty() && out[0] == '.') out.erase(0, 1);
  return out.empty() ? fallback : out;
}

std::string generatedName(const std::string& extension) {
  static std::atomic<unsigned> counter{0};
  char buf[64];
  std::snprintf(buf, sizeof buf, "IMG_%08lld_%u.%s", static_cast<long long>(time(nullptr)),
                counter.fetch_add(1), extension.c_str());
  return buf;
}

std::string extensionForData(const Bytes& bytes, PHAssetResourceType type) {
  if (auto source = CGImageSourceCreateWithBytes(std::make_shared<const Bytes>(bytes))) {
    if (auto t = UTType::typeWithIdentifier(CGImageSourceGetType(source))) {
      if (auto ext = t->preferredFilenameExtension()) return *ext;
    }
  }
  return type == PHAssetResourceTypeVideo ? "mov" : "";
}

struct Planned {
  std::string name;
  Bytes bytes;
  std::string sourcePath;  // copy this file when bytes are empty
};

NSErrorPtr plan(const PHAssetChangeRequest::Resource& r, Planned& out) {
  if (r.image) {
    auto jpeg = UIImageJPEGRepresentation(r.image, 0.9);
    if (!jpeg) return invalidResource("The image could not be encoded.");
    out.bytes = jpeg->vector();
    out.name = generatedName("JPG");
    return nullptr;
  }
  if (r.data) {
    std::string ext = extensionForData(r.data->vector(), r.type);
    if (ext.empty()) return invalidResource("The data is no image the library can read.");
    out.bytes = r.data->vector();
    out.name = r.options.originalFilename ? safeName(*r.options.originalFilename, generatedName(ext))
                                          : generatedName(ext);
    return nullptr;
  }
  if (r.fileURL && r.fileURL->isFileURL()) {
    std::string path = r.fileURL->path();
    std::string name = r.options.originalFilename.value_or(r.fileURL->lastPathComponent());
    bool video = r.type == PHAssetResourceTypeVideo;
    if (!(video ? PHIsVideoFileName(name) : PHIsImageFileName(name))) {
      return invalidResource("The file " + name + " is no " + (video ? "video" : "image") +
                             " the library takes.");
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return NSError::posixError(errno ? errno : EINVAL, "stat " + path);
    }
    out.sourcePath = path;
    out.name = safeName(name, generatedName(video ? "MOV" : "JPG"));
    return nullptr;
  }
  return invalidResource("The change request holds no resource.");
}

}  // namespace

PHChangeTransaction::PHChangeTransaction() { tCurrent = this; }
PHChangeTransaction::~PHChangeTransaction() { tCurrent = nullptr; }
PHChangeTransaction* PHChangeTransaction::current() { return tCurrent; }

PHAssetChangeRequest::PHAssetChangeRequest()
    : placeholder_(std::make_shared<PHObjectPlaceholder>(PHLibraryStore::newLocalIdentifier())) {}

bool PHAssetChangeRequest::enlist(const std::shared_ptr<PHAssetChangeRequest>& request) {
  if (!tCurrent) return false;
  tCurrent->requests.push_back(request);
  return true;
}

std::shared_ptr<PHAssetChangeRequest> PHAssetChangeRequest::requestWith(Resource resource) {
  std::shared_ptr<PHAssetChangeRequest> request(new PHAssetChangeRequest());
  request->resources_.push_back(std::move(resource));
  return enlist(request) ? request : nullptr;
}

std::shared_ptr<PHAssetChangeRequest> PHAssetChangeRequest::creationRequestForAssetFromImage(
    const std::shared_ptr<UIImage>& image) {
  Resource r;
  r.image = image;
  return requestWith(std::move(r));
}

std::shared_ptr<PHAssetChangeRequest> PHAssetChangeRequest::creationRequestForAssetFromImageAtFileURL(
    const NSURLPtr& fileURL) {
  Resource r;
  r.fileURL = fileURL;
  return requestWith(std::move(r));
}

std::shared_ptr<PHAssetChangeRequest> PHAssetChangeRequest::creationRequestForAssetFromVideoAtFileURL(
    const NSURLPtr& fileURL) {
  Resource r;
  r.type = PHAssetResourceTypeVideo;
  r.fileURL = fileURL;
  return requestWith(std::move(r));
}

std::shared_ptr<PHAssetCreationRequest> PHAssetCreationRequest::creationRequestForAsset() {
  std::shared_ptr<PHAssetCreationRequest> request(new PHAssetCreationRequest());
  return enlist(request) ? request : nullptr;
}

void PHAssetCreationRequest::addResourceWithType(PHAssetResourceType type, const NSDataPtr& data,
                                                 const PHAssetResourceCreationOptions& options) {
  resources_.push_back({type, data, nullptr, nullptr, options});
}

void PHAssetCreationRequest::addResourceWithType(PHAssetResourceType type, const NSURLPtr& fileURL,
                                                 const PHAssetResourceCreationOptions& options) {
  resources_.push_back({type, nullptr, fileURL, nullptr, options});
}

NSErrorPtr PHApplyChangeTransaction(const PHChangeTransaction& transaction, PHLibraryStore& store) {
  // Everything is checked before anything is written.
  std::vector<std::pair<PHAssetChangeRequestPtr, Planned>> plans;
  for (auto& request : transaction.requests) {
    // The asset is its primary resource: the first photo or video given.
    if (request->resources().empty()) return invalidResource("The change request holds no resource.");
    Planned p;
    if (auto error = plan(request->resources().front(), p)) return error;
    plans.emplace_back(request, std::move(p));
  }
  auto fm = NSFileManager::defaultManager();
  std::vector<std::string> written;
  for (auto& [request, p] : plans) {
    std::string name = claimName(store, p.name, request->placeholderForCreatedAsset()->localIdentifier());
    std::string target = store.root() + "/" + name;
    NSErrorPtr error;
    bool ok = p.sourcePath.empty()
                  ? WriteFileAtomically(target, p.bytes.data(), p.bytes.size(), &error)
                  : fm->copyItemAtPath(p.sourcePath, target, &error);
    if (!ok) {
      store.releaseIdentifier(name);
      for (auto& path : written) {
        fm->removeItemAtPath(path);
        store.releaseIdentifier(path.substr(store.root().size() + 1));
      }
      return error ? error : invalidResource("The asset could not be written.");
    }
    written.push_back(target);
    if (request->favorite()) setxattr(target.c_str(), "user.qx.favorite", "1", 1, 0);
  }
  return nullptr;
}
