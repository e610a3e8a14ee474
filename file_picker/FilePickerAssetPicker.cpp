// Several photos or videos on systems before 14: the media asset picker,
// which exports the confirmed selection to files before the plugin replies.

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "FilePickerPlugin.h"
#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIAlertController.h"

namespace {

AKImagePickerControllerAssetType assetTypeFor(int64_t type) {
  if (type == 0) return AKImagePickerControllerAssetType::allVideos;
  if (type == 1) return AKImagePickerControllerAssetType::allPhotos;
  return AKImagePickerControllerAssetType::allAssets;
}

void PutSpinnerInAlert(UIAlertController& alert,
                       const std::shared_ptr<UIActivityIndicatorView>& indicator,
                       UIViewController& top) {
  auto view = alert.view();
  view->setCenter(top.view()->center());
  view->heightAnchor().constraintEqualToConstant(100)->setActive(true);
  indicator->setHidesWhenStopped(true);
  CGRect bounds = view->bounds();
  indicator->setCenter(CGPointMake(CGRectGetMidX(bounds), CGRectGetMidY(bounds)));
  indicator->setAutoresizingMask(
      UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleRightMargin |
      UIViewAutoresizingFlexibleTopMargin | UIViewAutoresizingFlexibleBottomMargin);
  view->addSubview(indicator);
}

AKImageAssetExporterConfiguration ExporterConfiguration(bool allowCompression) {
  AKImageAssetExporterConfiguration configuration;
  configuration.imageExportPreset = static_cast<int64_t>(
      allowCompression ? AKImageExportPresent::compatible : AKImageExportPresent::current);
  configuration.videoExportPreset =
      allowCompression ? AVAssetExportPresetHighestQuality : AVAssetExportPresetPassthrough;
  return configuration;
}

// An export's error and the reason under it, when it has one.
std::string failureText(const NSErrorPtr& error) {
  if (!error) return "no file";
  const Value* under = error->userInfo().find(NSUnderlyingErrorKey);
  auto cause = under ? under->objectAs<NSError>() : nullptr;
  return error->localizedDescription() + (cause ? " " + cause->localizedDescription() : "");
}

// The asset as a reader of the log knows it: its identifier, and for a
// library asset its file below the library folder (where the library had it
// when it was picked: the file may be gone since).
std::string assetName(const AKAsset& asset) {
  const auto& original = asset.originalAsset();
  if (!original) return "asset " + asset.localIdentifier();
  return "asset " + asset.localIdentifier() + " (" + original->record().relativePath + ")";
}

}  // namespace

void FilePickerPlugin::resolveMultiPickFromGallery(int64_t type, bool allowCompression) {
  auto top = viewControllerWithWindow(nullptr);
  if (!top) return replyError("file_picker_error", "There is no window to present the picker");
  auto picker = std::make_shared<AKImagePickerController>();
  auto alert = UIAlertController::alertControllerWithTitle(std::string(), std::string(),
                                                           UIAlertControllerStyle::Alert);
  auto indicator = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyleWhite);

  // Nobody hears the events: a small alert with a spinner shows the export.
  if (!eventSink_) PutSpinnerInAlert(*alert, indicator, *top);

  picker->setExporter(
      AKImageAssetExporter::initWithConfiguration(ExporterConfiguration(allowCompression)));
  picker->setExportsWhenCompleted(true);
  picker->setShowsCancelButton(true);
  picker->setSourceType(AKImagePickerControllerSourceType::albumsOnly);
  picker->setAssetType(assetTypeFor(type));

  // The callbacks live as long as the picker: none of them keeps the picker
  // or the plugin; the alert and the spinner are theirs.
  auto weak = WeakFromThis(this);
  std::weak_ptr<AKImagePickerController> weakPicker = picker;
  std::weak_ptr<UIViewController> requestTop = top;
  picker->setExportStatusChanged(
      [weak, weakPicker, requestTop, alert, indicator](AKImagePickerControllerExportStatus status) {
        auto self = weak.lock();
        if (!self) return;
        auto p = weakPicker.lock();
        // An export of nothing counts as its end.
        bool exporting = status == AKImagePickerControllerExportStatus::exporting && p &&
                         !p->selectedAssets().empty();
        if (self->eventSink_) {
          self->sendEvent(Value(exporting));
          return;
        }
        if (exporting) {
          indicator->startAnimating();
          if (auto shownFrom = requestTop.lock()) shownFrom->showViewController(alert, nullptr);
        } else {
          indicator->stopAnimating();
          alert->dismissViewControllerAnimated(true);
        }
      });
  picker->setDidCancel([weak, weakPicker] {
    auto self = weak.lock();
    auto p = weakPicker.lock();
    if (!self || !p || !self->isCurrent(*p)) return;
    self->reply(Value());
  });
  picker->setDidSelectAssets([weak, weakPicker](const std::vector<AKAssetPtr>& assets) {
    auto self = weak.lock();
    auto p = weakPicker.lock();
    if (!self || !p || !self->isCurrent(*p)) return;
    // An asset whose export failed has no file and is left out of the reply;
    // the log says which and why.
    std::vector<NSURLPtr> urls;
    std::vector<std::string> leftOut;
    for (const auto& asset : assets) {
      if (auto path = asset->localTemporaryPath()) {
        urls.push_back(NSURL::fileURLWithPath(path->path()));
      } else {
        auto error = asset->error();
        leftOut.push_back(assetName(*asset) +
                          " left out, its export failed: " + failureText(error));
      }
    }
    self->handleResult(urls, std::move(leftOut), kNoMediaAnswered);
  });

  currentPicker_ = picker;
  auto from = viewControllerWithWindow(nullptr);
  from->presentViewController(picker, true);
  if (!picker->presentingViewController()) {
    currentPicker_.reset();
    replyError("file_picker_error", "The picker could not be presented");
  }
}
