#include "platform/foundation/BuildFlags.h"
#include "platform/photos/PHLibraryStore.h"
#include "support/photos/PhotoLibraryFixture.h"

namespace library_sequence_test {

namespace {

// Reads the library again from its own change callback, which runs on the
// library's queue, and says when that read is over.
class Resynchronizing : public PHPhotoLibraryChangeObserver {
 public:
  explicit Resynchronizing(std::weak_ptr<PHPhotoLibrary> library) : library_(std::move(library)) {}
  void photoLibraryDidChange(const PHChangePtr&) override {
    if (auto library = library_.lock()) library->synchronize();
    dispatch_semaphore_signal(done);
  }
  dispatch_semaphore_t done = dispatch_semaphore_create(0);

 private:
  std::weak_ptr<PHPhotoLibrary> library_;
};

}  // namespace

// Scans run on the library's queue whoever asks: from the main thread the
// caller waits for it, and from the queue itself (an observer) it runs in
// place instead of waiting for itself.
TEST_F(PhotoLibraryTest, SynchronizeRunsOnTheLibraryQueueFromAnyCaller) {
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  auto observer = std::make_shared<Resynchronizing>(library);
  library->registerChangeObserver(observer);
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  library->synchronize();
  ASSERT_EQ(dispatch_semaphore_wait(observer->done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  EXPECT_EQ(PHAsset::fetchAssetsWithOptions(nullptr)->count(), 1);
  library->unregisterChangeObserver(observer.get());
}

#if QX_CHECKED
using LibraryStoreDeathTest = PhotoLibraryTest;

TEST_F(LibraryStoreDeathTest, ScansOnTwoSequencesStop) {
  EXPECT_DEATH(
      {
        PHLibraryStore store(library_);
        store.scan();
        dispatch_sync(dispatch_queue_create("another"), [&] { store.scan(); });
      },
      "scan was called off the sequence");
}
#endif

}  // namespace library_sequence_test
