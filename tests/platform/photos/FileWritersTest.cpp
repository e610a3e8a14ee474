#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHLibraryStore.h"
#include "platform/photos/internal/PHFolderWatcher.h"
#include "support/photos/PhotoLibraryFixture.h"

namespace file_writers_test {

namespace {

PHAssetRecordPtr recordNamed(const PHLibrarySnapshotPtr& snapshot, const std::string& name) {
  for (auto& record : snapshot->assets) {
    if (record->relativePath == name) return record;
  }
  return nullptr;
}

// How often each change the observer got so far inserted, changed or
// removed the file `name`.
struct Mentions {
  int inserted = 0, changed = 0, removed = 0;
};
Mentions mentionsOf(ChangeCollector& observer, const PHAssetFetchResultPtr& before, const std::string& name) {
  Mentions out;
  auto named = [&](const std::vector<PHAssetPtr>& list) {
    return static_cast<int>(std::count_if(list.begin(), list.end(),
                                          [&](const PHAssetPtr& a) { return a->record().relativePath == name; }));
  };
  PHAssetFetchResultPtr current = before;
  for (size_t i = 0; i < observer.count(); ++i) {
    auto details = observer.at(i)->changeDetailsForFetchResult(current);
    if (!details) continue;
    out.inserted += named(details->insertedObjects);
    out.changed += named(details->changedObjects);
    out.removed += named(details->removedObjects);
    current = details->fetchResultAfterChanges;
  }
  return out;
}

// The bytes of a JPEG of the given size, made outside the library.
Bytes jpegBytes(const std::string& scratch, int width, int height) {
  EXPECT_TRUE(WriteFixtureImage(scratch, "public.jpeg", width, height));
  auto data = NSData::dataWithContentsOfFile(scratch);
  return data ? data->vector() : Bytes{};
}

bool writeAll(int fd, const uint8_t* bytes, size_t size) {
  return ::write(fd, bytes, size) == static_cast<ssize_t>(size);
}

}  // namespace

// A writer that puts a photo into the folder in steps: the header (enough
// to read the size from) first, the rest later, then closes it.
TEST_F(PhotoLibraryTest, AFileIsAnnouncedOnlyOnceItsWriterIsDone) {
  ASSERT_TRUE(WriteFixtureImage(path("kept.jpg"), "public.jpeg", 20, 10));
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  auto before = PHAsset::fetchAssetsWithOptions(nullptr);
  auto observer = std::make_shared<ChangeCollector>();
  library->registerChangeObserver(observer);
  // Changes are handed to observers on the library's queue: after this,
  // every change of the synchronizations before has arrived.
  auto delivered = [&] { dispatch_sync(library->queue(), [] {}); };

  Bytes photo = jpegBytes(folder_->path() + "/whole.jpg", 64, 48);
  ASSERT_GT(photo.size(), 400u);
  const size_t header = photo.size() / 2;
  const int fd = ::open(path("slow.jpg").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  // Each write starts the settling time again: 3 s after the first write,
  // 1.5 s after the last, the file is still being written.
  ASSERT_TRUE(writeAll(fd, photo.data(), header));
  library->synchronize();
  advance(1.5);
  library->synchronize();
  EXPECT_FALSE(recordNamed(library->snapshot(), "slow.jpg"));
  ASSERT_TRUE(writeAll(fd, photo.data() + header, photo.size() - header - 10));
  library->synchronize();
  advance(1.5);
  library->synchronize();
  EXPECT_FALSE(recordNamed(library->snapshot(), "slow.jpg"));
  ASSERT_TRUE(writeAll(fd, photo.data() + photo.size() - 10, 10));
  ASSERT_EQ(::close(fd), 0);
  library->synchronize();
  auto done = recordNamed(library->snapshot(), "slow.jpg");
  ASSERT_TRUE(done);
  EXPECT_EQ(done->pixelWidth, 64);
  EXPECT_EQ(done->fileSize, static_cast<int64_t>(photo.size()));
  delivered();
  Mentions slow = mentionsOf(*observer, before, "slow.jpg");
  EXPECT_EQ(slow.inserted, 1);
  EXPECT_EQ(slow.changed, 0);

  // A known photo rewritten in place keeps its last whole record until its
  // writer is done, then changes once, under the same identifier.
  auto kept = recordNamed(library->snapshot(), "kept.jpg");
  ASSERT_TRUE(kept);
  const int again = ::open(path("kept.jpg").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  ASSERT_GE(again, 0);
  ASSERT_TRUE(writeAll(again, photo.data(), header));
  library->synchronize();
  auto during = recordNamed(library->snapshot(), "kept.jpg");
  ASSERT_TRUE(during);
  EXPECT_EQ(during->pixelWidth, 20);
  ASSERT_TRUE(writeAll(again, photo.data() + header, photo.size() - header));
  ASSERT_EQ(::close(again), 0);
  library->synchronize();
  auto rewritten = recordNamed(library->snapshot(), "kept.jpg");
  ASSERT_TRUE(rewritten);
  EXPECT_EQ(rewritten->pixelWidth, 64);
  EXPECT_EQ(rewritten->localIdentifier, kept->localIdentifier);
  delivered();
  Mentions keptMentions = mentionsOf(*observer, before, "kept.jpg");
  EXPECT_EQ(keptMentions.changed, 1);
  EXPECT_EQ(keptMentions.removed, 0);
  library->unregisterChangeObserver(observer.get());
}

// A writer that keeps its file open after the last write still has it
// announced once no write has come for a while; a name that needs no writer
// (a hard link to a whole photo) or a time set on a file is no write at all.
TEST_F(PhotoLibraryTest, AFileLeftOpenIsAnnouncedOnceItsWritesStopAndNoWriterMeansNoWait) {
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  auto before = PHAsset::fetchAssetsWithOptions(nullptr);
  auto observer = std::make_shared<ChangeCollector>();
  library->registerChangeObserver(observer);
  Bytes photo = jpegBytes(folder_->path() + "/whole.jpg", 16, 8);
  const int fd = ::open(path("open.jpg").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(writeAll(fd, photo.data(), photo.size()));
  // Synchronized before the clock moves, so that each write is taken in at
  // the time it was made: the last one at 0.5 s.
  library->synchronize();
  advance(0.5);
  ASSERT_EQ(::pwrite(fd, photo.data(), 1, 0), 1);
  library->synchronize();
  // Written until 2 s after the last write are reached exactly; another
  // writer, begun 1 s later, settles 1 s later.
  int late = -1;
  for (double step : {0.0, 1.0, 1023.0 / 1024, 1.0 / 2048}) {
    advance(step);
    if (late < 0 && step == 1.0) {
      late = ::open(path("late.jpg").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      ASSERT_GE(late, 0);
      ASSERT_TRUE(writeAll(late, photo.data(), photo.size()));
    }
    library->synchronize();
    EXPECT_FALSE(recordNamed(library->snapshot(), "open.jpg")) << "after another " << step << " s";
  }
  EXPECT_EQ(observer->count(), 0u);
  advance(1.0 / 2048);
  // The watcher's own burst brings it in, with no synchronization asked.
  ASSERT_TRUE(observer->waitForChanges(1));
  EXPECT_TRUE(recordNamed(library->snapshot(), "open.jpg"));
  EXPECT_FALSE(recordNamed(library->snapshot(), "late.jpg"));
  EXPECT_EQ(mentionsOf(*observer, before, "open.jpg").inserted, 1);
  advance(1);
  ASSERT_TRUE(observer->waitForChanges(2));
  EXPECT_TRUE(recordNamed(library->snapshot(), "late.jpg"));
  // Settled, a writer left idle costs no more work: over the next one's
  // settling time the library reads the folder only for that one.
  const uint64_t settled = library->snapshot()->generation;
  const int next = ::open(path("next.jpg").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(next, 0);
  ASSERT_TRUE(writeAll(next, photo.data(), photo.size()));
  library->synchronize();
  advance(2);
  // Settled on the clock, whatever real time went by.
  library->synchronize();
  EXPECT_TRUE(recordNamed(library->snapshot(), "next.jpg"));
  ASSERT_TRUE(observer->waitForChanges(3));
  EXPECT_LE(library->snapshot()->generation, settled + 6);
  ASSERT_EQ(::close(late), 0);
  ASSERT_EQ(::close(next), 0);
  ASSERT_EQ(::close(fd), 0);

  ASSERT_EQ(::link((folder_->path() + "/whole.jpg").c_str(), path("linked.jpg").c_str()), 0);
  library->synchronize();
  auto linked = recordNamed(library->snapshot(), "linked.jpg");
  ASSERT_TRUE(linked);
  struct timespec later[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(linked->mtimeNs / 1000000000) + 100, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path("linked.jpg").c_str(), later, 0), 0);
  library->synchronize();
  auto touched = recordNamed(library->snapshot(), "linked.jpg");
  ASSERT_TRUE(touched);
  EXPECT_EQ(touched->mtimeNs, linked->mtimeNs + 100 * 1000000000LL - linked->mtimeNs % 1000000000);
  library->unregisterChangeObserver(observer.get());
}

// A writer that began while a scan read the folder (after the scan asked
// who was writing) may have left any file it touched half written: what
// the scan read of it is not taken, and the next scan reads it whole.
TEST_F(PhotoLibraryTest, AFileAWriterTouchedWhileTheScanReadItKeepsItsLastRecord) {
  ASSERT_TRUE(WriteFixtureImage(path("kept.jpg"), "public.jpeg", 20, 10));
  PHLibraryStore store(library_);
  auto first = recordNamed(store.scan(), "kept.jpg");
  ASSERT_TRUE(first);
  // Whole files, so that only the writer named during the scan holds them back.
  for (const char* name : {"kept.jpg", "new.jpg", "other.jpg"}) {
    ASSERT_TRUE(WriteFixtureImage(path(name), "public.jpeg", 64, 48));
  }
  int asked = 0;
  auto during = store.scan({}, [&] {
    ++asked;
    return std::set<std::string>{"kept.jpg", "new.jpg"};
  });
  EXPECT_EQ(asked, 1);
  ASSERT_TRUE(recordNamed(during, "kept.jpg"));
  EXPECT_EQ(recordNamed(during, "kept.jpg")->pixelWidth, 20);
  EXPECT_FALSE(recordNamed(during, "new.jpg"));
  ASSERT_TRUE(recordNamed(during, "other.jpg"));
  EXPECT_EQ(recordNamed(during, "other.jpg")->pixelWidth, 64);
  auto after = store.scan();
  ASSERT_TRUE(recordNamed(after, "kept.jpg"));
  EXPECT_EQ(recordNamed(after, "kept.jpg")->pixelWidth, 64);
  EXPECT_EQ(recordNamed(after, "kept.jpg")->localIdentifier, first->localIdentifier);
  EXPECT_TRUE(recordNamed(after, "new.jpg"));
}

// A catch-up names what changed since the one before, whichever thread took
// the events in; a writer holds one wake-up on the clock, which the watcher
// takes back when it stops or goes, and a stopped one sets no more.
TEST_F(PhotoLibraryTest, TheWatcherNamesWhatChangedAndTakesItsWakeUpBackWhenItGoes) {
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  auto watcher = std::make_unique<PHFolderWatcher>(library_, [] {});
  ASSERT_TRUE(watcher->isWatching());
  const uint8_t byte = 1;
  const int fd = ::open(path("Trips/a.jpg").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(writeAll(fd, &byte, 1));
  EXPECT_EQ(watcher->catchUp(), std::set<std::string>{"Trips/a.jpg"});
  EXPECT_EQ(watcher->catchUp(), std::set<std::string>{});
  EXPECT_EQ(watcher->filesBeingWritten(), std::set<std::string>{"Trips/a.jpg"});
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  // After a reading: what a writer still at work touched is held back;
  // what was changed and done with is held back and read again.
  ASSERT_TRUE(writeAll(fd, &byte, 1));
  auto after = watcher->catchUpAfterReading();
  EXPECT_EQ(after.holdBack, std::set<std::string>{"Trips/a.jpg"});
  EXPECT_FALSE(after.readAgain);
  const int done = ::open(path("b.jpg").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(done, 0);
  ASSERT_TRUE(writeAll(done, &byte, 1));
  ASSERT_EQ(::close(done), 0);
  after = watcher->catchUpAfterReading();
  EXPECT_EQ(after.holdBack, (std::set<std::string>{"Trips/a.jpg", "b.jpg"}));
  EXPECT_TRUE(after.readAgain);
  after = watcher->catchUpAfterReading();
  EXPECT_EQ(after.holdBack, std::set<std::string>{"Trips/a.jpg"});
  EXPECT_FALSE(after.readAgain);
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  watcher->stop();
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  ASSERT_TRUE(writeAll(fd, &byte, 1));
  EXPECT_EQ(watcher->catchUp(), std::set<std::string>{"Trips/a.jpg"});
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  watcher.reset();
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  ASSERT_EQ(::close(fd), 0);

  // The shared library's watcher stops the same way.
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  const int late = ::open(path("c.jpg").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(late, 0);
  ASSERT_TRUE(writeAll(late, &byte, 1));
  library->synchronize();
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  library->stopWatching();
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  ASSERT_TRUE(writeAll(late, &byte, 1));
  library->synchronize();
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  ASSERT_EQ(::close(late), 0);
}

}  // namespace file_writers_test
