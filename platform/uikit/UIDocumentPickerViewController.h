#pragma once

// The document picker: documents or folders from the file system, handed over
// as copies (import), where they are (open), or a file saved where the user
// chooses (export). The choice comes from the system picker provider; the
// picker dismisses itself before it tells its delegate, as the platform's does.
//
// Only regular files are handed over (and folders when folders are asked
// for); imports are copied and exports saved off the main thread. Each import
// is copied into an Inbox folder of its own in the temporary directory, which
// goes once the delegate has taken the copy out of it. An export is written
// beside its destination under a hidden temporary name and renamed over it,
// so the destination is always whole; a journal in the caches folder names
// each temporary with the process that writes it, and the temporaries of
// processes that died are removed at the next launch
// (removeAbandonedExports()).

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "UIPresentationController.h"
#include "UISystemPickerViewController.h"
#include "platform/foundation/NSURL.h"

enum class UIDocumentPickerMode : int64_t {
  Import = 0,
  Open = 1,
  ExportToService = 2,
  MoveToService = 3,
};

class UIDocumentPickerViewController;

class UIDocumentPickerDelegate {
 public:
  virtual ~UIDocumentPickerDelegate() = default;
  virtual void documentPickerDidPickDocumentsAtURLs(UIDocumentPickerViewController&,
                                                    const std::vector<NSURLPtr>&) {}
  virtual void documentPickerWasCancelled(UIDocumentPickerViewController&) {}
};

class UIDocumentPickerViewController : public UISystemPickerViewController {
 public:
  // initWithDocumentTypes:inMode: for the import and open modes. Throws
  // std::invalid_argument for the other modes, as the platform raises.
  static std::shared_ptr<UIDocumentPickerViewController> initWithDocumentTypes(
      std::vector<std::string> documentTypes, UIDocumentPickerMode mode);
  // initWithURL:inMode: for the export and move modes: a file URL of an
  // existing item. Throws std::invalid_argument otherwise.
  static std::shared_ptr<UIDocumentPickerViewController> initWithURL(const NSURLPtr& url,
                                                                     UIDocumentPickerMode mode);

  UIDocumentPickerMode documentPickerMode() const { return mode_; }
  const std::vector<std::string>& documentTypes() const { return types_; }
  const NSURLPtr& exportedURL() const { return url_; }

  std::shared_ptr<UIDocumentPickerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UIDocumentPickerDelegate>& d) { delegate_ = d; }
  bool allowsMultipleSelection() const { return multiple_; }
  void setAllowsMultipleSelection(bool multiple) { multiple_ = multiple; }
  const NSURLPtr& directoryURL() const { return directory_; }
  void setDirectoryURL(NSURLPtr url) { directory_ = std::move(url); }

  UISystemPickerRequest pickerRequest() const override;
  std::string className() const override { return "UIDocumentPickerViewController"; }

  // Removes the export temporaries (and their journal entries) of processes
  // that are gone; those of running processes stay. Called at launch, off
  // the main thread.
  static void removeAbandonedExports();

  UIDocumentPickerViewController(std::vector<std::string> types, UIDocumentPickerMode mode,
                                 NSURLPtr url);

 protected:
  void pickerDidAnswer(UISystemPickerAnswer answer) override;

 private:
  // The picked items this picker may hand over: of the allowed types, a
  // folder only when folders were asked for.
  bool accepts(const std::string& path) const;
  // Copies, exports and hands over `paths` (already checked) off the main thread.
  void handOver(std::vector<std::string> paths, std::string refusal);
  void deliver(const std::vector<NSURLPtr>& urls, const std::string& refusal);

  std::vector<std::string> types_;
  UIDocumentPickerMode mode_;
  NSURLPtr url_;
  std::weak_ptr<UIDocumentPickerDelegate> delegate_;
  bool multiple_ = false;
  NSURLPtr directory_;
};
