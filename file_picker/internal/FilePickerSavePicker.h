#pragma once

// The save picker of a "save" without bytes: the user chooses where a file
// goes, and the application writes it there itself later. The chosen place is
// handed to the delegate as it is: the file the picker shows (an empty stand-in
// that only carries the name) is never copied over what the user chose, so an
// existing file there keeps its contents.

#include <memory>

#include "platform/uikit/UIDocumentPickerViewController.h"

class FilePickerSavePicker : public UIDocumentPickerViewController {
 public:
  // The export-mode picker for `nameCarrier`, an existing file named as the
  // file to save.
  static std::shared_ptr<FilePickerSavePicker> pickerForName(const NSURLPtr& nameCarrier);

  explicit FilePickerSavePicker(const NSURLPtr& nameCarrier);

 protected:
  void pickerDidAnswer(UISystemPickerAnswer answer) override;
};
