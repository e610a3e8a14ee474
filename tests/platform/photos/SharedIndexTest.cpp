#include <sys/stat.h>

#include <cstdio>
#include <map>

#include "platform/foundation/NSFileManager.h"
#include "platform/photos/PHAssetCreationRequest.h"
#include "platform/photos/PHLibraryStore.h"
#include "support/photos/PhotoLibraryFixture.h"

namespace shared_index_test {

namespace {

std::map<std::string, std::string> identifiersByPath(const PHLibrarySnapshotPtr& snapshot) {
  std::map<std::string, std::string> out;
  for (auto& record : snapshot->assets) out[record->relativePath] = record->localIdentifier;
  return out;
}

std::map<std::string, std::string> albumIdentifiersByPath(const PHLibrarySnapshotPtr& snapshot) {
  std::map<std::string, std::string> out;
  for (auto& album : snapshot->albums) out[album.relativePath] = album.localIdentifier;
  return out;
}

// Writes one photo through `store` as a change request would, under the
// name `name`; answers its placeholder's identifier.
std::string CreateThrough(PHLibraryStore& store, const NSDataPtr& jpeg, const std::string& name) {
  PHChangeTransaction transaction;
  auto request = PHAssetCreationRequest::creationRequestForAsset();
  request->addResourceWithType(PHAssetResourceTypePhoto, jpeg, {name, std::nullopt, false});
  EXPECT_FALSE(PHApplyChangeTransaction(transaction, store));
  return request->placeholderForCreatedAsset()->localIdentifier();
}

}  // namespace

// Two stores over one folder stand for two processes sharing it: each has
// its own connection to the index and read the index at open, before any
// of the files existed.
TEST_F(PhotoLibraryTest, TwoLibrariesOverOneFolderGiveEachFileOneIdentifier) {
  PHLibraryStore first(library_), second(library_);
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(WriteFixtureImage(path((i % 2 ? "Trips/p" : "p") + std::to_string(i) + ".jpg"), "public.jpeg", 8, 8));
  }
  auto seenFirst = identifiersByPath(first.scan());
  auto seenSecond = identifiersByPath(second.scan());
  ASSERT_EQ(seenFirst.size(), 6u);
  EXPECT_EQ(seenSecond, seenFirst);
  EXPECT_EQ(albumIdentifiersByPath(second.snapshot()), albumIdentifiersByPath(first.snapshot()));

  // Files the second one finds first keep the names it gave them.
  for (int i = 6; i < 9; ++i) ASSERT_TRUE(WriteFixtureImage(path("p" + std::to_string(i) + ".jpg"), "public.jpeg", 8, 8));
  seenSecond = identifiersByPath(second.scan());
  seenFirst = identifiersByPath(first.scan());
  ASSERT_EQ(seenSecond.size(), 9u);
  EXPECT_EQ(seenFirst, seenSecond);

  // A removal made through one is seen by the other, and a file moved while
  // only the other looked keeps its identifier.
  ASSERT_EQ(std::remove(path("p0.jpg").c_str()), 0);
  ASSERT_EQ(std::rename(path("p2.jpg").c_str(), path("Trips/moved.jpg").c_str()), 0);
  first.scan();
  auto afterMove = identifiersByPath(second.scan());
  EXPECT_EQ(afterMove.count("p0.jpg"), 0u);
  EXPECT_EQ(afterMove["Trips/moved.jpg"], seenFirst["p2.jpg"]);
  EXPECT_EQ(identifiersByPath(first.snapshot()), afterMove);

  // What both agreed on is what the next start finds.
  PHLibraryStore restarted(library_);
  EXPECT_EQ(identifiersByPath(restarted.scan()), afterMove);
}

TEST_F(PhotoLibraryTest, TwoLibrariesScanningAtOnceAgreeOnEveryIdentifier) {
  PHLibraryStore first(library_), second(library_);
  auto firstQueue = dispatch_queue_create("first"), secondQueue = dispatch_queue_create("second");
  size_t files = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 12; ++i, ++files) {
      ASSERT_TRUE(WriteFixtureImage(path("r" + std::to_string(files) + ".png"), "public.png", 4, 4));
    }
    // Both start together, held by one gate.
    auto gate = dispatch_semaphore_create(0);
    auto done = dispatch_group_create();
    PHLibrarySnapshotPtr a, b;
    dispatch_group_async(done, firstQueue, [&, gate] {
      DispatchBlockingScope blocking;
      dispatch_semaphore_wait(gate, dispatch_time_after(kTestTimeoutSeconds));
      a = first.scan();
    });
    dispatch_group_async(done, secondQueue, [&, gate] {
      DispatchBlockingScope blocking;
      dispatch_semaphore_wait(gate, dispatch_time_after(kTestTimeoutSeconds));
      b = second.scan();
    });
    dispatch_semaphore_signal(gate);
    dispatch_semaphore_signal(gate);
    ASSERT_EQ(dispatch_group_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
    // The one that reconciled first may not have seen the other's rows yet,
    // but never names a file differently; a second look agrees entirely.
    auto early = identifiersByPath(a), late = identifiersByPath(b);
    ASSERT_EQ(early.size(), files);
    EXPECT_EQ(early, late) << "round " << round;
    dispatch_sync(firstQueue, [&] { a = first.scan(); });
    dispatch_sync(secondQueue, [&] { b = second.scan(); });
    EXPECT_EQ(identifiersByPath(a), identifiersByPath(b));
  }
  PHLibraryStore restarted(library_);
  dispatch_sync(firstQueue, [&] { EXPECT_EQ(identifiersByPath(restarted.scan()), identifiersByPath(first.snapshot())); });
}

// The caller of a change request holds its placeholder's identifier before
// any scan: whichever process indexes the file first must give it that one.
TEST_F(PhotoLibraryTest, APlaceholderNamesItsFileWhoeverIndexesItFirst) {
  const std::string source = folder_->path() + "/source.jpg";
  ASSERT_TRUE(WriteFixtureImage(source, "public.jpeg", 8, 8));
  const auto jpeg = NSData::dataWithContentsOfFile(source);
  PHLibraryStore writer(library_), other(library_);
  writer.scan();
  other.scan();

  const std::string placeholder = CreateThrough(writer, jpeg, "new.jpg");
  EXPECT_EQ(identifiersByPath(other.scan())["new.jpg"], placeholder);
  EXPECT_EQ(identifiersByPath(writer.scan())["new.jpg"], placeholder);
  PHLibraryStore restarted(library_);
  EXPECT_EQ(identifiersByPath(restarted.scan())["new.jpg"], placeholder);

  // A reservation left behind for a file already indexed as it is (its
  // writer went away) is dropped: rewriting the file later keeps its name.
  ASSERT_TRUE(other.reserveIdentifier("new.jpg", "left-behind"));
  writer.scan();
  ASSERT_TRUE(WriteFixtureImage(path("new.jpg"), "public.jpeg", 12, 12));
  EXPECT_EQ(identifiersByPath(other.scan())["new.jpg"], placeholder);

  // A path another process has reserved and not written yet is not free.
  ASSERT_TRUE(other.reserveIdentifier("taken.jpg", "reserved-elsewhere"));
  const std::string second = CreateThrough(writer, jpeg, "taken.jpg");
  ASSERT_TRUE(WriteFixtureImage(path("taken.jpg"), "public.jpeg", 8, 8));
  auto both = identifiersByPath(writer.scan());
  EXPECT_EQ(both["taken.jpg"], "reserved-elsewhere");
  EXPECT_EQ(both["taken 2.jpg"], second);

  // A change that fails part way takes back its files and its names.
  {
    PHChangeTransaction transaction;
    PHAssetCreationRequest::creationRequestForAsset()->addResourceWithType(
        PHAssetResourceTypePhoto, jpeg, {std::string("kept.jpg"), std::nullopt, false});
    // A name too long for the file system fails the write.
    PHAssetCreationRequest::creationRequestForAsset()->addResourceWithType(
        PHAssetResourceTypePhoto, jpeg, {std::string(300, 'n') + ".jpg", std::nullopt, false});
    EXPECT_TRUE(PHApplyChangeTransaction(transaction, writer));
  }
  struct stat st;
  EXPECT_NE(lstat(path("kept.jpg").c_str(), &st), 0);
  EXPECT_TRUE(other.reserveIdentifier("kept.jpg", "free-again"));
  EXPECT_TRUE(other.reserveIdentifier(std::string(300, 'n') + ".jpg", "free-again"));

  // A file removed behind the index's back: the new one written at its path
  // is the placeholder's, not the old file's.
  ASSERT_TRUE(WriteFixtureImage(path("again.jpg"), "public.jpeg", 16, 16));
  const std::string old = identifiersByPath(other.scan())["again.jpg"];
  ASSERT_FALSE(old.empty());
  ASSERT_EQ(std::remove(path("again.jpg").c_str()), 0);
  const std::string replacement = CreateThrough(writer, jpeg, "again.jpg");
  auto afterReplace = other.scan();
  EXPECT_EQ(identifiersByPath(afterReplace)["again.jpg"], replacement);
  EXPECT_FALSE(afterReplace->assetWithIdentifier(old));
  EXPECT_EQ(identifiersByPath(writer.scan()), identifiersByPath(afterReplace));
}

}  // namespace shared_index_test
