#pragma once

// The system's own pickers (documents and folders, photos, images and
// movies, music) are screens of the platform that an application only
// presents. Here they are answered by one provider: the picker controllers
// (UIDocumentPickerViewController, UIImagePickerController, and
// PHPickerViewController and MPMediaPickerController in their frameworks)
// hand it a request when they appear and turn its answer into their
// delegate calls.
//
// The default provider runs the program named by QX_PICKER_COMMAND (looked up
// on PATH) with the request as arguments of the form `key=value` (see
// UISystemPickerArguments), so no argument ever starts with "-" and reads as
// an option; every path passed is absolute and canonical. The program prints
// the chosen paths on standard output, one per line. Exit status 0 with no
// path, or 1, is a cancel; any other status, death by a signal or output
// that names no usable path is an error, whose reason ends with the last line
// the program wrote on standard error (that still goes on to the host's). With the variable unset every
// request fails: the picker cannot be shown. Waiting for the program holds
// no thread (ProcessReaper); its output is read as it comes, and a program
// that writes more than UISystemPickerMaxOutputBytes is ended and fails the
// pick. Programs still running when the host exits are ended with it. Tests
// install a scripted provider.
//
// Whatever the provider answers, a picker hands over only regular files
// (and folders when it picks folders), copies them off the main thread, and
// refuses copies that do not fit the disk.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/OnceCallback.h"

enum class UISystemPickerMode {
  Import,  // documents, handed over as copies
  Open,    // documents or folders, handed over where they are
  Export,  // one file saved to a place the user chooses
  Photo,   // photos and videos of the photo library
  Image,   // one photo or movie of the photo library
  Music,   // music items of the music library
};

struct UISystemPickerRequest {
  UISystemPickerMode mode = UISystemPickerMode::Import;
  // Uniform type identifiers the pick may hold ("public.folder" for a
  // folder); empty: nothing is filtered.
  std::vector<std::string> types;
  // The file-name extensions those types claim (no dot), for pickers that
  // filter by name.
  std::vector<std::string> extensions;
  bool multiple = false;
  // Most items the user may pick; 0 is no limit.
  int64_t limit = 1;
  // Absolute folder the picker starts in; empty for the picker's own choice.
  std::string startDirectory;
  // Export: the absolute path of the file to save.
  std::string exportFile;
};

struct UISystemPickerAnswer {
  enum class Kind { Picked, Cancelled, Failed };
  Kind kind = Kind::Cancelled;
  // Picked: absolute paths, in the order chosen.
  std::vector<std::string> paths;
  // Failed: why, for a log line and for the error the caller answers.
  std::string error;

  static UISystemPickerAnswer picked(std::vector<std::string> paths) {
    return {Kind::Picked, std::move(paths), ""};
  }
  static UISystemPickerAnswer cancelled() { return {Kind::Cancelled, {}, ""}; }
  static UISystemPickerAnswer failed(std::string why) { return {Kind::Failed, {}, std::move(why)}; }
};

// The most a picker program may write on standard output: more than any list
// of paths a person picks.
inline constexpr size_t UISystemPickerMaxOutputBytes = size_t{4} << 20;

// Ends a pick the provider is still working on; its answer is then never
// given. Doing nothing once the answer is out.
using UISystemPickerCancel = std::function<void()>;

class UISystemPickerProvider {
 public:
  using Completion = OnceCallback<void(UISystemPickerAnswer)>;
  virtual ~UISystemPickerProvider() = default;

  // False when no picker can be shown at all (the pick would only fail).
  virtual bool canPresent() = 0;
  // Why canPresent() is false, in words that say how to mend it.
  virtual std::string whyUnavailable() { return "no system picker is available"; }
  // Bytes that may still be written in `folder`'s file system (statvfs's
  // blocks available to the process); nullopt when that cannot be read.
  // Called from any thread.
  virtual std::optional<uint64_t> availableBytes(const std::string& folder);
  // Answers once, later, on the main thread, unless cancelled first.
  virtual UISystemPickerCancel pick(const UISystemPickerRequest& request,
                                    Completion completion) = 0;

  // The provider the pickers ask: the command provider unless one was set.
  static std::shared_ptr<UISystemPickerProvider> current();
  // nullptr restores the command provider.
  static void setCurrent(std::shared_ptr<UISystemPickerProvider> provider);
};

// The arguments the command provider passes for `request`, program name not
// included: "mode=<import|open|export|photo|image|music>", "multiple=<0|1>",
// "limit=<n>", one "type=<identifier>" per type, one "extension=<ext>" per
// extension, "start=<folder>" when given and "save=<file>" for an export.
// Types and extensions that hold anything but letters, digits and ".+-_" are
// left out; folders and files are passed only as absolute canonical paths
// (a start folder that does not exist is left out; an export file must exist).
// nullopt when the request cannot be passed safely (no export file).
std::optional<std::vector<std::string>> UISystemPickerArguments(const UISystemPickerRequest& request);

// The paths a picker program printed: one per line, absolute, without NUL;
// for an export the chosen file need not exist yet but its folder must,
// otherwise each path must name something that exists. Lines that fail are
// dropped.
std::vector<std::string> UISystemPickerParseOutput(const std::string& output,
                                                   UISystemPickerMode mode);

// Where the photo and image pickers start: QX_PHOTO_LIBRARY, else
// <container>/Library/PhotoLibrary. The music picker starts in
// QX_MUSIC_LIBRARY, else <container>/Library/Music.
std::string UISystemPickerPhotoLibraryFolder();
std::string UISystemPickerMusicLibraryFolder();

// Why the picked item at `path` cannot be handed over for `request`, or
// nullopt when it can: it must be a regular file, or a folder when the
// request picks folders ("public.folder" among its types); a link counts as
// what it names. An export's destination must be absent or a regular file.
// Never opens the path, so a fifo or a device is refused without blocking.
std::optional<std::string> UISystemPickerItemRefusal(const std::string& path,
                                                     const UISystemPickerRequest& request);

// Why copies of the regular files and folders at `paths` do not fit in the
// file system of `folder`, or nullopt when they fit: their sizes together
// (folders with the regular files in them) must not exceed the provider's
// availableBytes(). When the free space cannot be read nothing is refused
// here (a copy that fails is reported as such).
std::optional<std::string> UISystemPickerCopiesRefusal(const std::vector<std::string>& paths,
                                                       const std::string& folder);

// A private copy of `path` (a file or a folder) in a fresh folder of the
// temporary directory named after this process (MakeProcessTemporaryFolder),
// keeping its name; what a picker hands over when it hands over copies. A
// file that changes while it is copied is copied again (CopyOpenFile). The user's item is only read, and only its bytes are
// copied: a link is followed, and links inside a folder are left out. nullopt
// and `error` when the copy failed (nothing is left behind then). Blocks for
// as long as the copy takes: call it off the main thread.
std::optional<std::string> UISystemPickerCopyToTemporary(const std::string& path,
                                                         const std::string& folderPrefix,
                                                         std::string* error);
