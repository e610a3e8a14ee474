#pragma once

// The crop screen's texts: English wording as keys in the string table
// "CRCropViewControllerLocalizable" of the crop library's resource bundle.

#include <string>

// The translation of `key`, or the key itself when there is none. A resource
// bundle that exists but cannot be opened stops the process.
std::string CRCropLocalizedString(const std::string& key);
