#pragma once

// Where a host keeps the files its picks make, so that it removes only its
// own. Two hosts may run on one container and share its temporary directory:
// each keeps its picks in a folder of its own there, "file_picker-<pid>-<8 hex
// digits>", and holds a lock (flock) on the ".owner" file in it for as long as
// it runs. A folder whose lock nobody holds was left by a host that has ended
// (the kernel lets go of a dead process's locks), and only such folders are
// removed besides the host's own files. Making a folder and judging one dead
// both happen under one lock on ".file_picker.lock" in the temporary
// directory, so no host sees another's folder before its owner holds it.

#include <optional>
#include <string>

class FilePickerTemporaryFiles {
 public:
  // This host's folder (a path without a trailing "/"), made on first use and
  // again when something removed it; nullopt when it cannot be made.
  static std::optional<std::string> folder();
  // A new, empty folder inside it for one request: "<prefix>-<UUID>".
  static std::optional<std::string> makeRequestFolder(const std::string& prefix);
  // Removes everything this host's picks made, then the folders of hosts
  // that have ended; false at the first item that cannot be removed (the
  // rest stay).
  static bool clear();
  // Removes this host's folder with everything in it, as the host ends: what
  // its picks made is of no use to anyone once it is gone.
  static void removeOwnFolder();
  // Removes the folders of hosts that have ended, and the copies the system
  // pickers were making for them (ProcessTemporaryFolders.h); false when one
  // of them cannot be removed.
  static bool removeFoldersOfEndedHosts();
  // Whether `name` has the form of a host's folder name.
  static bool isHostFolderName(const std::string& name);
};
