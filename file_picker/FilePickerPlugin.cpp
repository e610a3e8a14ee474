#include "FilePickerPlugin.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <new>
#include <unordered_map>

#include "AKImagePickerController/picker/AKImagePickerControllerPickerModule.h"
#include "FilePickerUtils.h"
#include "internal/FilePickerSavePicker.h"
#include "internal/FilePickerTemporaryFiles.h"
#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/UTType.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIWindow.h"

namespace {

const char* const kUnsupportedExtensionMessage =
    "If you are providing extension filters make sure that you are only using FileType.custom and "
    "the extension are provided without the dot, (ie., jpg instead of .jpg). This could also have "
    "happened because you are using an unsupported file extension. If the problem persists, you "
    "may want to consider using FileType.any instead.";

// Arguments of the wrong kind read as missing: false, 0 or nil.
bool boolArgument(const Value& arguments, const char* key) {
  const Value* v = arguments.isMap() ? arguments.find(key) : nullptr;
  return v && v->isBool() && v->asBool();
}

int64_t integerArgument(const Value& arguments, const char* key) {
  const Value* v = arguments.isMap() ? arguments.find(key) : nullptr;
  return v && v->isInteger() ? v->asInt64() : 0;
}

const Value& argument(const Value& arguments, const char* key) {
  static const Value kNull;
  const Value* v = arguments.isMap() ? arguments.find(key) : nullptr;
  return v ? *v : kNull;
}

// One path component the file system can hold under its own name.
bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
         ValidUTF8(name) == name;
}

// The name a copy gets: the reply names it by a string, which holds only
// valid UTF-8, so every byte of `name` outside a well-formed sequence becomes
// "_" (one byte for one: the name keeps its length and its extension).
std::string replyableName(std::string name) {
  for (size_t i = 0; i < name.size();) {
    const size_t length = UTF8SequenceLength(name.data() + i, name.size() - i);
    if (length == 0) name[i] = '_';
    i += length == 0 ? 1 : length;
  }
  return name;
}

// Why no reply can name `path`: a reply names it by a string, which holds
// only valid UTF-8, and the caller would get a path that names nothing (the
// invalid bytes arrive as U+FFFD). nullopt when it can be named.
std::optional<std::string> unnameable(const std::string& path) {
  const std::string shown = ValidUTF8(path);
  if (shown == path) return std::nullopt;
  return "the path " + shown + " is not valid UTF-8, so no reply can name it";
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Whether `path` lies in a folder of its own directly in the temporary
// directory: where the pickers put the copies they hand over.
bool isPickerCopy(const std::string& path) {
  const std::string temporary = NSTemporaryDirectory();
  const size_t slash = path.find_last_of('/');
  return slash != std::string::npos && slash > temporary.size() &&
         path.compare(0, temporary.size(), temporary) == 0 &&
         path.find('/', temporary.size()) == slash;
}

// Once a picker's copy has moved into this host's folder, the folder the
// picker made for it goes too, when nothing else is in it.
void removeEmptiedPickerFolder(const std::string& copy) {
  if (isPickerCopy(copy)) ::rmdir(copy.substr(0, copy.find_last_of('/')).c_str());
}

// Moves a picker's copy into a new request folder of this host; nullptr when
// that fails.
NSURLPtr adoptPickerCopy(const std::string& copy, const std::string& prefix) {
  auto folder = FilePickerTemporaryFiles::makeRequestFolder(prefix);
  if (!folder) return nullptr;
  const std::string target = *folder + "/" + replyableName(copy.substr(copy.find_last_of('/') + 1));
  if (!NSFileManager::defaultManager()->moveItemAtPath(copy, target)) {
    NSFileManager::defaultManager()->removeItemAtPath(*folder);
    return nullptr;
  }
  removeEmptiedPickerFolder(copy);
  return NSURL::fileURLWithPath(target);
}

}  // namespace

// The shared state of one photo-picker pick: its jobs finish on other
// threads, one completion at a time under `mutex`.
struct FilePickerPlugin::PhotoBatch {
  Mutex mutex;
  std::vector<NSURLPtr> urls GUARDED_BY(mutex);
  std::vector<std::string> errors GUARDED_BY(mutex);
  // Files delivered so far, counted on the main thread as their progress
  // events go out: the jobs end on several threads at once, and counts
  // taken there could reach the main queue out of order.
  int64_t reported = 0;
  int64_t total = 0;
  int64_t type = 2;
  std::string folder;
  dispatch_group_t group;
  dispatch_queue_t queue;
};

void FilePickerPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(
      "corvinstead.flutter.plugins.filepicker", registrar->messenger());
  auto eventChannel = FlutterEventChannel::eventChannelWithName(
      "corvinstead.flutter.plugins.filepickerevent", registrar->messenger());
  // The media asset picker makes its screens by class name.
  registerAKImagePickerControllerPickerClasses();
  // What hosts killed in the middle of a pick or a save left behind.
  FilePickerTemporaryFiles::removeFoldersOfEndedHosts();
  // The host's own copies go with it.
  static const bool observing = [] {
    static const char token = 0;
    NSNotificationCenter::defaultCenter().addObserver(
        &token, UIApplicationWillTerminateNotification, nullptr,
        [](const NSNotification&) { FilePickerTemporaryFiles::removeOwnFolder(); });
    return true;
  }();
  (void)observing;
  auto instance = std::make_shared<FilePickerPlugin>();
  registrar->addMethodCallDelegate(instance, channel);
  eventChannel->setStreamHandler(instance);
}

FlutterErrorPtr FilePickerPlugin::onListenWithArguments(const Value&, FlutterEventSink events) {
  eventSink_ = std::move(events);
  return nullptr;
}

FlutterErrorPtr FilePickerPlugin::onCancelWithArguments(const Value&) {
  eventSink_ = FlutterEventSink();
  return nullptr;
}

// --- Dispatch ---

void FilePickerPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (result_) {
    result(FlutterError::errorWithCode("multiple_request", "Cancelled by a second request"));
    return;
  }
  result_ = std::move(result);
  // Out of memory answers this request; it never ends the host.
  try {
    dispatch(call);
  } catch (const std::bad_alloc&) {
    replyError("file_picker_error", "There is not enough memory to answer the request");
  }
}

void FilePickerPlugin::dispatch(const FlutterMethodCall& call) {
  const std::string& method = call.method;
  const Value& arguments = call.arguments;

  if (method == "clear") return reply(Value(FilePickerUtils::clearTemporaryFiles()));
  if (method == "dir") return resolvePickDocument(false, true);

  const bool multiple = boolArgument(arguments, "allowMultipleSelection");
  compressionQuality_ = integerArgument(arguments, "compressionQuality");
  allowCompression_ = compressionQuality_ > 0;
  loadDataToMemory_ = boolArgument(arguments, "withData");

  if (method == "any" || method.find("custom") != std::string::npos) {
    auto types = FilePickerUtils::resolveType(method, argument(arguments, "allowedExtensions"));
    if (!types) return replyError("Unsupported file extension", kUnsupportedExtensionMessage);
    allowedExtensions_ = std::move(*types);
    return resolvePickDocument(multiple, false);
  }
  if (method == "video" || method == "image" || method == "media") {
    return resolvePickMedia(FilePickerUtils::resolveMediaType(method), multiple, allowCompression_);
  }
  if (method == "audio") return resolvePickAudio(multiple);
  if (method == "save") {
    return saveFile(argument(arguments, "fileName"), argument(arguments, "initialDirectory"),
                    argument(arguments, "bytes"));
  }
  auto pending = std::move(result_);
  result_ = FlutterResult();
  pending(FlutterMethodNotImplemented);
}

std::shared_ptr<UIViewController> FilePickerPlugin::viewControllerWithWindow(
    const std::shared_ptr<UIWindow>& window) {
  auto w = window ? window : UIWindow::keyWindow();
  if (!w) return nullptr;
  auto vc = w->rootViewController();
  while (vc && vc->presentedViewController()) vc = vc->presentedViewController();
  return vc;
}

std::string FilePickerPlugin::getDocumentDirectory() {
  return NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Documents)
      .front()
      ->path();
}

// --- Presenting pickers ---

void FilePickerPlugin::present(const std::shared_ptr<UISystemPickerViewController>& picker) {
  auto top = viewControllerWithWindow(nullptr);
  if (!top) return replyError("file_picker_error", "There is no window to present the picker");
  if (!UISystemPickerViewController::isAvailable()) {
    return replyError("file_picker_error", "The picker cannot be presented: " +
                                               UISystemPickerViewController::unavailableReason());
  }
  currentPicker_ = picker;
  auto weak = WeakFromThis(this);
  picker->setFailureHandler([weak, picked = std::weak_ptr<UIViewController>(picker)](
                                const std::string& why) {
    auto self = std::static_pointer_cast<FilePickerPlugin>(weak.lock());
    auto p = picked.lock();
    if (!self || !p || !self->isCurrent(*p)) return;
    self->replyError("file_picker_error", why);
  });
  picker->presentationController()->setDelegate(SharedFromThis(this));
  top->presentViewController(picker, true);
  if (!picker->presentingViewController()) {
    currentPicker_.reset();
    replyError("file_picker_error", "The picker could not be presented");
  }
}

void FilePickerPlugin::refuseContentsOverTheLimit(UISystemPickerViewController& picker) {
  // Sizes are known before the picker copies: a pick whose contents the
  // reply would refuse is refused before a byte is copied.
  if (!loadDataToMemory_) return;
  picker.setAnswerCheck(
      [limit = FilePickerUtils::withDataLimit()](const std::vector<std::string>& paths) {
        return FilePickerUtils::withDataRefusal(paths, limit);
      });
}

void FilePickerPlugin::refuseUnnameablePaths(UISystemPickerViewController& picker) {
  // Refused before the picker hands the path over: a save then writes
  // nothing, rather than a file the reply cannot name.
  picker.setAnswerCheck([](const std::vector<std::string>& paths) -> std::optional<std::string> {
    for (const auto& path : paths) {
      if (auto why = unnameable(path)) return "The chosen item cannot be answered: " + *why;
    }
    return std::nullopt;
  });
}

bool FilePickerPlugin::isCurrent(const UIViewController& picker) const {
  return result_ && currentPicker_.lock().get() == &picker;
}

void FilePickerPlugin::dismiss(UIViewController& picker) {
  if (picker.presentingViewController() && !picker.isBeingDismissed()) {
    picker.dismissViewControllerAnimated(true);
  }
}

void FilePickerPlugin::resolvePickDocument(bool multiPick, bool pickDirectory) {
  isSaveFile_ = false;
  try {
    documentPickerController_ = UIDocumentPickerViewController::initWithDocumentTypes(
        pickDirectory ? std::vector<std::string>{kUTTypeFolder} : allowedExtensions_,
        pickDirectory ? UIDocumentPickerMode::Open : UIDocumentPickerMode::Import);
  } catch (const std::exception& e) {
    return replyError("file_picker_error", e.what());
  }
  documentPickerController_->setAllowsMultipleSelection(multiPick && !pickDirectory);
  documentPickerController_->setDelegate(
      SharedFromThis(this));
  // A folder is answered where it is, by its path; files come as copies
  // named so that a reply can name them.
  if (pickDirectory) refuseUnnameablePaths(*documentPickerController_);
  else refuseContentsOverTheLimit(*documentPickerController_);
  present(documentPickerController_);
}

void FilePickerPlugin::resolvePickMedia(int64_t type, bool multiPick, bool allowCompression) {
  type_ = type;
  if (NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({14, 0, 0})) {
    PHPickerConfiguration configuration;
    if (type == 0) configuration.filter = PHPickerFilter::videosFilter();
    else if (type == 1) configuration.filter = PHPickerFilter::imagesFilter();
    else {
      configuration.filter = PHPickerFilter::anyFilterMatchingSubfilters(
          {PHPickerFilter::videosFilter(), PHPickerFilter::imagesFilter()});
    }
    configuration.preferredAssetRepresentationMode =
        allowCompression ? PHPickerConfigurationAssetRepresentationMode::Compatible
                         : PHPickerConfigurationAssetRepresentationMode::Current;
    if (multiPick) configuration.selectionLimit = 0;
    auto picker = std::make_shared<PHPickerViewController>(configuration);
    picker->setDelegate(SharedFromThis(this));
    refuseContentsOverTheLimit(*picker);
    return present(picker);
  }
  if (multiPick) return resolveMultiPickFromGallery(type, allowCompression);

  galleryPickerController_ = std::make_shared<UIImagePickerController>();
  galleryPickerController_->setDelegate(
      SharedFromThis(this));
  galleryPickerController_->setVideoQuality(UIImagePickerControllerQualityType::High);
  const std::vector<std::string> videos{"public.movie", "public.avi", "public.video",
                                        "public.mpeg-4"};
  if (type == 0) {
    galleryPickerController_->setMediaTypes(videos);
    galleryPickerController_->setVideoExportPreset(
        allowCompression ? AVAssetExportPresetHighestQuality : AVAssetExportPresetPassthrough);
  } else if (type == 1) {
    galleryPickerController_->setMediaTypes({"public.image"});
    galleryPickerController_->setImageExportPreset(
        allowCompression ? UIImagePickerControllerImageURLExportPreset::Compatible
                         : UIImagePickerControllerImageURLExportPreset::Current);
  } else {
    auto types = videos;
    types.push_back("public.image");
    galleryPickerController_->setMediaTypes(types);
  }
  refuseContentsOverTheLimit(*galleryPickerController_);
  present(galleryPickerController_);
}

void FilePickerPlugin::resolvePickAudio(bool multiPick) {
  audioPickerController_ = std::make_shared<MPMediaPickerController>(MPMediaTypeAnyAudio);
  audioPickerController_->setDelegate(
      SharedFromThis(this));
  audioPickerController_->setShowsCloudItems(true);
  audioPickerController_->setAllowsPickingMultipleItems(multiPick);
  present(audioPickerController_);
}

void FilePickerPlugin::saveFile(const Value& fileName, const Value& initialDirectory,
                                const Value& bytes) {
  isSaveFile_ = true;
  if (!fileName.isString() || !isPlainFileName(fileName.asString())) {
    return replyError("Failed to write file",
                      "The file name must be one path component: not empty, not \".\" or "
                      "\"..\", without \"/\" or NUL, valid UTF-8, at most 255 bytes");
  }
  // The file is written into a folder of this request's own before the save
  // picker shows: nothing that exists is removed or overwritten here, and the
  // folder goes when the request ends.
  auto folder = FilePickerTemporaryFiles::makeRequestFolder("save");
  if (!folder) return replyError("Failed to write file", "The temporary folder cannot be made");
  saveFolder_ = *folder;
  const std::string target = *folder + "/" + fileName.asString();
  NSErrorPtr error;
  static const Bytes kNothing;
  const Bytes& contents = bytes.isBytes() ? bytes.asBytes() : kNothing;
  // Written whole under a short name of its own and renamed: the file's name
  // may take all of the 255 bytes a name can have.
  if (!NSFileManager::defaultManager()->createFileAtPath(target, *folder + "/.save-XXXXXX",
                                                         contents, &error)) {
    return replyError("Failed to write file",
                      error ? error->description() : "The file cannot be written");
  }
  try {
    // Without bytes the file only carries the name to the picker: the user's
    // chosen file is left as it is, for the application to write.
    if (bytes.isBytes()) {
      documentPickerController_ = UIDocumentPickerViewController::initWithURL(
          NSURL::fileURLWithPath(target), UIDocumentPickerMode::ExportToService);
    } else {
      documentPickerController_ =
          FilePickerSavePicker::pickerForName(NSURL::fileURLWithPath(target));
    }
  } catch (const std::exception& e) {
    return replyError("file_picker_error", e.what());
  }
  documentPickerController_->setDelegate(
      SharedFromThis(this));
  refuseUnnameablePaths(*documentPickerController_);
  if (initialDirectory.isString() && !initialDirectory.asString().empty()) {
    documentPickerController_->setDirectoryURL(NSURL::URLWithString(initialDirectory.asString()));
  }
  present(documentPickerController_);
}

// --- Replies ---

void FilePickerPlugin::reply(Value value) {
  if (!result_) return;
  auto pending = std::move(result_);
  result_ = FlutterResult();
  endRequest();
  pending(std::move(value));
}

void FilePickerPlugin::replyError(const std::string& code, const std::string& message,
                                  Value details) {
  if (!result_) return;
  auto pending = std::move(result_);
  result_ = FlutterResult();
  endRequest();
  pending(FlutterError::errorWithCode(code, message, std::move(details)));
}

void FilePickerPlugin::endRequest() {
  currentPicker_.reset();
  // The picker has copied the saved file where the user chose, or gave up.
  if (saveFolder_) NSFileManager::defaultManager()->removeItemAtPath(*saveFolder_);
  saveFolder_.reset();
}

void FilePickerPlugin::handleResult(const std::vector<NSURLPtr>& urls,
                                    std::vector<std::string> leftOut,
                                    const std::string& noneMessage) {
  // The files' contents are a reply's one large allocation: running out of
  // memory for them answers the request, it never ends the host.
  try {
    std::vector<NSURLPtr> nameable;
    for (const auto& url : urls) {
      if (auto why = unnameable(url->path())) leftOut.push_back(*why + "; it is left out");
      else nameable.push_back(url);
    }
    std::string refusal;
    std::vector<std::string> unread;
    auto list = FilePickerUtils::resolveFileInfo(nameable, loadDataToMemory_,
                                                 FilePickerUtils::withDataLimit(), &refusal,
                                                 &unread);
    if (!refusal.empty()) return replyError("file_picker_error", refusal);
    for (auto& line : unread) leftOut.push_back(std::move(line));
    for (const auto& line : leftOut) NSLog("FilePickerPlugin: " + line);
    if (!leftOut.empty() && (!list || list->asList().empty())) {
      std::string details;
      for (size_t i = 0; i < leftOut.size(); ++i) details += (i ? "\n" : "") + leftOut[i];
      return replyError("file_picker_error", noneMessage, Value(details));
    }
    reply(list ? std::move(*list) : Value());
  } catch (const std::bad_alloc&) {
    if (!result_) return NSLog("FilePickerPlugin: out of memory while the reply was sent");
    replyError("file_picker_error",
               "There is not enough memory to hold the picked files' contents");
  }
}

void FilePickerPlugin::sendEvent(const Value& event) {
  if (eventSink_) eventSink_(event);
}

// --- Document picker ---

void FilePickerPlugin::documentPickerDidPickDocumentsAtURLs(UIDocumentPickerViewController& picker,
                                                            const std::vector<NSURLPtr>& urls) {
  if (!isCurrent(picker)) return;
  if (isSaveFile_) {
    return urls.empty() ? reply(Value()) : reply(Value(urls.front()->path()));
  }
  if (picker.documentPickerMode() == UIDocumentPickerMode::Open) {
    dismiss(picker);
    return urls.empty() ? reply(Value()) : reply(Value(urls.front()->path()));
  }
  auto files = NSFileManager::defaultManager();
  auto folder = FilePickerTemporaryFiles::makeRequestFolder("picked");
  std::vector<NSURLPtr> moved;
  std::vector<std::string> leftOut;
  // Per name, the numbered folder where the search for a free place resumes,
  // so many picks of one name cost no more than as many names.
  std::unordered_map<std::string, int> nextNumber;
  for (const auto& url : urls) {
    if (!folder) break;
    const std::string name = replyableName(url->lastPathComponent());
    // Two picks of one name (from different folders) each keep their name,
    // the later ones in numbered folders of their own.
    std::string target = *folder + "/" + name;
    for (int& n = nextNumber.try_emplace(name, 2).first->second; exists(target); ++n) {
      const std::string sub = *folder + "/" + std::to_string(n);
      files->createDirectoryAtPath(sub, true);
      target = sub + "/" + name;
    }
    NSErrorPtr error;
    if (!files->moveItemAtPath(url->path(), target, &error)) {
      leftOut.push_back(url->path() + " left out, its move failed: " +
                        (error ? error->localizedDescription() : std::string("unknown error")));
      continue;
    }
    removeEmptiedPickerFolder(url->path());
    moved.push_back(NSURL::fileURLWithPath(target));
  }
  if (!folder) {
    for (const auto& url : urls) {
      leftOut.push_back(url->path() + " left out, the folder for the picked files cannot be made");
    }
  }
  dismiss(picker);
  handleResult(moved, std::move(leftOut));
}

void FilePickerPlugin::documentPickerWasCancelled(UIDocumentPickerViewController& picker) {
  if (!isCurrent(picker)) return;
  reply(Value());
  dismiss(picker);
}

// --- Image picker ---

void FilePickerPlugin::imagePickerControllerDidFinishPickingMediaWithInfo(
    UIImagePickerController& picker, const Value& info) {
  if (!isCurrent(picker)) return;
  NSURLPtr url;
  bool copyFailed = false;
  if (auto media = argument(info, UIImagePickerControllerMediaURL).objectAs<NSURL>()) {
    if (::access(media->path().c_str(), R_OK) == 0) {
      // A folder of this request's own: no earlier movie of that name can
      // stand in for a copy that failed. The picker's own copy moves there;
      // anything else is copied.
      if (isPickerCopy(media->path())) {
        url = adoptPickerCopy(media->path(), "movie");
      } else if (auto folder = FilePickerTemporaryFiles::makeRequestFolder("movie")) {
        const std::string target = *folder + "/" + replyableName(media->lastPathComponent());
        if (NSFileManager::defaultManager()->copyItemAtPath(media->path(), target)) {
          url = NSURL::fileURLWithPath(target);
        }
      }
      copyFailed = !url;
    } else {
      url = media;
    }
  } else {
    url = argument(info, UIImagePickerControllerImageURL).objectAs<NSURL>();
    // The picker's copy of the image joins this host's files, so "clear"
    // removes it.
    if (url && isPickerCopy(url->path())) {
      if (auto adopted = adoptPickerCopy(url->path(), "image")) url = adopted;
    }
  }
  dismiss(picker);
  if (!url || copyFailed) {
    return replyError("file_picker_error", "Temporary file could not be created");
  }
  handleResult({url});
}

void FilePickerPlugin::imagePickerControllerDidCancel(UIImagePickerController& picker) {
  if (!isCurrent(picker)) return;
  reply(Value());
  dismiss(picker);
}

// --- Photo picker ---

void FilePickerPlugin::pickerDidFinishPicking(PHPickerViewController& picker,
                                              const std::vector<PHPickerResult>& results) {
  if (!isCurrent(picker)) return;
  dismiss(picker);
  if (results.empty()) return reply(Value());

  auto batch = std::make_shared<PhotoBatch>();
  batch->total = static_cast<int64_t>(results.size());
  batch->type = type_;
  batch->folder = getDocumentDirectory() + "/picked_images";
  NSFileManager::defaultManager()->createDirectoryAtPath(batch->folder, true);
  batch->group = dispatch_group_create();
  batch->queue = dispatch_queue_create("com.filepicker.imageprocessing");
  group_ = batch->group;
  sendEvent(Value(true));
  for (size_t i = 0; i < results.size(); ++i) {
    dispatch_group_enter(batch->group);
    auto weak = WeakFromThis(this);
    dispatch_async(batch->queue, [weak, batch, result = results[i], i] {
      auto self = std::static_pointer_cast<FilePickerPlugin>(weak.lock());
      if (!self) return dispatch_group_leave(batch->group);
      self->processPhoto(batch, result, i);
    });
  }
  auto weak = WeakFromThis(this);
  dispatch_group_notify(batch->group, dispatch_get_main_queue(), [weak, batch] {
    if (auto self = std::static_pointer_cast<FilePickerPlugin>(weak.lock())) {
      self->finishPhotos(batch);
    }
  });
}

void FilePickerPlugin::processPhoto(const std::shared_ptr<PhotoBatch>& batch,
                                    const PHPickerResult& result, size_t index) {
  auto addError = [batch](std::string text) {
    MutexLock lock(batch->mutex);
    batch->errors.push_back(std::move(text));
  };
  const auto& provider = result.itemProvider;
  const bool image = provider && provider->hasItemConformingToTypeIdentifier(kUTTypeImage);
  const bool movie = provider && provider->hasItemConformingToTypeIdentifier(kUTTypeMovie);
  if (batch->type == 2 && !image && !movie) {
    addError("Item at index " + std::to_string(index) + " is not an image or video");
    return dispatch_group_leave(batch->group);
  }
  if (batch->type == 1 && !image) {
    addError("Item at index " + std::to_string(index) + " is not an image");
    return dispatch_group_leave(batch->group);
  }
  if (!provider) {
    addError("Failed to load image/video at index " + std::to_string(index) + ": Unknown error");
    return dispatch_group_leave(batch->group);
  }
  auto weak = WeakFromThis(this);
  provider->loadFileRepresentationForTypeIdentifier(
      image ? kUTTypeImage : kUTTypeMovie,
      [weak, batch, index, addError](NSURLPtr url, NSErrorPtr error) {
        const std::string at = " at index " + std::to_string(index) + ": ";
        if (!url || error) {
          addError("Failed to load image/video" + at +
                   (error ? error->localizedDescription() : "Unknown error"));
          return dispatch_group_leave(batch->group);
        }
        std::string extension = replyableName(url->pathExtension());
        if (extension.empty()) extension = "jpg";
        const auto seconds =
            static_cast<long>(std::floor(NSDate::date()->timeIntervalSince1970()));
        const std::string target = batch->folder + "/image_" + NSRandomUUIDString() + "_" +
                                   std::to_string(seconds) + "." + extension;
        // The delivered file is a temporary copy that goes away when this
        // returns: moving it costs no second copy.
        NSErrorPtr failure;
        if (!NSFileManager::defaultManager()->moveItemAtPath(url->path(), target, &failure)) {
          addError("Failed to save image/video" + at +
                   (failure ? failure->localizedDescription() : "Unknown error"));
          return dispatch_group_leave(batch->group);
        }
        {
          MutexLock lock(batch->mutex);
          batch->urls.push_back(NSURL::fileURLWithPath(target));
        }
        dispatch_async(dispatch_get_main_queue(), [weak, batch] {
          auto self = std::static_pointer_cast<FilePickerPlugin>(weak.lock());
          if (!self) return;
          self->sendEvent(Value::map({{"type", Value("progress")},
                                      {"count", Value::integer(++batch->reported)},
                                      {"total", Value::integer(batch->total)}}));
        });
        dispatch_group_leave(batch->group);
      });
}

void FilePickerPlugin::finishPhotos(const std::shared_ptr<PhotoBatch>& batch) {
  if (group_ == batch->group) group_ = nullptr;
  sendEvent(Value(false));
  std::vector<NSURLPtr> urls;
  std::vector<std::string> errors;
  {
    MutexLock lock(batch->mutex);
    urls = batch->urls;
    errors = batch->errors;
  }
  // Each error names its item by index and says why it is left out.
  handleResult(urls, std::move(errors), kNoMediaAnswered);
}

// --- Music picker ---

void FilePickerPlugin::mediaPickerDidPickMediaItems(
    MPMediaPickerController& picker, const std::shared_ptr<MPMediaItemCollection>& items) {
  if (!isCurrent(picker)) return;
  dismiss(picker);
  if (!items || items->items().empty()) return reply(Value());
  sendEvent(Value(true));
  struct Exports {
    std::vector<NSURLPtr> urls;  // in item order; nullptr for a failed item
    std::vector<std::string> leftOut;
    size_t left = 0;
  };
  auto exports = std::make_shared<Exports>();
  exports->urls.resize(items->items().size());
  exports->left = items->items().size();
  auto weak = WeakFromThis(this);
  auto finish = [weak, exports] {
    auto self = std::static_pointer_cast<FilePickerPlugin>(weak.lock());
    if (!self) return;
    self->sendEvent(Value(false));
    std::vector<NSURLPtr> done;
    for (const auto& url : exports->urls) {
      if (url) done.push_back(url);
    }
    self->handleResult(done, std::move(exports->leftOut));
  };
  for (size_t i = 0; i < items->items().size(); ++i) {
    const auto& item = items->items()[i];
    if (!item->assetURL()) {
      exports->leftOut.push_back("music item " + item->title().value_or("without a title") +
                                 " left out, it has no file of its own to export");
      if (--exports->left == 0) finish();
      continue;
    }
    FilePickerUtils::exportMusicAsset(
        item->assetURL(), item->title(),
        [exports, i, finish, source = item->assetURL()](NSURLPtr url, NSErrorPtr error) {
          if (url) exports->urls[i] = url;
          else exports->leftOut.push_back(
              source->path() + " left out, its export failed: " +
              (error ? error->localizedDescription() : std::string("unknown error")));
          if (--exports->left == 0) finish();
        });
  }
}

void FilePickerPlugin::mediaPickerDidCancel(MPMediaPickerController& picker) {
  if (!isCurrent(picker)) return;
  reply(Value());
  dismiss(picker);
}

void FilePickerPlugin::presentationControllerDidDismiss(UIPresentationController& controller) {
  auto presented = controller.presentedViewController();
  if (presented && !isCurrent(*presented)) return;
  reply(Value());
}
