#include "AKImagePickerController/data/AKImageAssetExporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <ctime>

#include "platform/coreimage/CIContext.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/photos/PHAsset.h"

namespace {

// One counter for every exporter of the process.
std::atomic<int32_t> gRequestCounter{0};

constexpr double kSecondsFrom1970To2001 = 978307200.0;

void registerSelectorsAndResets() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] { gRequestCounter.store(0); });
    auto invoker = [](auto call) {
      return [call](NSObject& observer, const Value& one, const Value& two) {
        auto* protocol = dynamic_cast<AKImageAssetExporterObserver*>(&observer);
        auto exporter = one.objectAs<AKImageAssetExporter>();
        auto asset = two.objectAs<AKAsset>();
        return protocol && exporter && call(*protocol, *exporter, asset);
      };
    };
    using O = AKImageAssetExporterObserver;
    AKImageBaseManager::registerSelector(
        "exporterWillBeginExportingWithExporter:asset:",
        invoker([](O& o, AKImageAssetExporter& e, const AKAssetPtr& a) { return o.exporterWillBeginExporting(e, a); }));
    AKImageBaseManager::registerSelector(
        "exporterDidUpdateProgressWithExporter:asset:",
        invoker([](O& o, AKImageAssetExporter& e, const AKAssetPtr& a) { return o.exporterDidUpdateProgress(e, a); }));
    AKImageBaseManager::registerSelector(
        "exporterDidEndExportingWithExporter:asset:",
        invoker([](O& o, AKImageAssetExporter& e, const AKAssetPtr& a) { return o.exporterDidEndExporting(e, a); }));
  });
}

// Shortest text that reads back as the same double, with a decimal point.
std::string shortestDecimal(double value) {
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, result.ptr);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string lastComponentOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name with its extension replaced (or added).
std::string withExtension(const std::string& name, const std::string& extension) {
  auto dot = name.rfind('.');
  std::string stem = (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
  return stem + "." + extension;
}

std::string extensionForFileType(const std::string& type) {
  if (type == AVFileTypeMPEG4) return "mp4";
  if (type == AVFileTypeAppleM4V) return "m4v";
  if (type == AVFileTypeAppleM4A) return "m4a";
  return "mov";
}

// A folder and its missing parents, made from the deepest parent that
// exists: walking down from the root would take the lock of every ancestor
// (a busy /tmp among them) for each exported file.
NSErrorPtr makeFolders(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return nullptr;
  int err = errno;
  if (err == ENOENT) {
    std::string parent = parentOf(path);
    if (parent.empty() || parent == "." || parent == path) return NSError::posixError(err, "mkdir " + path);
    if (auto failure = makeFolders(parent)) return failure;
    if (::mkdir(path.c_str(), 0755) == 0) return nullptr;
    err = errno;
  }
  struct stat st;
  if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return nullptr;
  return NSError::posixError(err == EEXIST ? ENOTDIR : err, "mkdir " + path);
}

bool isLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool existsNoFollow(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The hidden folder is what makes the file appear whole, so the file in it
// is written plainly (no flush to disk: exported files live until the
// application ends) and never through a link.
NSErrorPtr writeNewFile(const std::string& path, const NSData& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return NSError::posixError(errno, "open " + path);
  const uint8_t* p = data.bytes();
  size_t left = data.length();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      close(fd);
      unlink(path.c_str());
      return NSError::posixError(err, "write " + path);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (close(fd) != 0) return NSError::posixError(errno, "close " + path);
  return nullptr;
}

// A new hidden folder beside the asset's file, that only this write uses:
// another export of the same asset (in this process or another one using
// the same export directory) works in a folder of its own, and none removes
// another's.
NSErrorPtr makeWorkFolder(const std::string& directory, std::string& folder) {
  if (auto failure = makeFolders(directory)) return failure;
  std::string pattern = directory + "/.tmp-XXXXXX";
  if (!::mkdtemp(pattern.data())) return NSError::posixError(errno, "mkdtemp " + pattern);
  folder = pattern;
  return nullptr;
}

// Moves a finished file to its place unless something is there already:
// a file that another export of the same asset put there first is kept (the
// same asset gives the same file), a link or anything else is refused.
NSErrorPtr placeFinishedFile(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return nullptr;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // A file system without that kind of rename: a new link refuses to
    // replace too.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return nullptr;
    }
    err = errno;
  }
  struct stat st;
  if (err == EEXIST && lstat(to.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) return nullptr;
    if (S_ISLNK(st.st_mode))
      return NSError::posixError(ELOOP, "refusing to export onto the link " + to);
  }
  return NSError::posixError(err, "rename " + to);
}

bool cancelledInfo(const Value& info) {
  const Value* v = info.find(PHImageCancelledKey);
  return v && v->asBool();
}

}  // namespace

struct AKImageAssetExporter::Request {
  int32_t requestID = 0;
  std::vector<AKAssetPtr> assets;
  // Finishing and a cancel before the start race to answer.
  SharedOnceCallback<void(const Value& info)> completion;
  std::weak_ptr<NSOperation> operation;
  std::atomic<size_t> ended{0};
};

AKImageAssetExporter::AKImageAssetExporter(AKImageAssetExporterConfigurationPtr configuration)
    : configuration_(std::move(configuration)),
      exportQueue_(std::make_shared<NSOperationQueue>()),
      semaphore_(dispatch_semaphore_create(0)) {
  exportQueue_->setName("AKImageAssetExporter_ExportQueue");
  exportQueue_->setMaxConcurrentOperationCount(1);
  registerSelectorsAndResets();
  AKImageAssetDiskPurger::shared().add(configuration_->exportDirectory);
}

std::shared_ptr<AKImageAssetExporter> AKImageAssetExporter::initWithConfiguration(
    const AKImageAssetExporterConfiguration& configuration) {
  return std::shared_ptr<AKImageAssetExporter>(new AKImageAssetExporter(configuration.copy()));
}

std::shared_ptr<AKImageAssetExporter> AKImageAssetExporter::sharedInstance() {
  static auto shared = initWithConfiguration(AKImageAssetExporterConfiguration());
  return shared;
}

std::shared_ptr<AKImageAssetExporter> AKImageAssetExporter::self() {
  return std::static_pointer_cast<AKImageAssetExporter>(shared_from_this());
}

dispatch_queue_t AKImageAssetExporter::ioQueue() {
  static dispatch_queue_t queue = dispatch_queue_create("AKPhotoImagePreviewVC.ioQueue");
  return queue;
}

int32_t AKImageAssetExporter::exportAssetsAsynchronously(const std::vector<AKAssetPtr>& assets,
                                                         Completion completion) {
  if (assets.empty()) {
    completion(Value(ValueMap{{Value(AKImageAssetExportResultRequestIDKey), Value(int32_t{0})},
                              {Value(AKImageAssetExportResultCancelledKey), Value(false)}}));
    return AKImageAssetExportInvalidRequestID;
  }
  auto request = std::make_shared<Request>();
  request->requestID = ++gRequestCounter;
  request->assets = assets;
  request->completion = SplitOnceCallback(std::move(completion));
  auto me = self();
  // The request keeps its exporter alive until it has finished.
  auto operation = NSBlockOperation::blockOperationWithBlock([me, request] { me->runRequest(request); });
  request->operation = operation;
  operation->setCompletionBlock([me, request] { me->cancelledBeforeStart(request); });
  {
    MutexLock lock(mutex_);
    operations_[request->requestID] = operation;
  }
  exportQueue_->addOperation(operation);
  return request->requestID;
}

bool AKImageAssetExporter::isLive(int32_t requestID) const {
  MutexLock lock(mutex_);
  return operations_.count(requestID) > 0;
}

void AKImageAssetExporter::setInRequesting(const AKAssetPtr& asset) {
  MutexLock lock(mutex_);
  currentAssetInRequesting_ = asset;
}

void AKImageAssetExporter::clearInRequesting(const AKAsset* asset) {
  MutexLock lock(mutex_);
  if (currentAssetInRequesting_.get() == asset) currentAssetInRequesting_.reset();
}

void AKImageAssetExporter::countEnded(const std::shared_ptr<Request>& request) {
  // Whoever ends the last asset finishes the request, after that asset's
  // results and did-end notification are out.
  if (request->ended.fetch_add(1) + 1 != request->assets.size()) return;
  // Held before the signal lets the request's operation finish and go.
  auto operation = request->operation.lock();
  {
    MutexLock lock(mutex_);
    operations_.erase(request->requestID);
  }
  dispatch_semaphore_signal(semaphore_);
  auto completion = request->completion;
  int32_t requestID = request->requestID;
  dispatch_async(dispatch_get_main_queue(), [operation, completion, requestID] {
    completion(Value(ValueMap{{Value(AKImageAssetExportResultRequestIDKey), Value(requestID)},
                              {Value(AKImageAssetExportResultCancelledKey),
                               Value(operation && operation->isCancelled())}}));
  });
}

void AKImageAssetExporter::endAsset(const std::shared_ptr<Request>& request, const AKAssetPtr& asset,
                                    const NSErrorPtr& error) {
  if (!error) {
    NSErrorPtr attributesError;
    NSURLPtr path = asset->localTemporaryPath();
    auto attributes = path ? NSFileManager::defaultManager()->attributesOfItemAtPath(path->path(), &attributesError)
                           : std::nullopt;
    if (attributes) {
      asset->setFileSize(static_cast<uint64_t>(attributes->find(NSFileSize)->asInt64()));
    } else {
      asset->setError(attributesError ? attributesError : AKImageAssetExporterMakeError(
                                                              AKImageAssetExporterError::exportFailed,
                                                              "The exported file is missing."));
      asset->setLocalTemporaryPath(nullptr);
    }
  } else {
    asset->setError(error);
    asset->setLocalTemporaryPath(nullptr);
  }
  notify("exporterDidEndExportingWithExporter:asset:", Value(shared_from_this()),
         Value(std::static_pointer_cast<NSObject>(asset)));
  countEnded(request);
}

void AKImageAssetExporter::cancelledBeforeStart(const std::shared_ptr<Request>& request) {
  auto operation = request->operation.lock();
  if (!operation) return;
  bool cancelled = operation->isCancelled();
  {
    MutexLock lock(mutex_);
    operations_.erase(request->requestID);
  }
  if (cancelled) {
    for (auto& asset : request->assets) {
      asset->setError(AKImageAssetExporterCancelledError());
      notify("exporterDidEndExportingWithExporter:asset:", Value(shared_from_this()),
             Value(std::static_pointer_cast<NSObject>(asset)));
    }
  }
  // Every caller hears once, also of a request that ended without running.
  auto completion = request->completion;
  int32_t requestID = request->requestID;
  dispatch_async(dispatch_get_main_queue(), [completion, requestID, cancelled] {
    completion(Value(ValueMap{{Value(AKImageAssetExportResultRequestIDKey), Value(requestID)},
                              {Value(AKImageAssetExportResultCancelledKey), Value(cancelled)}}));
  });
}

bool AKImageAssetExporter::reuseExisting(const std::shared_ptr<Request>& request, const AKAssetPtr& asset,
                                         const std::string& directory) {
  auto entries = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(directory);
  if (!entries) return false;
  // Only a regular file counts: a link could point anywhere.
  std::erase_if(*entries, [&](const std::string& name) {
    struct stat st;
    return name.empty() || name[0] == '.' || lstat((directory + "/" + name).c_str(), &st) != 0 ||
           !S_ISREG(st.st_mode);
  });
  if (entries->empty()) return false;
  asset->setLocalTemporaryPath(NSURL::fileURLWithPath(directory + "/" + entries->front(), false));
  asset->setFileName(entries->front());
  endAsset(request, asset, nullptr);
  return true;
}

void AKImageAssetExporter::runRequest(const std::shared_ptr<Request>& request) {
  auto operation = request->operation.lock();
  if (!operation || !isLive(request->requestID)) return;
  operation->setCompletionBlock(nullptr);
  auto me = self();
  for (auto& asset : request->assets) {
    asset->setProgress(0);
    Value exporterValue(shared_from_this()), assetValue(std::static_pointer_cast<NSObject>(asset));
    notify("exporterWillBeginExportingWithExporter:asset:", exporterValue, assetValue);
    if (operation->isCancelled()) {
      endAsset(request, asset, AKImageAssetExporterCancelledError());
      continue;
    }
    std::string directory = generateTemporaryPath(*asset)->path();
    asset->setLocalTemporaryPath(NSURL::fileURLWithPath(directory, true));
    asset->setError(nullptr);
    if (reuseExisting(request, asset, directory)) continue;
    ProgressReporter progress = [me, asset](double p) {
      asset->setProgress(p);
      me->notify("exporterDidUpdateProgressWithExporter:asset:", Value(std::static_pointer_cast<NSObject>(me)),
                 Value(std::static_pointer_cast<NSObject>(asset)));
    };
    AssetCompletion completion(OnceCallback<void(const NSErrorPtr&)>(
        [me, request, asset](const NSErrorPtr& error) { me->endAsset(request, asset, error); }));
    if (asset->type() == AKAssetType::video) {
      exportVideo(asset, request->requestID, directory, progress, completion);
    } else {
      exportImage(asset, request->requestID, directory, progress, completion);
    }
  }
  DispatchBlockingScope blocking;
  dispatch_semaphore_wait(semaphore_, DISPATCH_TIME_FOREVER);
}

void AKImageAssetExporter::cancel(int32_t requestID) {
  NSOperationPtr operation;
  std::shared_ptr<AVAssetExportSession> session;
  {
    MutexLock lock(mutex_);
    auto it = operations_.find(requestID);
    if (it == operations_.end()) return;
    operation = it->second;
    if (operation->isExecuting()) session = currentAVExportSession_.lock();
  }
  if (session) session->cancelExport();
  operation->cancel();
  MutexLock lock(mutex_);
  operations_.erase(requestID);
}

void AKImageAssetExporter::cancelAll() {
  std::map<int32_t, NSOperationPtr> operations;
  AKAssetPtr inRequesting;
  std::shared_ptr<AVAssetExportSession> session;
  {
    MutexLock lock(mutex_);
    operations = operations_;
  }
  // Cancelled before forgotten: a request that starts in between finds
  // itself cancelled and still completes, as cancelled.
  exportQueue_->cancelAllOperations();
  for (auto& [id, operation] : operations) operation->cancel();
  {
    MutexLock lock(mutex_);
    for (auto& [id, operation] : operations) operations_.erase(id);
    inRequesting = currentAssetInRequesting_;
    session = currentAVExportSession_.lock();
  }
  if (inRequesting) inRequesting->cancelRequests();
  if (session) session->cancelExport();
}

NSURLPtr AKImageAssetExporter::generateTemporaryPath(const AKAsset& asset) const {
  const std::string& id = asset.localIdentifier();
  std::string relative = id.empty() ? shortestDecimal(static_cast<double>(time(nullptr)) - kSecondsFrom1970To2001)
                                    : Base64Encode(reinterpret_cast<const uint8_t*>(id.data()), id.size());
  if (auto original = asset.originalAsset()) {
    if (auto modified = original->modificationDate()) {
      relative += "/" + shortestDecimal(*modified - kSecondsFrom1970To2001);
    }
    if (asset.type() == AKAssetType::photo) {
      relative += "/" + std::to_string(configuration_->imageExportPreset);
    } else {
      relative += "/" + sanitizedFileName(configuration_->videoExportPreset + configuration_->avOutputFileType,
                                          "video");
    }
  }
  std::string path = configuration_->exportDirectory->path() + "/" + relative;
  makeFolders(path);  // a failure shows when the file is written
  return NSURL::fileURLWithPath(path, true);
}

bool AKImageAssetExporter::isHEIC(const NSDataPtr& data) {
  if (!data || data->length() < 12 || data->bytes()[0] != 0) return false;
  std::string brand(reinterpret_cast<const char*>(data->bytes()) + 4, 8);
  for (char c : brand) {
    if (static_cast<unsigned char>(c) > 0x7f) return false;
  }
  return brand == "ftypheic" || brand == "ftypheix" || brand == "ftyphevc" || brand == "ftyphevx";
}

NSDataPtr AKImageAssetExporter::imageToJPEG(const NSDataPtr& data) const {
  Value options(ValueMap{{Value(kCGImageDestinationLossyCompressionQuality),
                          Value(configuration_->compressionQuality)}});
  if (auto image = CIImage::imageWithData(data)) {
    if (auto space = image->colorSpace()) {
      return CIContext::context()->JPEGRepresentationOfImage(image, *space, options);
    }
  }
  auto image = UIImage::imageWithData(data);
  return image ? UIImageJPEGRepresentation(image, configuration_->compressionQuality) : nullptr;
}

std::string AKImageAssetExporter::sanitizedFileName(const std::string& name, const std::string& fallback) {
  std::string out;
  for (char c : lastComponentOf(name)) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) continue;
    out += c;
  }
  // Leading dots would hide the file (or climb out with "..").
  size_t start = out.find_first_not_of('.');
  out = start == std::string::npos ? "" : out.substr(start);
  return out.empty() ? fallback : out;
}

void AKImageAssetExporter::writeData(const NSDataPtr& data, const NSURLPtr& url,
                                     AssetCompletion completion) {
  std::string target = url->path();
  if (!data) return completion(NSError::posixError(EINVAL, "write " + target));
  std::string workFolder;
  if (auto failure = makeWorkFolder(parentOf(target), workFolder)) return completion(failure);
  std::string workFile = workFolder + "/" + lastComponentOf(target);
  NSErrorPtr failure = writeNewFile(workFile, *data);
  if (!failure) failure = placeFinishedFile(workFile, target);
  // The write is over, and the caller hears, once the folder is gone.
  // Removing it can take milliseconds on a busy disk, so that runs off the
  // write queue (the next file is written meanwhile).
  auto removeWorkFolder = [workFolder, failure, completion] {
    NSErrorPtr error;
    // Empty, unless the file stayed out of a place already taken.
    if (::rmdir(workFolder.c_str()) != 0) {
      NSFileManager::defaultManager()->removeItemAtPath(workFolder, &error);
    }
    completion(failure ? failure : error);
  };
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), removeWorkFolder);
}

void AKImageAssetExporter::exportImage(const AKAssetPtr& asset, int32_t requestID,
                                       const std::string& directory, ProgressReporter progress,
                                       AssetCompletion completion) {
  auto me = self();
  if (!asset->originalAsset()) {
    double quality = configuration_->compressionQuality;
    dispatch_async(ioQueue(), [me, asset, requestID, directory, quality, completion] {
      if (!me->isLive(requestID)) return completion(AKImageAssetExporterCancelledError());
      NSDataPtr jpeg = asset->image() ? UIImageJPEGRepresentation(asset->image(), quality) : nullptr;
      if (!jpeg) {
        return completion(AKImageAssetExporterMakeError(AKImageAssetExporterError::exportFailed,
                                                        "Failed to encode image."));
      }
      asset->setFileName("Image.jpg");
      asset->setLocalTemporaryPath(NSURL::fileURLWithPath(directory + "/Image.jpg", false));
      writeData(jpeg, asset->localTemporaryPath(), completion);
    });
    return;
  }
  auto options = std::make_shared<PHImageRequestOptions>();
  options->version = PHImageRequestOptionsVersionCurrent;
  options->progressHandler = [progress](double p, const NSErrorPtr&, bool*, const Value&) { progress(p); };
  auto arrived = dispatch_semaphore_create(0);
  // Marked before the request starts, so a cancelAll in between reaches it.
  setInRequesting(asset);
  asset->fetchImageData(options, configuration_->compressionQuality,
                        [me, asset, requestID, directory, completion, arrived](const NSDataPtr& data,
                                                                                const Value& info) {
                          me->clearInRequesting(asset.get());
                          dispatch_semaphore_signal(arrived);
                          dispatch_async(ioQueue(), [me, asset, requestID, directory, data, info, completion] {
                            me->writePhoto(asset, requestID, directory, data, info, completion);
                          });
                        });
  DispatchBlockingScope blocking;
  dispatch_semaphore_wait(arrived, DISPATCH_TIME_FOREVER);
}

void AKImageAssetExporter::writePhoto(const AKAssetPtr& asset, int32_t requestID,
                                      const std::string& directory, NSDataPtr data, const Value& info,
                                      const AssetCompletion& completion) {
  if (!isLive(requestID)) return completion(AKImageAssetExporterCancelledError());
  if (!data) {
    if (cancelledInfo(info)) return completion(AKImageAssetExporterCancelledError());
    NSErrorPtr failed =
        AKImageAssetExporterMakeError(AKImageAssetExporterError::exportFailed, "Failed to fetch image data.");
    // The library's own reason (the asset is gone, its file kept changing
    // while it was read) goes with it, for whoever tells the user.
    const Value* reason = info.find(PHImageErrorKey);
    if (reason && reason->objectAs<NSError>()) {
      failed = NSError::errorWithDomain(failed->domain(), failed->code(),
                                        Value(ValueMap{{Value(NSLocalizedDescriptionKey),
                                                        Value(failed->localizedDescription())},
                                                       {Value(NSUnderlyingErrorKey), *reason}}));
    }
    return completion(failed);
  }
  bool named = false;
  for (auto& resource : PHAssetResource::assetResourcesForAsset(*asset->originalAsset())) {
    if (resource->type() == PHAssetResourceTypePhoto) {
      asset->setFileName(sanitizedFileName(resource->originalFilename(), "Image.jpg"));
      named = true;
      break;
    }
  }
  if (!named && !asset->fileName()) {
    const Value* url = info.find(PHImageFileURLKey);
    NSURLPtr fileURL = url ? url->objectAs<NSURL>() : nullptr;
    asset->setFileName(fileURL ? sanitizedFileName(fileURL->lastPathComponent(), "Image") : "Image.jpg");
  }
  std::string name = sanitizedFileName(asset->fileName().value_or("Image.jpg"), "Image.jpg");
  if (configuration_->imageExportPreset == static_cast<int64_t>(AKImageExportPresent::compatible) &&
      isHEIC(data)) {
    if (NSDataPtr jpeg = imageToJPEG(data)) {
      data = jpeg;
      // The bytes are JPEG now, whatever the name said.
      name = withExtension(name, "jpg");
    }
  }
  asset->setFileName(name);
  std::string target = directory + "/" + name;
  asset->setLocalTemporaryPath(NSURL::fileURLWithPath(target, false));
  if (existsNoFollow(target)) {
    if (isLink(target)) {
      return completion(NSError::posixError(ELOOP, "refusing to export onto the link " + target));
    }
    return completion(nullptr);
  }
  writeData(data, asset->localTemporaryPath(), completion);
}

void AKImageAssetExporter::exportVideo(const AKAssetPtr& asset, int32_t requestID,
                                       const std::string& directory, ProgressReporter progress,
                                       AssetCompletion completion) {
  auto me = self();
  auto downloaded = std::make_shared<std::atomic<bool>>(false);
  auto options = std::make_shared<PHVideoRequestOptions>();
  options->deliveryMode = PHVideoRequestOptionsDeliveryModeMediumQualityFormat;
  options->progressHandler = [downloaded, progress](double p, const NSErrorPtr&, bool*, const Value&) {
    downloaded->store(true);
    progress(p * 0.85);
  };
  auto arrived = dispatch_semaphore_create(0);
  setInRequesting(asset);
  std::string extension = extensionForFileType(configuration_->avOutputFileType);
  asset->fetchAVAsset(options, [me, asset, requestID, directory, progress, completion, arrived, downloaded,
                                extension](const AVAssetPtr& media, const Value& info) {
    me->clearInRequesting(asset.get());
    if (!media) {
      completion(AKImageAssetExporterMakeError(AKImageAssetExporterError::exportFailed, "Failed to fetch AVAsset."));
      dispatch_semaphore_signal(arrived);
      return;
    }
    std::string name = "Video.mov";
    if (auto url = std::dynamic_pointer_cast<AVURLAsset>(media)) {
      name = url->URL()->lastPathComponent();
    } else if (auto composition = std::dynamic_pointer_cast<AVComposition>(media)) {
      for (auto& track : composition->compositionTracks()) {
        if (track->mediaType() != AVMediaTypeVideo) continue;
        if (!track->segments().empty() && track->segments().front().sourceURL) {
          name = track->segments().front().sourceURL->lastPathComponent();
        }
        break;
      }
    }
    // The file holds what the session writes: the output type's extension.
    name = withExtension(sanitizedFileName(name, "Video"), extension);
    asset->setFileName(name);
    asset->setLocalTemporaryPath(NSURL::fileURLWithPath(directory + "/" + name, false));
    dispatch_semaphore_signal(arrived);
    bool wasDownloaded = downloaded->load();
    dispatch_async(ioQueue(), [me, asset, requestID, directory, media, info, wasDownloaded, progress, completion] {
      me->writeVideo(asset, requestID, directory, media, info, wasDownloaded, progress, completion);
    });
  });
  DispatchBlockingScope blocking;
  dispatch_semaphore_wait(arrived, DISPATCH_TIME_FOREVER);
}

void AKImageAssetExporter::writeVideo(const AKAssetPtr& asset, int32_t requestID, const std::string& directory,
                                      const AVAssetPtr& media, const Value& info, bool downloaded,
                                      const ProgressReporter& progress, const AssetCompletion& completion) {
  if (!isLive(requestID)) return completion(AKImageAssetExporterCancelledError());
  auto group = dispatch_group_create();
  dispatch_group_enter(group);
  auto session = media->isExportable()
                     ? AVAssetExportSession::exportSessionWithAsset(media, configuration_->videoExportPreset)
                     : nullptr;
  if (!session) {
    dispatch_group_leave(group);
    return completion(cancelledInfo(info) ? AKImageAssetExporterCancelledError()
                                          : AKImageAssetExporterMakeError(AKImageAssetExporterError::exportFailed,
                                                                          "Can't setup AVAssetExportSession."));
  }
  std::string target = asset->localTemporaryPath()->path();
  std::string workFolder;
  if (auto failure = makeWorkFolder(directory, workFolder)) {
    dispatch_group_leave(group);
    return completion(failure);
  }
  std::string workFile = workFolder + "/" + lastComponentOf(target);
  session->setOutputFileType(configuration_->avOutputFileType);
  session->setOutputURL(NSURL::fileURLWithPath(workFile, false));
  session->setShouldOptimizeForNetworkUse(true);
  session->setDirectoryForTemporaryFiles(NSURL::fileURLWithPath(workFolder, true));
  {
    MutexLock lock(mutex_);
    currentAVExportSession_ = session;
  }
  std::weak_ptr<AVAssetExportSession> weakSession = session;
  session->exportAsynchronouslyWithCompletionHandler(
      [weakSession, group, completion, progress, workFile, workFolder, target] {
        dispatch_group_leave(group);
        auto s = weakSession.lock();
        auto fm = NSFileManager::defaultManager();
        NSErrorPtr error;
        if (!s || s->status() == AVAssetExportSessionStatusCancelled) {
          error = AKImageAssetExporterCancelledError();
        } else if (s->status() == AVAssetExportSessionStatusFailed) {
          error = s->error();
        } else {
          error = placeFinishedFile(workFile, target);
        }
        // Cleaned up before the asset ends, so whoever hears of its end finds
        // no leftover.
        fm->removeItemAtPath(workFolder);
        // Sampling sees at best the last step before the end, and a short
        // export not even that: a finished export says so itself.
        if (!error) progress(1.0);
        completion(error);
      });
  DispatchBlockingScope blocking;
  for (;;) {
    auto status = session->status();
    if (status != AVAssetExportSessionStatusWaiting && status != AVAssetExportSessionStatusExporting) break;
    dispatch_group_wait(group, dispatch_time_after(0.5));
    if (session->status() == AVAssetExportSessionStatusExporting) {
      double p = session->progress();
      progress(downloaded ? std::min(0.85 + 0.15 * p, 1.0) : p);
    }
  }
}
