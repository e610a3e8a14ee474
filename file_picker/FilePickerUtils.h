#pragma once

// Class-level utilities of the file picker: emptying the temporary folder,
// type identifiers and media codes from method names, reply lists from file
// URLs, and the export of a music item to an M4A file.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/Value.h"

class FilePickerUtils {
 public:
  // Removes what this host's picks left in the temporary directory, and what
  // hosts that have ended left there (FilePickerTemporaryFiles), never another
  // running host's files; false at the first item that cannot be removed (the
  // rest stay).
  static bool clearTemporaryFiles();
  // Identifiers for "any", "image", "video", "audio", "media" and "custom"
  // (one per known extension of the list: strings only, dynamic identifiers
  // left out); nullopt for other names and for "custom" without extensions.
  static std::optional<std::vector<std::string>> resolveType(const std::string& type,
                                                             const Value& allowedExtensions);
  // "video" 0, "image" 1, anything else 2.
  static int64_t resolveMediaType(const std::string& type);
  // The most bytes of file contents one reply holds ("withData"): a sixteenth
  // of the machine's memory, and never more than 1 GiB. The host holds a
  // reply's contents more than once on its way out, so the bound keeps a
  // large pick from exhausting the memory.
  static uint64_t withDataLimit();
  // Why the contents of the regular files at `paths` (links followed) would
  // not fit in a reply of at most `maxDataBytes`, naming the limit; nullopt
  // when they fit. Only their sizes are read.
  static std::optional<std::string> withDataRefusal(const std::vector<std::string>& paths,
                                                    uint64_t maxDataBytes = withDataLimit());
  // One reply map per URL, in order, whether the file exists or not; the
  // contents under "bytes" when asked for and readable, each file read once
  // into the buffer the reply carries. nullopt for no list, and when the
  // contents would exceed `maxDataBytes` in all: then nothing is read and
  // `refusal` says why, naming the limit. With `unread` given, a file whose
  // contents cannot be read whole (readFile) is left out of the list instead
  // and described there, a line naming it and why. May throw std::bad_alloc.
  static std::optional<Value> resolveFileInfo(const std::optional<std::vector<NSURLPtr>>& urls,
                                              bool loadData,
                                              uint64_t maxDataBytes = withDataLimit(),
                                              std::string* refusal = nullptr,
                                              std::vector<std::string>* unread = nullptr);

  // Exports the music item's audio to a new M4A file in this host's
  // temporary folder (FilePickerTemporaryFiles) named after the title (cleaned to a safe prefix;
  // "audio" without one) plus a unique part, so items with one title never share a file.
  // `completion` runs once, on the main thread, when the export has ended: the file's URL, or
  // nullptr and the reason.
  using ExportCompletion = OnceCallback<void(NSURLPtr, NSErrorPtr)>;
  static void exportMusicAsset(const NSURLPtr& assetURL, const std::optional<std::string>& title,
                               ExportCompletion completion);
  // The file-name prefix made of a title: valid UTF-8 with "/", control
  // characters and leading dots replaced, cut to at most 64 bytes on a
  // character boundary; "audio" when nothing is left.
  static std::string cleanedName(const std::string& title);

  // The contents of a regular file, read whole with the copies' check
  // (ReadOpenFile): nullopt and `error` when it cannot be read or kept
  // changing, or (with `tooLarge` set) when it holds more than `maxBytes`.
  // May throw std::bad_alloc.
  static std::optional<Bytes> readFile(const std::string& path, uint64_t maxBytes = UINT64_MAX,
                                       bool* tooLarge = nullptr, NSErrorPtr* error = nullptr);
};
