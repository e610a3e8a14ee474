#include "AKPhotoGallery/internal/AKPhotoPlayerPreviewVC.h"

#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHImageManager.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UITapGestureRecognizer.h"

namespace {

// The page's item changed (or the page went away) before the library answered.
NSErrorPtr fetchError() {
  return NSError::errorWithDomain(
      NSBundle::mainBundle()->bundleIdentifier().value_or(""), -1,
      Value::map({{NSLocalizedDescriptionKey,
                   AKPhotoGalleryResource::localizedStringWithKey("preview.player.fetch.error")}}));
}

}  // namespace

AKPhotoPlayerPreviewVC::~AKPhotoPlayerPreviewVC() {
  if (!playerView_) return;
  if (const auto& asset = playerView_->asset()) asset->cancelLoading();
  const auto& player = playerView_->player();
  if (player->currentItem() && player->rate() == 1.0f) player->pause();
}

void AKPhotoPlayerPreviewVC::setIsControlHidden(bool hidden) {
  if (playerView_) playerView_->controlView()->setHidden(hidden);
  isControlHidden_ = hidden;
}

void AKPhotoPlayerPreviewVC::configureVideoControls(bool hidden, bool autoHides, bool tapToToggle,
                                                    std::function<void()> beginPlay,
                                                    std::function<void()> close) {
  setIsControlHidden(hidden);
  setAutoHidesControlView(autoHides);
  setTapToToggleControlView(tapToToggle);
  setBeginPlayBlock(std::move(beginPlay));
  setCloseBlock(std::move(close));
}

void AKPhotoPlayerPreviewVC::photoPreviewWillAppear() {
  if (playerView_) playerView_->controlView()->setHidden(true);
}

void AKPhotoPlayerPreviewVC::photoPreviewWillDisappear() {
  if (!playerView_) return;
  const auto& player = playerView_->player();
  if (player->currentItem() && player->rate() == 1.0f) player->pause();
  playerView_->playButton()->setHidden(false);
}

void AKPhotoPlayerPreviewVC::prepareForReuse() {
  if (indicatorView()) indicatorView()->stopIndicating();
  thumbnailView()->setHidden(true);
  if (playerView_) playerView_->reset();
}

std::shared_ptr<UIView> AKPhotoPlayerPreviewVC::createContentView() {
  playerView_ = AKPlayerView::playerView(CGRectZero, view());
  return playerView_;
}

void AKPhotoPlayerPreviewVC::updateContentView(const AKPhotoPreviewContent& content) {
  if (playerView_) {
    playerView_->closeButton()->setHidden(!closeBlock_);
    playerView_->setCloseBlock(closeBlock_);
    playerView_->setAutoHidesControlView(autoHidesControlView_);
    playerView_->tapGesture()->setEnabled(tapToToggleControlView_);
    playerView_->setTapToToggleControlView(tapToToggleControlView_);
    playerView_->setBeginPlayBlock(beginPlayBlock_);
    playerView_->controlView()->setHidden(isControlHidden_);
  }
  if (!playerView_) return;
  if (auto asset = std::dynamic_pointer_cast<AVAsset>(content)) {
    playerView_->setAsset(asset);
  } else if (auto url = std::dynamic_pointer_cast<NSURL>(content)) {
    playerView_->setUrl(url);
  }
}

CGSize AKPhotoPlayerPreviewVC::contentSize() { return view()->bounds().size; }

void AKPhotoPlayerPreviewVC::fetchContent(ProgressBlock progress, CompleteBlock complete) {
  const auto& current = item();
  if (!current) return;
  if (const auto& url = current->videoURL()) {
    complete(url, nullptr);
    return;
  }
  const auto& asset = current->asset();
  if (!asset) return;
  const std::string identifier = asset->localIdentifier();
  auto options = std::make_shared<PHVideoRequestOptions>();
  options->networkAccessAllowed = true;
  options->progressHandler = [progress](double value, const NSErrorPtr&, bool*, const Value&) {
    if (!(value > 0) || !progress) return;
    dispatch_async(dispatch_get_main_queue(), [progress, value] { progress(static_cast<float>(value)); });
  };
  auto weak = WeakFromThis(this);
  PHImageManager::defaultManager()->requestAVAssetForVideo(
      asset, options,
      [weak, identifier, once = std::move(complete)](const AVAssetPtr& result,
                                                     const Value&) mutable {
        dispatch_async(dispatch_get_main_queue(), [weak, identifier, once = std::move(once),
                                                   result]() mutable {
          auto self = std::static_pointer_cast<AKPhotoPlayerPreviewVC>(weak.lock());
          const bool same = self && self->item() && self->item()->asset() &&
                            self->item()->asset()->localIdentifier() == identifier;
          if (same) {
            once(result, nullptr);
          } else {
            once(nullptr, fetchError());
          }
        });
      });
}
