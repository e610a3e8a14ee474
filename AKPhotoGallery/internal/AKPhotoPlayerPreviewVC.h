#pragma once

// The gallery page of a video: a player view whose controls overlay the
// whole page, fed with the item's video URL or with the video the photo
// library hands out for its asset. The gallery's settings for the controls
// (close action, start action, auto-hide, tap-to-toggle, visibility) reach
// the player view when the content is shown; playback pauses when the page
// stops being the current one, and the player view is emptied for reuse.

#include <functional>
#include <memory>

#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "AKPhotoGallery/internal/AKPlayerView.h"

class AKPhotoPlayerPreviewVC : public AKPhotoBasePreviewVC {
 public:
  AKPhotoPlayerPreviewVC() = default;
  ~AKPhotoPlayerPreviewVC() override;

  AKPhotoPreviewClass previewClass() const override { return kAKPhotoPlayerPreviewClass; }

  const std::function<void()>& closeBlock() const { return closeBlock_; }
  virtual void setCloseBlock(std::function<void()> block) { closeBlock_ = std::move(block); }
  bool autoHidesControlView() const { return autoHidesControlView_; }
  virtual void setAutoHidesControlView(bool on) { autoHidesControlView_ = on; }
  bool tapToToggleControlView() const { return tapToToggleControlView_; }
  virtual void setTapToToggleControlView(bool on) { tapToToggleControlView_ = on; }
  const std::function<void()>& beginPlayBlock() const { return beginPlayBlock_; }
  virtual void setBeginPlayBlock(std::function<void()> block) { beginPlayBlock_ = std::move(block); }
  bool isControlHidden() const { return isControlHidden_; }
  // Hides or shows the player's overlay at once, and is applied again each
  // time the content is shown.
  virtual void setIsControlHidden(bool hidden);
  const std::shared_ptr<AKPlayerView>& playerView() const { return playerView_; }

  void photoPreviewWillAppear() override;
  void photoPreviewWillDisappear() override;
  void prepareForReuse() override;
  std::shared_ptr<UIView> createContentView() override;
  void updateContentView(const AKPhotoPreviewContent& content) override;
  CGSize contentSize() override;
  void fetchContent(ProgressBlock progress, CompleteBlock complete) override;
  bool enableZoom() override { return false; }
  bool enableIndicatorView() override { return false; }
  AKPhotoPreviewType previewType() const override { return AKPhotoPreviewType::video; }

  void setControlViewHidden(bool hidden) override { setIsControlHidden(hidden); }
  void configureVideoControls(bool hidden, bool autoHides, bool tapToToggle,
                              std::function<void()> beginPlay, std::function<void()> close) override;

  std::string className() const override { return "AKPhotoPlayerPreviewVC"; }

 private:
  std::function<void()> closeBlock_;
  bool autoHidesControlView_ = true;
  bool tapToToggleControlView_ = true;
  std::function<void()> beginPlayBlock_;
  bool isControlHidden_ = true;
  std::shared_ptr<AKPlayerView> playerView_;
};
