#pragma once

// The music picker: audio files of the music library folder, through the
// system picker provider. Like the platform's, it leaves dismissing to its
// delegate. Files that are not audio, and items that are not regular files,
// are left out of the pick.

#include <memory>
#include <string>

#include "platform/mediaplayer/MPMediaItem.h"
#include "platform/uikit/UISystemPickerViewController.h"

class MPMediaPickerController;

class MPMediaPickerControllerDelegate {
 public:
  virtual ~MPMediaPickerControllerDelegate() = default;
  virtual void mediaPickerDidPickMediaItems(MPMediaPickerController&,
                                            const std::shared_ptr<MPMediaItemCollection>&) {}
  virtual void mediaPickerDidCancel(MPMediaPickerController&) {}
};

class MPMediaPickerController : public UISystemPickerViewController {
 public:
  explicit MPMediaPickerController(uint64_t mediaTypes = MPMediaTypeAnyAudio);

  uint64_t mediaTypes() const { return mediaTypes_; }
  std::shared_ptr<MPMediaPickerControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<MPMediaPickerControllerDelegate>& d) { delegate_ = d; }
  bool allowsPickingMultipleItems() const { return multiple_; }
  void setAllowsPickingMultipleItems(bool multiple) { multiple_ = multiple; }
  // Accepted and kept: every item here is a local file.
  bool showsCloudItems() const { return showsCloudItems_; }
  void setShowsCloudItems(bool shows) { showsCloudItems_ = shows; }

  UISystemPickerRequest pickerRequest() const override;
  std::string className() const override { return "MPMediaPickerController"; }

 protected:
  void pickerDidAnswer(UISystemPickerAnswer answer) override;

 private:
  uint64_t mediaTypes_;
  std::weak_ptr<MPMediaPickerControllerDelegate> delegate_;
  bool multiple_ = false;
  bool showsCloudItems_ = true;
};
