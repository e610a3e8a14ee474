#pragma once
// The library behind the Photos stand-in: a folder whose image and video
// files are the assets and whose subfolders are the user albums, indexed in
// SQLite (a hidden file in the folder). The index keeps what must outlive a
// process: stable local identifiers (a renamed or moved file keeps its
// identifier, matched by inode and size), the date each file was added and
// the metadata read from it. The folder stays the only truth: a missing or
// corrupt index is rebuilt from it; favourites live in the files' extended
// attribute "user.qx.favorite". A folder this process cannot write keeps its
// index in the application container instead, so its identifiers still
// hold across starts. Several processes may share one index: each scan
// reconciles under the index's write lock, starting from the rows the
// others committed, so a file gets one identifier whoever sees it first.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/photos/PhotosTypes.h"

struct sqlite3;

struct PHAssetRecord {
  std::string localIdentifier;
  std::string relativePath;  // below the library folder
  std::string albumPath;     // folder below the library folder ("" at its top)
  std::string typeIdentifier;
  uint64_t inode = 0;
  int64_t fileSize = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  PHAssetMediaType mediaType = PHAssetMediaTypeUnknown;
  uint64_t mediaSubtypes = 0;
  int64_t pixelWidth = 0;  // as displayed (orientation applied)
  int64_t pixelHeight = 0;
  int orientation = 1;  // EXIF 1...8
  double duration = 0;
  double creationDate = 0;  // seconds since 1970
  double modificationDate = 0;
  double addedDate = 0;
  bool hasLocation = false;
  double latitude = 0, longitude = 0, altitude = 0;
  bool favorite = false;
};
using PHAssetRecordPtr = std::shared_ptr<const PHAssetRecord>;

struct PHAlbumRecord {
  std::string localIdentifier;
  std::string relativePath;
  std::string title;
  uint64_t inode = 0;
};

// One consistent view of the library. Assets are in creation-date order
// (then identifier); albums in path order.
struct PHLibrarySnapshot {
  std::string root;
  uint64_t generation = 0;
  std::vector<PHAssetRecordPtr> assets;
  std::vector<PHAlbumRecord> albums;
  std::map<std::string, size_t> assetIndex;  // identifier -> position in `assets`

  PHAssetRecordPtr assetWithIdentifier(const std::string& identifier) const;
  const PHAlbumRecord* albumWithIdentifier(const std::string& identifier) const;
  std::string absolutePath(const PHAssetRecord& record) const { return root + "/" + record.relativePath; }
};
using PHLibrarySnapshotPtr = std::shared_ptr<const PHLibrarySnapshot>;

// Kinds of file the library takes, by file-name extension (any case).
bool PHIsImageFileName(const std::string& name);
bool PHIsVideoFileName(const std::string& name);

// Reads what the index keeps about one file (metadata through ImageIO for
// images, libavformat for videos). False when the file is no readable image
// or video.
bool PHReadFileMetadata(const std::string& path, const std::string& name, PHAssetRecord& record);

class PHLibraryStore {
 public:
  // Opens (creating when needed) the folder and its index; an index that
  // cannot be read is moved aside and rebuilt.
  explicit PHLibraryStore(std::string root);
  ~PHLibraryStore();
  PHLibraryStore(const PHLibraryStore&) = delete;
  PHLibraryStore& operator=(const PHLibraryStore&) = delete;

  const std::string& root() const { return root_; }
  // Brings the index in line with the folder and answers the new view. Scans
  // stay on one sequence (the library's queue): the index is written there.
  // Files named in `beingWritten` (relative paths) are still open in a
  // writer: a new one is left out and a known one keeps its last record
  // until the writer is done. `writtenWhileReading`, when given, is asked
  // once the files were read for the ones a writer touched meanwhile: what
  // was read of them may be torn, so they count as being written too.
  PHLibrarySnapshotPtr scan(const std::set<std::string>& beingWritten = {},
                            const std::function<std::set<std::string>()>& writtenWhileReading = {});
  PHLibrarySnapshotPtr snapshot() const;
  // The identifier a file about to be written will get when a scan (of
  // this process or of another sharing the index) first finds it
  // (placeholders of change requests). False when another request holds
  // the path: it is not free to write.
  bool reserveIdentifier(const std::string& relativePath, const std::string& identifier);
  // Gives up a reservation whose file was never written.
  void releaseIdentifier(const std::string& relativePath);
  // Whether the last open had to rebuild the index.
  bool rebuiltIndex() const { return rebuilt_; }

  static std::string indexFileName() { return ".photolibrary.sqlite"; }
  static std::string newLocalIdentifier();
  // Where the index lives: in the folder, or in the container when the
  // folder cannot be written.
  const std::string& indexPath() const { return indexPath_; }
  // The container's place for the index of a folder that cannot hold it.
  static std::string containerIndexPath(const std::string& root);

 private:
  bool openIndex();
  void loadIndex() REQUIRES(mutex_);
  // Takes the index's write lock and reloads the rows when another process
  // committed since this one last looked; false when the lock could not be
  // had (the scan then writes nothing).
  bool beginReconcile() REQUIRES(mutex_);
  void writeRecord(const PHAssetRecord& record);
  void deleteRecord(const std::string& identifier);
  void writeAlbum(const PHAlbumRecord& album);
  void deleteAlbum(const std::string& identifier);
  // The steps of one scan, over the files and folders found.
  struct Scan;
  // Every reservation, those of other processes too.
  std::map<std::string, std::string> loadReservations() const REQUIRES(mutex_);
  // A reservation that has named its file (or gone stale).
  void dropReservation(const std::string& relativePath) REQUIRES(mutex_);

  const std::string root_;
  std::string indexPath_;
  int64_t dataVersion_ = -1;  // the index's change mark at the last load
  bool reconciling_ = false;  // inside a scan's write transaction
  sqlite3* db_ = nullptr;
  bool rebuilt_ = false;
  mutable Mutex mutex_;
  std::map<std::string, PHAssetRecord> byPath_ GUARDED_BY(mutex_);
  std::map<std::string, PHAlbumRecord> albumsByPath_ GUARDED_BY(mutex_);
  // path -> identifier, when the index could not take it; guarded by mutex_
  std::map<std::string, std::string> reserved_;
  PHLibrarySnapshotPtr snapshot_ GUARDED_BY(mutex_);
  uint64_t generation_ = 0;
  SequenceChecker scanSequence_;
};
