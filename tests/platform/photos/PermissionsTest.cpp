#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <map>

#include "platform/foundation/NSFileManager.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHLibraryStore.h"
#include "support/photos/PhotoLibraryFixture.h"

namespace permissions_test {

namespace {

// Permission bits bind no process that may pass them (root does): there the
// test runs again, in a process of its own, as "nobody", with an
// application container of its own below `scratch`. True when the caller is
// to run the test body itself.
bool RunsUnprivileged(const std::string& scratch) {
  if (geteuid() != 0) return true;
  const uid_t nobody = 65534;
  const std::string home = scratch + "/home";
  if (chmod(scratch.c_str(), 0755) != 0 || mkdir(home.c_str(), 0700) != 0 || chown(home.c_str(), nobody, nobody) != 0) {
    ADD_FAILURE() << "no container for the unprivileged run";
    return false;
  }
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("QX_APP_HOME=", 0) != 0) environment.emplace_back(*e);
  }
  environment.push_back("QX_APP_HOME=" + home);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  char self[PATH_MAX] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    ADD_FAILURE() << "no path to this program";
    return false;
  }
  auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::vector<std::string> arguments = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                        "--inh-caps=-all", self,
                                        std::string("--gtest_filter=") + info->test_suite_name() + "." +
                                            info->name()};
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
    ADD_FAILURE() << "setpriv cannot be started";
    return false;
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged run failed";
  return false;
}

PHAssetRecordPtr recordNamed(const PHLibrarySnapshotPtr& snapshot, const std::string& name) {
  for (auto& record : snapshot->assets) {
    if (record->relativePath == name) return record;
  }
  return nullptr;
}

std::map<std::string, std::string> identifiersByPath(const PHLibrarySnapshotPtr& snapshot) {
  std::map<std::string, std::string> out;
  for (auto& record : snapshot->assets) out[record->relativePath] = record->localIdentifier;
  return out;
}

}  // namespace

TEST_F(PhotoLibraryTest, AFolderThatBecomesReadableLaterIsWatched) {
  if (!RunsUnprivileged(folder_->path())) return;
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Locked"), true);
  ASSERT_TRUE(WriteFixtureImage(path("Locked/inside.jpg"), "public.jpeg", 8, 8));
  ASSERT_EQ(chmod(path("Locked").c_str(), 0), 0);
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  EXPECT_FALSE(recordNamed(library->snapshot(), "Locked/inside.jpg"));
  auto observer = std::make_shared<ChangeCollector>();
  library->registerChangeObserver(observer);

  ASSERT_EQ(chmod(path("Locked").c_str(), 0755), 0);
  ASSERT_TRUE(observer->waitForChanges(1));
  EXPECT_TRUE(recordNamed(library->snapshot(), "Locked/inside.jpg"));
  // What arrives in it from now on is seen like anywhere else.
  const size_t seen = observer->count();
  const std::string outside = folder_->path() + "/later.jpg";
  ASSERT_TRUE(WriteFixtureImage(outside, "public.jpeg", 8, 8));
  ASSERT_EQ(std::rename(outside.c_str(), path("Locked/later.jpg").c_str()), 0);
  ASSERT_TRUE(observer->waitForChanges(seen + 1));
  EXPECT_TRUE(recordNamed(library->snapshot(), "Locked/later.jpg"));
  library->unregisterChangeObserver(observer.get());
}

TEST_F(PhotoLibraryTest, ALibraryFolderUnreadableAtStartIsWatchedOnceReadable) {
  if (!RunsUnprivileged(folder_->path())) return;
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  ASSERT_TRUE(WriteFixtureImage(path("Trips/inside.jpg"), "public.jpeg", 8, 8));
  ASSERT_EQ(chmod(library_.c_str(), 0), 0);
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  EXPECT_TRUE(library->snapshot()->assets.empty());
  auto observer = std::make_shared<ChangeCollector>();
  library->registerChangeObserver(observer);

  ASSERT_EQ(chmod(library_.c_str(), 0755), 0);
  ASSERT_TRUE(observer->waitForChanges(1));
  const auto found = recordNamed(library->snapshot(), "Trips/inside.jpg");
  ASSERT_TRUE(found);
  // From now on the folder and its subfolders are watched like any other.
  const size_t seen = observer->count();
  const std::string outside = folder_->path() + "/later.jpg";
  ASSERT_TRUE(WriteFixtureImage(outside, "public.jpeg", 8, 8));
  ASSERT_EQ(std::rename(outside.c_str(), path("Trips/later.jpg").c_str()), 0);
  ASSERT_TRUE(observer->waitForChanges(seen + 1));
  EXPECT_TRUE(recordNamed(library->snapshot(), "Trips/later.jpg"));
  library->unregisterChangeObserver(observer.get());

  // The identifiers given while the folder could not hold the index are the
  // ones the next start finds.
  const auto given = identifiersByPath(library->snapshot());
  library.reset();
  PHLibraryStore restarted(library_);
  EXPECT_EQ(restarted.indexPath(), library_ + "/" + PHLibraryStore::indexFileName());
  const auto again = identifiersByPath(restarted.scan());
  EXPECT_EQ(again, given);
  EXPECT_EQ(again.at("Trips/inside.jpg"), found->localIdentifier);
}

TEST_F(PhotoLibraryTest, AFolderThatCannotBeWrittenKeepsItsIdentifiersAcrossStarts) {
  if (!RunsUnprivileged(folder_->path())) return;
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  // Indexed while writable, then made read-only: the identifiers hold.
  std::map<std::string, std::string> before;
  {
    PHLibraryStore writable(library_);
    before = identifiersByPath(writable.scan());
  }
  ASSERT_EQ(before.size(), 1u);
  ASSERT_TRUE(WriteFixtureImage(path("b.jpg"), "public.jpeg", 8, 8));
  ASSERT_EQ(chmod(library_.c_str(), 0555), 0);
  std::map<std::string, std::string> first;
  {
    PHLibraryStore store(library_);
    EXPECT_EQ(store.indexPath(), PHLibraryStore::containerIndexPath(library_));
    first = identifiersByPath(store.scan());
  }
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first["a.jpg"], before["a.jpg"]);
  PHLibraryStore again(library_);
  EXPECT_EQ(identifiersByPath(again.scan()), first);
  // Another read-only folder has an index of its own.
  EXPECT_NE(PHLibraryStore::containerIndexPath(library_), PHLibraryStore::containerIndexPath(library_ + "2"));
  ASSERT_EQ(chmod(library_.c_str(), 0755), 0);
}

}  // namespace permissions_test
