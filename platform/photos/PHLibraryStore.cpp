#include "platform/photos/PHLibraryStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <set>
#include <tuple>

#include "platform/avfoundation/AVAsset.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

std::string lowerExtension(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = name.substr(dot + 1);
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool hasPrefixIgnoringCase(const std::string& name, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(prefix[i])) return false;
  }
  return true;
}

int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool readFavorite(const std::string& path) {
  char value[8] = {};
  ssize_t n = getxattr(path.c_str(), "user.qx.favorite", value, sizeof value - 1);
  return n > 0 && value[0] == '1';
}

// "+02:00" or "-05:30" (EXIF's offset of a local time from UTC) in seconds.
std::optional<int> parseExifOffset(const std::string& text) {
  if (text.size() < 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return std::nullopt;
  for (size_t i : {1, 2, 4, 5}) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  const int hours = (text[1] - '0') * 10 + (text[2] - '0'), minutes = (text[4] - '0') * 10 + (text[5] - '0');
  if (hours > 14 || minutes > 59) return std::nullopt;
  const int seconds = hours * 3600 + minutes * 60;
  return text[0] == '-' ? -seconds : seconds;
}

// "2024:05:01 12:30:00" (EXIF) as seconds since 1970: a local time at the
// given offset from UTC, read as UTC when the file gives none.
std::optional<double> parseExifDate(const std::string& text, const std::string& offset) {
  struct tm tm = {};
  if (!strptime(text.c_str(), "%Y:%m:%d %H:%M:%S", &tm)) return std::nullopt;
  return static_cast<double>(timegm(&tm)) - parseExifOffset(offset).value_or(0);
}

const char* videoTypeIdentifier(const std::string& ext) {
  if (ext == "mov" || ext == "qt") return "com.apple.quicktime-movie";
  if (ext == "m4v") return "com.apple.m4v-video";
  if (ext == "3gp") return "public.3gpp";
  return "public.mpeg-4";
}

bool readImageMetadata(const std::string& path, PHAssetRecord& record) {
  auto source = CGImageSourceCreateWithURL(path);
  if (!source || CGImageSourceGetCount(source) == 0) return false;
  Value props = CGImageSourceCopyPropertiesAtIndex(source, 0);
  const Value* w = props.find(kCGImagePropertyPixelWidth);
  const Value* h = props.find(kCGImagePropertyPixelHeight);
  if (!w || !h) return false;
  record.mediaType = PHAssetMediaTypeImage;
  record.typeIdentifier = CGImageSourceGetType(source);
  const Value* orientation = props.find(kCGImagePropertyOrientation);
  record.orientation = orientation ? static_cast<int>(orientation->asInt64()) : 1;
  if (record.orientation < 1 || record.orientation > 8) record.orientation = 1;
  bool turned = record.orientation >= 5;
  record.pixelWidth = turned ? h->asInt64() : w->asInt64();
  record.pixelHeight = turned ? w->asInt64() : h->asInt64();
  if (const Value* exif = props.find(kCGImagePropertyExifDictionary)) {
    if (const Value* date = exif->find(kCGImagePropertyExifDateTimeOriginal)) {
      const Value* offset = exif->find("OffsetTimeOriginal");
      if (!offset || !offset->isString()) offset = exif->find("OffsetTime");
      if (auto seconds = parseExifDate(date->asString(), offset && offset->isString() ? offset->asString() : "")) {
        record.creationDate = *seconds;
      }
    }
  }
  if (const Value* gps = props.find(kCGImagePropertyGPSDictionary)) {
    const Value* lat = gps->find(kCGImagePropertyGPSLatitude);
    const Value* lon = gps->find(kCGImagePropertyGPSLongitude);
    if (lat && lon && lat->isNumber() && lon->isNumber()) {
      record.hasLocation = true;
      record.latitude = lat->asDouble();
      record.longitude = lon->asDouble();
      const Value* latRef = gps->find(kCGImagePropertyGPSLatitudeRef);
      const Value* lonRef = gps->find(kCGImagePropertyGPSLongitudeRef);
      if (latRef && latRef->asString() == "S") record.latitude = -record.latitude;
      if (lonRef && lonRef->asString() == "W") record.longitude = -record.longitude;
      if (const Value* alt = gps->find(kCGImagePropertyGPSAltitude)) {
        record.altitude = alt->asDouble();
        const Value* altRef = gps->find(kCGImagePropertyGPSAltitudeRef);
        if (altRef && altRef->asInt64() == 1) record.altitude = -record.altitude;
      }
    }
  }
  return true;
}

bool readVideoMetadata(const std::string& path, const std::string& ext, PHAssetRecord& record) {
  AVMediaProbe probe = AVProbeMediaFile(path);
  if (!probe.readable || probe.tracks.empty()) return false;
  record.mediaType = probe.videoSize.width > 0 ? PHAssetMediaTypeVideo : PHAssetMediaTypeAudio;
  record.typeIdentifier = videoTypeIdentifier(ext);
  record.pixelWidth = static_cast<int64_t>(probe.videoSize.width);
  record.pixelHeight = static_cast<int64_t>(probe.videoSize.height);
  record.duration = probe.duration;
  if (probe.creationDate) record.creationDate = *probe.creationDate;
  return true;
}

struct Statement {
  sqlite3_stmt* s = nullptr;
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
  ~Statement() { sqlite3_finalize(s); }
  Statement& text(int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& integer(int i, int64_t v) {
    sqlite3_bind_int64(s, i, v);
    return *this;
  }
  Statement& real(int i, double v) {
    sqlite3_bind_double(s, i, v);
    return *this;
  }
  int step() { return s ? sqlite3_step(s) : SQLITE_ERROR; }
  std::string columnText(int i) const {
    auto* p = sqlite3_column_text(s, i);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
  int64_t columnInt(int i) const { return sqlite3_column_int64(s, i); }
  double columnReal(int i) const { return sqlite3_column_double(s, i); }
};

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS assets(id TEXT PRIMARY KEY, path TEXT UNIQUE NOT NULL,"
    " album TEXT, uti TEXT, inode INTEGER, size INTEGER, mtime INTEGER, ctime INTEGER,"
    " media INTEGER, subtypes INTEGER, width INTEGER, height INTEGER, orientation INTEGER,"
    " duration REAL, created REAL, modified REAL, added REAL, has_loc INTEGER, lat REAL,"
    " lon REAL, alt REAL, favorite INTEGER);"
    "CREATE TABLE IF NOT EXISTS albums(id TEXT PRIMARY KEY, path TEXT UNIQUE NOT NULL,"
    " title TEXT, inode INTEGER);"
    // Identifiers handed out for files a change request is writing: the
    // first process to index such a file gives it that identifier.
    "CREATE TABLE IF NOT EXISTS reservations(path TEXT PRIMARY KEY, id TEXT NOT NULL);"
    "PRAGMA user_version = 1;";

struct FoundFile {
  std::string relativePath;
  std::string albumPath;
  std::string name;
  struct stat st;
};

void walk(const std::string& root, const std::string& relative, std::vector<FoundFile>& files,
          std::vector<FoundFile>& folders) {
  std::string dirPath = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(dirPath.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;  // hidden files, the index, ".tmp" folders
    names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (auto& name : names) {
    std::string rel = relative.empty() ? name : relative + "/" + name;
    FoundFile found{rel, relative, name, {}};
    // Links are not followed: the library is what lies inside its folder.
    if (lstat((root + "/" + rel).c_str(), &found.st) != 0) continue;
    if (S_ISDIR(found.st.st_mode)) {
      folders.push_back(found);
      walk(root, rel, files, folders);
    } else if (S_ISREG(found.st.st_mode) &&
               (PHIsImageFileName(name) || PHIsVideoFileName(name))) {
      files.push_back(std::move(found));
    }
  }
}

}  // namespace

bool PHIsImageFileName(const std::string& name) {
  static const std::set<std::string> kinds = {"jpg",  "jpeg", "png", "gif", "heic", "heif",
                                              "webp", "tif",  "tiff", "bmp", "hif"};
  return kinds.count(lowerExtension(name)) > 0;
}

bool PHIsVideoFileName(const std::string& name) {
  static const std::set<std::string> kinds = {"mov", "mp4", "m4v", "3gp", "qt"};
  return kinds.count(lowerExtension(name)) > 0;
}

namespace {

enum class ContentKind { Image, Video, Unknown };

// What the leading bytes say the file is, whatever its name says: a JPEG
// renamed ".mov" is still a photo, an MP4 renamed ".jpg" still a video.
ContentKind sniffContent(const std::string& path) {
  uint8_t head[512];
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ContentKind::Unknown;
  const ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  if (n <= 0) return ContentKind::Unknown;
  const size_t size = static_cast<size_t>(n);
  if (!ImageTypeOfData(head, size).empty()) return ContentKind::Image;
  // ISO base media and QuickTime files start with a box: its size, then one
  // of these types.
  if (size >= 8) {
    const std::string box(reinterpret_cast<const char*>(head) + 4, 4);
    for (const char* type : {"ftyp", "moov", "mdat", "wide", "free", "skip", "pnot"}) {
      if (box == type) return ContentKind::Video;
    }
  }
  if (size >= 4 && head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF && head[3] == 0xA3) {
    return ContentKind::Video;  // Matroska and WebM
  }
  return ContentKind::Unknown;
}

}  // namespace

bool PHReadFileMetadata(const std::string& path, const std::string& name, PHAssetRecord& record) {
  std::string ext = lowerExtension(name);
  ContentKind kind = sniffContent(path);
  if (kind == ContentKind::Unknown) kind = PHIsVideoFileName(name) ? ContentKind::Video : ContentKind::Image;
  bool ok = kind == ContentKind::Video ? readVideoMetadata(path, ext, record) : readImageMetadata(path, record);
  if (!ok) return false;
  if (record.mediaType == PHAssetMediaTypeImage &&
      (hasPrefixIgnoringCase(name, "screenshot") || hasPrefixIgnoringCase(name, "screen shot"))) {
    record.mediaSubtypes |= PHAssetMediaSubtypePhotoScreenshot;
  }
  return true;
}

PHAssetRecordPtr PHLibrarySnapshot::assetWithIdentifier(const std::string& identifier) const {
  auto it = assetIndex.find(identifier);
  return it == assetIndex.end() ? nullptr : assets[it->second];
}

const PHAlbumRecord* PHLibrarySnapshot::albumWithIdentifier(const std::string& identifier) const {
  for (auto& album : albums) {
    if (album.localIdentifier == identifier) return &album;
  }
  return nullptr;
}

std::string PHLibraryStore::newLocalIdentifier() { return NSRandomUUIDString() + "/L0/001"; }

std::string PHLibraryStore::containerIndexPath(const std::string& root) {
  // FNV-1a of the folder's path: stable from one start to the next.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : root) hash = (hash ^ c) * 1099511628211ull;
  char name[32];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  auto library = NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Library);
  return library.front()->path() + "/PhotoLibraryIndexes/" + name + ".sqlite";
}

namespace {

void copyIndex(const std::string& from, const std::string& to) {
  sqlite3* source = nullptr;
  sqlite3* target = nullptr;
  if (sqlite3_open_v2(from.c_str(), &source, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_open_v2(to.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK) {
    if (sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main")) {
      sqlite3_backup_step(backup, -1);
      sqlite3_backup_finish(backup);
    }
  }
  sqlite3_close(target);
  sqlite3_close(source);
}

}  // namespace

PHLibraryStore::PHLibraryStore(std::string root) : root_(std::move(root)) {
  NSFileManager::defaultManager()->createDirectoryAtPath(root_, true);
  indexPath_ = root_ + "/" + indexFileName();
  // A folder that cannot take the index (and its journal) would give every
  // file a new identifier on each start.
  if (::access(root_.c_str(), W_OK) != 0) {
    const std::string inFolder = indexPath_;
    indexPath_ = containerIndexPath(root_);
    NSFileManager::defaultManager()->createDirectoryAtPath(indexPath_.substr(0, indexPath_.rfind('/')), true);
    // A folder made read-only after it held its index: its identifiers
    // carry over.
    struct stat st;
    if (::stat(indexPath_.c_str(), &st) != 0 && ::stat(inFolder.c_str(), &st) == 0) copyIndex(inFolder, indexPath_);
  } else if (struct stat st; ::stat(indexPath_.c_str(), &st) != 0) {
    // And the other way: a folder that could not be written (or read) when
    // it was last indexed gets the identifiers given then.
    const std::string inContainer = containerIndexPath(root_);
    if (::stat(inContainer.c_str(), &st) == 0) copyIndex(inContainer, indexPath_);
  }
  if (!openIndex()) {
    // The index is derived data: a damaged one is dropped and rebuilt.
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    unlink(indexPath_.c_str());
    rebuilt_ = true;
    if (!openIndex()) {
      os_log_with_type(os_log_create("PhotoLibrary", "index"), OSLogType::Error,
                       "photo library index at " + indexPath_ + " cannot be created; running without one");
      if (db_) sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  if (db_) {
    MutexLock lock(mutex_);
    loadIndex();
  }
}

PHLibraryStore::~PHLibraryStore() {
  if (db_) sqlite3_close(db_);
}

bool PHLibraryStore::openIndex() {
  if (sqlite3_open_v2(indexPath_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  // Another process's scan holds the write lock only while it reconciles
  // (metadata is read before), so a wait this long means it is stuck.
  sqlite3_busy_timeout(db_, 10000);
  {
    Statement check(db_, "PRAGMA quick_check");
    if (check.step() != SQLITE_ROW || check.columnText(0) != "ok") return false;
  }
  int64_t version = 0;
  {
    Statement v(db_, "PRAGMA user_version");
    if (v.step() != SQLITE_ROW) return false;
    version = v.columnInt(0);
  }
  if (version != 0 && version != 1) return false;
  return sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void PHLibraryStore::loadIndex() {
  byPath_.clear();
  albumsByPath_.clear();
  {
    Statement v(db_, "PRAGMA data_version");
    dataVersion_ = v.step() == SQLITE_ROW ? v.columnInt(0) : -1;
  }
  Statement q(db_,
              "SELECT id, path, album, uti, inode, size, mtime, ctime, media, subtypes, width,"
              " height, orientation, duration, created, modified, added, has_loc, lat, lon, alt,"
              " favorite FROM assets");
  while (q.step() == SQLITE_ROW) {
    PHAssetRecord r;
    r.localIdentifier = q.columnText(0);
    r.relativePath = q.columnText(1);
    r.albumPath = q.columnText(2);
    r.typeIdentifier = q.columnText(3);
    r.inode = static_cast<uint64_t>(q.columnInt(4));
    r.fileSize = q.columnInt(5);
    r.mtimeNs = q.columnInt(6);
    r.ctimeNs = q.columnInt(7);
    r.mediaType = static_cast<PHAssetMediaType>(q.columnInt(8));
    r.mediaSubtypes = static_cast<uint64_t>(q.columnInt(9));
    r.pixelWidth = q.columnInt(10);
    r.pixelHeight = q.columnInt(11);
    r.orientation = static_cast<int>(q.columnInt(12));
    r.duration = q.columnReal(13);
    r.creationDate = q.columnReal(14);
    r.modificationDate = q.columnReal(15);
    r.addedDate = q.columnReal(16);
    r.hasLocation = q.columnInt(17) != 0;
    r.latitude = q.columnReal(18);
    r.longitude = q.columnReal(19);
    r.altitude = q.columnReal(20);
    r.favorite = q.columnInt(21) != 0;
    byPath_[r.relativePath] = std::move(r);
  }
  Statement a(db_, "SELECT id, path, title, inode FROM albums");
  while (a.step() == SQLITE_ROW) {
    PHAlbumRecord album{a.columnText(0), a.columnText(1), a.columnText(2),
                        static_cast<uint64_t>(a.columnInt(3))};
    albumsByPath_[album.relativePath] = std::move(album);
  }
}

bool PHLibraryStore::beginReconcile() {
  if (!db_) return false;
  // IMMEDIATE: the write lock from the start, so two processes never both
  // decide that a file is new.
  reconciling_ = false;
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    os_log_with_type(os_log_create("PhotoLibrary", "index"), OSLogType::Error,
                     "photo library index at " + indexPath_ + " is locked: " + sqlite3_errmsg(db_));
    return false;
  }
  int64_t version = -1;
  {
    Statement v(db_, "PRAGMA data_version");
    if (v.step() == SQLITE_ROW) version = v.columnInt(0);
  }
  // Another connection committed: its rows are the truth to start from.
  if (version != dataVersion_) loadIndex();
  reconciling_ = true;
  return true;
}

namespace {

const char* kUpsertAsset =
    "INSERT INTO assets VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT(id) DO UPDATE SET"
    " path=excluded.path, album=excluded.album, uti=excluded.uti, inode=excluded.inode,"
    " size=excluded.size, mtime=excluded.mtime, ctime=excluded.ctime, media=excluded.media,"
    " subtypes=excluded.subtypes, width=excluded.width, height=excluded.height,"
    " orientation=excluded.orientation, duration=excluded.duration, created=excluded.created,"
    " modified=excluded.modified, added=excluded.added, has_loc=excluded.has_loc, lat=excluded.lat,"
    " lon=excluded.lon, alt=excluded.alt, favorite=excluded.favorite";

int upsertAsset(sqlite3* db, const PHAssetRecord& r) {
  Statement s(db, kUpsertAsset);
  s.text(1, r.localIdentifier).text(2, r.relativePath).text(3, r.albumPath).text(4, r.typeIdentifier);
  s.integer(5, static_cast<int64_t>(r.inode)).integer(6, r.fileSize).integer(7, r.mtimeNs);
  s.integer(8, r.ctimeNs).integer(9, r.mediaType).integer(10, static_cast<int64_t>(r.mediaSubtypes));
  s.integer(11, r.pixelWidth).integer(12, r.pixelHeight).integer(13, r.orientation);
  s.real(14, r.duration).real(15, r.creationDate).real(16, r.modificationDate).real(17, r.addedDate);
  s.integer(18, r.hasLocation).real(19, r.latitude).real(20, r.longitude).real(21, r.altitude);
  s.integer(22, r.favorite);
  return s.step();
}

int upsertAlbum(sqlite3* db, const PHAlbumRecord& album) {
  return Statement(db, "INSERT INTO albums VALUES(?,?,?,?) ON CONFLICT(id) DO UPDATE SET"
                       " path=excluded.path, title=excluded.title, inode=excluded.inode")
      .text(1, album.localIdentifier)
      .text(2, album.relativePath)
      .text(3, album.title)
      .integer(4, static_cast<int64_t>(album.inode))
      .step();
}

}  // namespace

void PHLibraryStore::writeRecord(const PHAssetRecord& r) {
  if (!db_ || !reconciling_) return;
  // Another identifier holding the path fails the statement: the row that
  // is there stays (the reconcile started from every committed row, so
  // only an index changed behind SQLite's back gets here).
  upsertAsset(db_, r);
}

void PHLibraryStore::deleteRecord(const std::string& identifier) {
  if (!db_ || !reconciling_) return;
  Statement(db_, "DELETE FROM assets WHERE id = ?").text(1, identifier).step();
}

void PHLibraryStore::writeAlbum(const PHAlbumRecord& album) {
  if (!db_ || !reconciling_) return;
  upsertAlbum(db_, album);
}

void PHLibraryStore::deleteAlbum(const std::string& identifier) {
  if (!db_ || !reconciling_) return;
  Statement(db_, "DELETE FROM albums WHERE id = ?").text(1, identifier).step();
}

bool PHLibraryStore::reserveIdentifier(const std::string& relativePath,
                                       const std::string& identifier) {
  MutexLock lock(mutex_);
  if (reserved_.count(relativePath)) return false;
  if (db_) {
    // One statement, so two processes never both take a path: a path
    // another change request (here or elsewhere) is writing is not free,
    // even while nothing is on disk yet.
    Statement insert(db_, "INSERT INTO reservations VALUES(?,?) ON CONFLICT(path) DO NOTHING");
    if (insert.text(1, relativePath).text(2, identifier).step() == SQLITE_DONE) return sqlite3_changes(db_) > 0;
  }
  // No index to share it through: this process at least keeps its word.
  reserved_[relativePath] = identifier;
  return true;
}

void PHLibraryStore::releaseIdentifier(const std::string& relativePath) {
  MutexLock lock(mutex_);
  reserved_.erase(relativePath);
  if (db_) Statement(db_, "DELETE FROM reservations WHERE path = ?").text(1, relativePath).step();
}

std::map<std::string, std::string> PHLibraryStore::loadReservations() const {
  std::map<std::string, std::string> out;
  if (db_) {
    Statement q(db_, "SELECT path, id FROM reservations");
    while (q.step() == SQLITE_ROW) out[q.columnText(0)] = q.columnText(1);
  }
  for (auto& [path, identifier] : reserved_) out[path] = identifier;
  return out;
}

void PHLibraryStore::dropReservation(const std::string& relativePath) {
  reserved_.erase(relativePath);
  if (db_ && reconciling_) Statement(db_, "DELETE FROM reservations WHERE path = ?").text(1, relativePath).step();
}

PHLibrarySnapshotPtr PHLibraryStore::snapshot() const {
  MutexLock lock(mutex_);
  return snapshot_;
}

namespace {

bool sameFile(const PHAssetRecord& record, const FoundFile& f) {
  return record.inode == static_cast<uint64_t>(f.st.st_ino) && record.fileSize == f.st.st_size &&
         record.mtimeNs == nanoseconds(f.st.st_mtim);
}

}  // namespace

// One scan: what the folder holds, reconciled with what the store knew.
// Runs on the store's scan sequence; everything after the read-ahead runs
// under the store's mutex.
struct PHLibraryStore::Scan {
  Scan(PHLibraryStore& owner, const std::set<std::string>& written)
      : store(owner), beingWritten(written) {}

  PHLibraryStore& store;
  std::set<std::string> beingWritten;
  std::vector<FoundFile> files, folders;
  // Metadata read before the lock, by path; nothing: not a readable file.
  std::map<std::string, std::optional<PHAssetRecord>> readAhead;
  // Records whose file left its path, by inode and size: moved, or gone.
  std::map<std::pair<uint64_t, int64_t>, PHAssetRecord> vanished;
  // Identifiers promised for files being written, by path (loadReservations).
  std::map<std::string, std::string> reservations;
  double now = 0;

  // Metadata is read before the index is locked, for the files that are new
  // or rewritten by what this process knew: reading thousands of files
  // under the lock would stall every other process sharing the index.
  void readMetadataAhead() {
    std::set<std::tuple<uint64_t, int64_t, int64_t>> knownFiles;
    {
      MutexLock lock(store.mutex_);
      for (auto& [path, record] : store.byPath_) {
        knownFiles.insert({record.inode, record.fileSize, record.mtimeNs});
      }
    }
    for (auto& f : files) {
      if (beingWritten.count(f.relativePath)) continue;
      if (knownFiles.count({f.st.st_ino, f.st.st_size, nanoseconds(f.st.st_mtim)})) continue;
      PHAssetRecord fresh;
      auto& slot = readAhead[f.relativePath];
      if (PHReadFileMetadata(store.root_ + "/" + f.relativePath, f.name, fresh)) {
        slot = std::move(fresh);
      }
    }
  }

  // Albums: kept by path, else by inode (a renamed folder), else new.
  void reconcileAlbums() {
    store.mutex_.assertHeld();  // by scan(), which runs every step
    std::map<std::string, PHAlbumRecord> albums;
    std::map<uint64_t, PHAlbumRecord> goneAlbums;
    std::set<std::string> folderPaths;
    for (auto& f : folders) folderPaths.insert(f.relativePath);
    for (auto& [path, album] : store.albumsByPath_) {
      if (!folderPaths.count(path)) goneAlbums[album.inode] = album;
    }
    for (auto& f : folders) {
      uint64_t inode = f.st.st_ino;
      auto known = store.albumsByPath_.find(f.relativePath);
      const bool isKnown = known != store.albumsByPath_.end();
      PHAlbumRecord album;
      if (isKnown && known->second.inode == inode) {
        album = known->second;
      } else if (auto moved = goneAlbums.find(inode); moved != goneAlbums.end()) {
        album = moved->second;
        goneAlbums.erase(moved);
      } else {
        album.localIdentifier = NSRandomUUIDString() + "/L0/040";
      }
      album.relativePath = f.relativePath;
      album.title = f.name;
      album.inode = inode;
      if (!isKnown || known->second.localIdentifier != album.localIdentifier ||
          known->second.title != album.title || known->second.inode != album.inode) {
        if (isKnown && known->second.localIdentifier != album.localIdentifier) {
          store.deleteAlbum(known->second.localIdentifier);
        }
        store.writeAlbum(album);
      }
      albums[album.relativePath] = album;
    }
    for (auto& [inode, album] : goneAlbums) store.deleteAlbum(album.localIdentifier);
    store.albumsByPath_ = std::move(albums);
  }

  // A file read for the first time (or rewritten): its metadata under the
  // identifier it was promised, had, or a new one. False when it is no
  // readable image or video.
  bool freshRecord(const FoundFile& f, const std::string& abs, PHAssetRecord& record) {
    store.mutex_.assertHeld();
    PHAssetRecord fresh;
    if (auto ahead = readAhead.find(f.relativePath); ahead != readAhead.end()) {
      if (!ahead->second) return false;
      fresh = *ahead->second;
    } else if (!PHReadFileMetadata(abs, f.name, fresh)) {
      return false;
    }
    auto known = store.byPath_.find(f.relativePath);
    if (auto reservation = reservations.find(f.relativePath); reservation != reservations.end()) {
      // A change request wrote this file after the path was free: the
      // identifier its caller holds names it, and a record still kept
      // for the path is of a file that is gone.
      fresh.localIdentifier = reservation->second;
      store.dropReservation(f.relativePath);
      if (known != store.byPath_.end()) store.deleteRecord(known->second.localIdentifier);
    } else if (known != store.byPath_.end()) {
      fresh.localIdentifier = known->second.localIdentifier;
      fresh.addedDate = known->second.addedDate;
    } else {
      fresh.localIdentifier = newLocalIdentifier();
    }
    if (fresh.addedDate == 0) fresh.addedDate = now;
    if (fresh.creationDate == 0) fresh.creationDate = static_cast<double>(f.st.st_mtim.tv_sec);
    fresh.favorite = readFavorite(abs);
    record = std::move(fresh);
    return true;
  }

  // The record of one file that is not being written: unchanged files keep
  // theirs (their favourite mark read again when the inode changed);
  // rewritten ones are read again under the same identifier; a file that
  // vanished from one path and appeared at another with the same inode and
  // size was moved. False when the file is no asset.
  bool recordOf(const FoundFile& f, PHAssetRecord& record, bool& dirty) {
    store.mutex_.assertHeld();
    const std::string abs = store.root_ + "/" + f.relativePath;
    const int64_t mtime = nanoseconds(f.st.st_mtim), ctime = nanoseconds(f.st.st_ctim);
    auto known = store.byPath_.find(f.relativePath);
    dirty = true;
    if (known != store.byPath_.end() && sameFile(known->second, f)) {
      // Already indexed as it is: a reservation left for it is stale.
      if (reservations.count(f.relativePath)) store.dropReservation(f.relativePath);
      record = known->second;
      dirty = false;
      if (record.ctimeNs != ctime) {
        bool favorite = readFavorite(abs);
        if (favorite != record.favorite) record.modificationDate = now;
        record.favorite = favorite;
        record.ctimeNs = ctime;
        dirty = true;
      }
      return true;
    }
    if (auto moved = vanished.find({f.st.st_ino, f.st.st_size});
        known == store.byPath_.end() && moved != vanished.end() && moved->second.mtimeNs == mtime) {
      record = moved->second;
      vanished.erase(moved);
      store.deleteRecord(record.localIdentifier);
      // Favourited or not on the way: the mark travels with the file.
      const bool favorite = readFavorite(abs);
      if (favorite != record.favorite) record.modificationDate = now;
      record.favorite = favorite;
      return true;
    }
    return freshRecord(f, abs, record);
  }

  void reconcileAssets() {
    store.mutex_.assertHeld();
    std::map<std::string, PHAssetRecord> assets;
    std::set<std::string> seen;
    for (auto& f : files) seen.insert(f.relativePath);
    for (auto& [path, record] : store.byPath_) {
      if (!seen.count(path)) vanished[{record.inode, record.fileSize}] = record;
    }
    for (auto& f : files) {
      if (beingWritten.count(f.relativePath)) {
        // Half a file is no asset yet: it shows (or changes) once written.
        auto known = store.byPath_.find(f.relativePath);
        if (known != store.byPath_.end()) assets[f.relativePath] = known->second;
        continue;
      }
      PHAssetRecord record;
      bool dirty = true;
      if (!recordOf(f, record, dirty)) continue;
      const int64_t mtime = nanoseconds(f.st.st_mtim);
      record.relativePath = f.relativePath;
      record.albumPath = f.albumPath;
      record.inode = f.st.st_ino;
      record.fileSize = f.st.st_size;
      record.mtimeNs = mtime;
      record.ctimeNs = nanoseconds(f.st.st_ctim);
      if (dirty) {
        record.modificationDate =
            std::max(record.modificationDate, static_cast<double>(mtime) / 1e9);
        store.writeRecord(record);
      }
      assets[record.relativePath] = std::move(record);
    }
    for (auto& [key, record] : vanished) {
      if (!assets.count(record.relativePath)) store.deleteRecord(record.localIdentifier);
    }
    store.byPath_ = std::move(assets);
  }

  // Ends the write transaction a scan began, if it began one.
  void commit(bool writing) {
    if (!writing) return;
    store.reconciling_ = false;
    if (sqlite3_exec(store.db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      os_log_with_type(os_log_create("PhotoLibrary", "index"), OSLogType::Error,
                       "photo library index at " + store.indexPath_ +
                           " not written: " + sqlite3_errmsg(store.db_));
      sqlite3_exec(store.db_, "ROLLBACK", nullptr, nullptr, nullptr);
      store.dataVersion_ = -1;  // what the index holds is read again next time
    }
  }

  PHLibrarySnapshotPtr makeSnapshot() {
    store.mutex_.assertHeld();
    auto snap = std::make_shared<PHLibrarySnapshot>();
    snap->root = store.root_;
    snap->generation = ++store.generation_;
    for (auto& [path, record] : store.byPath_) {
      snap->assets.push_back(std::make_shared<PHAssetRecord>(record));
    }
    std::stable_sort(snap->assets.begin(), snap->assets.end(), [](auto& a, auto& b) {
      if (a->creationDate != b->creationDate) return a->creationDate < b->creationDate;
      return a->localIdentifier < b->localIdentifier;
    });
    for (size_t i = 0; i < snap->assets.size(); ++i) {
      snap->assetIndex[snap->assets[i]->localIdentifier] = i;
    }
    for (auto& [path, album] : store.albumsByPath_) snap->albums.push_back(album);
    store.snapshot_ = snap;
    return snap;
  }
};

PHLibrarySnapshotPtr PHLibraryStore::scan(
    const std::set<std::string>& beingWritten,
    const std::function<std::set<std::string>()>& writtenWhileReading) {
  QX_DCHECK_SEQUENCE(scanSequence_);
  Scan scan(*this, beingWritten);
  walk(root_, "", scan.files, scan.folders);
  scan.readMetadataAhead();
  // A writer that began after `beingWritten` was taken may have been
  // halfway through a file when it was read.
  if (writtenWhileReading) scan.beingWritten.merge(writtenWhileReading());

  MutexLock lock(mutex_);
  const bool writing = beginReconcile();
  // Read under the write lock, so a reservation and the file written after
  // it are seen together.
  scan.reservations = loadReservations();
  // The platform clock, so that dates of addition follow it like every
  // other date the library hands out.
  scan.now = PlatformClock::wallNow();
  scan.reconcileAlbums();
  scan.reconcileAssets();
  scan.commit(writing);
  return scan.makeSnapshot();
}
