#include <gtest/gtest.h>

#include "AKPhotoGallery/internal/AKPhotoImageDownloader.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "platform/foundation/SingletonResets.h"
#include "support/TestEnvironment.h"

namespace shared_downloaders_test {

using SharedDownloadersTest = PlatformTest;

// What one test does to the shared downloaders does not reach the next: the
// reset between tests makes them again on first use.
TEST_F(SharedDownloadersTest, TheResetBetweenTestsMakesBothDownloadersAgain) {
  auto web = AKPhotoImageWebDownloader::shared();
  auto asset = AKPhotoImageAssetDownloader::shared();
  EXPECT_EQ(AKPhotoImageWebDownloader::shared(), web);
  EXPECT_EQ(AKPhotoImageAssetDownloader::shared(), asset);
  web->downloader()->setSuspended(true);

  SingletonResets::runAll();
  EXPECT_NE(AKPhotoImageWebDownloader::shared(), web);
  EXPECT_FALSE(AKPhotoImageWebDownloader::shared()->downloader()->isSuspended());
  EXPECT_NE(AKPhotoImageAssetDownloader::shared(), asset);
}

}  // namespace shared_downloaders_test
