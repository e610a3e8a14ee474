// A gallery whose page classes the process never registered: it is not
// shown, nothing stops, and the failed look-up names the class, for the
// running host to answer the touch that asked for it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "GalleryTestSupport.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIWindow.h"

namespace gallery_without_pages_test {

namespace {

using GalleryWithoutPagesTest = GalleryTest;

// 0 when the gallery stayed off screen and the look-up was counted.
int presentWithoutPageClasses() {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  window->makeKeyAndVisible();
  auto root = std::make_shared<UIViewController>();
  window->setRootViewController(root);
  auto gallery = std::make_shared<AKPhotoGallery>();
  gallery->setItems(std::vector<AKPhotoGalleryItemPtr>{AKPhotoGalleryItem::itemWithImage(
      UIImage::imageWithCGImage(TwoBandBitmap(40, 30), 1, UIImageOrientationUp))});
  const uint64_t before = NSClassRegistry::lookupFailures().count;
  presentWithPhotoGallery(root, gallery);
  PlatformClock::advance(2);
  const auto failures = NSClassRegistry::lookupFailures();
  const bool shown = root->presentedViewController() != nullptr;
  return !shown && failures.count == before + 1 &&
                 failures.lastName == "AKPhotoGallery.AKPhotoBasePreviewVC"
             ? 0
             : 1;
}

// In a process of its own: the other tests of this program register the
// classes, and a registration cannot be taken back.
TEST_F(GalleryWithoutPagesTest, IsNotShownAndNamesTheMissingClass) {
  EXPECT_EXIT(std::exit(presentWithoutPageClasses()), ::testing::ExitedWithCode(0),
              "No class registered under AKPhotoGallery.AKPhotoBasePreviewVC");
}

}  // namespace

}  // namespace gallery_without_pages_test
