#pragma once

// The file picker plugin: one request at a time picks files, a folder,
// photos and videos, music items, or saves a file, through the system
// pickers, and answers with file descriptions (FilePickerUtils) or a path.
//
// Every request is answered exactly once, and the pending reply is cleared in
// the step that answers it: a picker that cannot be made or shown (no key
// window, no picker provider, the picker program failed) answers
// "file_picker_error" at once. Picked documents, movies, music exports and the
// files of saves go into a fresh folder per request inside this host's own
// temporary folder (FilePickerTemporaryFiles), so an earlier request's files
// are never overwritten and "clear" removes only what this host made. On system
// versions before 14 a request for several photos or videos goes to the
// media asset picker, which exports the confirmed selection to files.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/Dispatch.h"
#include "platform/mediaplayer/MPMediaPickerController.h"
#include "platform/photos/PHPickerViewController.h"
#include "platform/uikit/UIDocumentPickerViewController.h"
#include "platform/uikit/UIImagePickerController.h"
#include "platform/uikit/UIPresentationController.h"

class UIWindow;

class FilePickerPlugin : public NSObject,
                         public FlutterPlugin,
                         public FlutterStreamHandler,
                         public UIDocumentPickerDelegate,
                         public UIImagePickerControllerDelegate,
                         public PHPickerViewControllerDelegate,
                         public MPMediaPickerControllerDelegate,
                         public UIAdaptivePresentationControllerDelegate {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  FlutterErrorPtr onListenWithArguments(const Value& arguments, FlutterEventSink events) override;
  FlutterErrorPtr onCancelWithArguments(const Value& arguments) override;
  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;

  // The top-most presented controller of `window`, or of the key window when
  // null; nullptr without a window or a root controller.
  static std::shared_ptr<UIViewController> viewControllerWithWindow(
      const std::shared_ptr<UIWindow>& window);
  static std::string getDocumentDirectory();

  // Pickers of the current request (for those who look at what is shown).
  const std::shared_ptr<UIDocumentPickerViewController>& documentPickerController() const {
    return documentPickerController_;
  }
  const std::shared_ptr<UIImagePickerController>& galleryPickerController() const {
    return galleryPickerController_;
  }
  const std::shared_ptr<MPMediaPickerController>& audioPickerController() const {
    return audioPickerController_;
  }
  bool hasPendingRequest() const { return static_cast<bool>(result_); }

  // --- Picker delegates ---
  void documentPickerDidPickDocumentsAtURLs(UIDocumentPickerViewController& picker,
                                            const std::vector<NSURLPtr>& urls) override;
  void documentPickerWasCancelled(UIDocumentPickerViewController& picker) override;
  void imagePickerControllerDidFinishPickingMediaWithInfo(UIImagePickerController& picker,
                                                          const Value& info) override;
  void imagePickerControllerDidCancel(UIImagePickerController& picker) override;
  void pickerDidFinishPicking(PHPickerViewController& picker,
                              const std::vector<PHPickerResult>& results) override;
  void mediaPickerDidPickMediaItems(MPMediaPickerController& picker,
                                    const std::shared_ptr<MPMediaItemCollection>& items) override;
  void mediaPickerDidCancel(MPMediaPickerController& picker) override;
  void presentationControllerDidDismiss(UIPresentationController& controller) override;

 private:
  void saveFile(const Value& fileName, const Value& initialDirectory, const Value& bytes);
  void resolvePickDocument(bool multiPick, bool pickDirectory);
  void resolvePickMedia(int64_t type, bool multiPick, bool allowCompression);
  void resolveMultiPickFromGallery(int64_t type, bool allowCompression);
  void resolvePickAudio(bool multiPick);

  // Shows `picker` for the pending request, or answers the request with an
  // error when it cannot be shown.
  void present(const std::shared_ptr<UISystemPickerViewController>& picker);
  // With "withData", a pick whose contents would exceed the reply's limit
  // fails before `picker` copies it.
  void refuseContentsOverTheLimit(UISystemPickerViewController& picker);
  // A folder or a save destination whose path a reply cannot name (not
  // valid UTF-8) fails the pick with an error that says so.
  void refuseUnnameablePaths(UISystemPickerViewController& picker);
  // True when `picker` belongs to the pending request; late calls of an
  // earlier picker change nothing.
  bool isCurrent(const UIViewController& picker) const;
  static void dismiss(UIViewController& picker);

  void dispatch(const FlutterMethodCall& call);
  void reply(Value value);
  void replyError(const std::string& code, const std::string& message, Value details = Value());
  // What every answer does besides answering: the request's picker and its
  // save folder go.
  void endRequest();
  // Answers the files at `urls`. `leftOut` has one line per picked item that
  // does not reach the answer, naming it and why; each goes to the log once.
  // When nothing reaches the answer and something was left out, the pick is
  // answered "file_picker_error" with `noneMessage` and those lines as details.
  void handleResult(const std::vector<NSURLPtr>& urls, std::vector<std::string> leftOut = {},
                    const std::string& noneMessage = kNoneAnswered);
  static constexpr const char* kNoneAnswered = "None of the picked items could be answered";
  static constexpr const char* kNoMediaAnswered = "Failed to process any images/video";
  void sendEvent(const Value& event);

  struct PhotoBatch;
  void processPhoto(const std::shared_ptr<PhotoBatch>& batch, const PHPickerResult& result,
                    size_t index);
  void finishPhotos(const std::shared_ptr<PhotoBatch>& batch);

  FlutterResult result_;
  FlutterEventSink eventSink_;
  std::shared_ptr<UIImagePickerController> galleryPickerController_;
  std::shared_ptr<UIDocumentPickerViewController> documentPickerController_;
  std::shared_ptr<MPMediaPickerController> audioPickerController_;
  std::vector<std::string> allowedExtensions_;
  bool loadDataToMemory_ = false;
  int64_t compressionQuality_ = 0;
  bool allowCompression_ = false;
  dispatch_group_t group_;
  int64_t type_ = 2;
  bool isSaveFile_ = false;
  // The picker of the pending request.
  std::weak_ptr<UIViewController> currentPicker_;
  // The folder of the pending save's file, removed when the request ends.
  std::optional<std::string> saveFolder_;
};
