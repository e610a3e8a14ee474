#include "GalleryInUse.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "image_loading/cache/ILImageCache.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIScreen.h"
#include "support/ScriptedLocations.h"
#include "support/ui/SnapshotTesting.h"

void GalleryInUseTest::SetUp() {
  PhotoLibraryTest::SetUp();
  const char* data = std::getenv("QX_TEST_DATA");
  ASSERT_NE(data, nullptr);
  ScriptedLocations::installed().setMainBundlePath(std::string(data) +
                                                   "/../../resources/Runner.app");
  // What the host does at start-up.
  registerAKPhotoGalleryClasses();
  screenSize = UIScreen::mainScreen()->bounds().size;
  window = std::make_shared<UIWindow>(CGRectMake(0, 0, screenSize.width, screenSize.height));
  window->makeKeyAndVisible();
  root = std::make_shared<UIViewController>();
  window->setRootViewController(root);
  hand = std::make_unique<UITouchDriver>(window);
  server = std::make_unique<LoopbackHttpServer>();
}

void GalleryInUseTest::TearDown() {
  // A gallery still on screen keeps itself alive through its transitions.
  if (gallery && root->presentedViewController() == gallery) gallery->dismissGallery();
  advance(4);
  gallery.reset();
  hand.reset();
  root.reset();
  window.reset();
  // The GIF manager's display link stops at its first tick without views.
  endScreens(0.1);
  // Stopping the server fails what is still downloading; those answers
  // are drained below, while the bundle that names their errors is there.
  server.reset();
  // Nothing of this test's stays in the cache for later runs to find.
  for (const auto& url : served_) forget(url);
  PhotoLibraryTest::TearDown();
  ScriptedLocations::installed().setMainBundlePath("");
}

void GalleryInUseTest::present(std::vector<AKPhotoGalleryItemPtr> items, int64_t start,
                               AKPhotoGallerySingleTapMode mode) {
  if (gallery && root->presentedViewController() == gallery) {
    gallery->dismissGallery();
    advance(1.0);
  }
  gallery = std::make_shared<AKPhotoGallery>();
  gallery->setItems(std::move(items));
  gallery->setPresentationIndex(start);
  gallery->setSingleTapMode(mode);
  presentWithPhotoGallery(root, gallery);
  advance(1.0);
}

NSURLPtr GalleryInUseTest::serve(const std::string& path, const NSDataPtr& body,
                                 const std::string& type, const std::string& bodyGate) {
  ScriptedResponse response(200, {{"Content-Type", type}},
                            std::string(body->vector().begin(), body->vector().end()));
  response.bodyGate = bodyGate;
  server->script(path, response);
  const std::string url = server->url(path);
  // The shared image cache keeps its pictures in the app's folder, which
  // outlives the test and the process: an earlier run whose server had this
  // port left its picture for this address there, and it must not stand in
  // for the one served now.
  forget(url);
  served_.push_back(url);
  return NSURL::URLWithString(url);
}

void GalleryInUseTest::forget(const std::string& key) {
  auto cache = ILImageCache::sharedImageCache();
  cache->removeImageFromMemoryForKey(key);
  cache->removeImageFromDiskForKey(key);
}

NSURLPtr GalleryInUseTest::writeFile(const std::string& name, const NSDataPtr& bytes) {
  return NSURL::fileURLWithPath(folder_->writeFile(name, bytes->vector()));
}

std::shared_ptr<AKPhotoBasePreviewVC> GalleryInUseTest::page() const {
  return gallery->currentContentVC();
}

std::shared_ptr<UIImageView> GalleryInUseTest::pictureView() const {
  return std::dynamic_pointer_cast<UIImageView>(page()->contentView());
}

bool GalleryInUseTest::settleUntil(const std::function<bool()>& done) {
  return RunMainLoopUntil([&] {
    if (done()) return true;
    advance(1.0 / 60);
    return false;
  });
}

bool GalleryInUseTest::waitForPicture() {
  return settleUntil([&] {
    auto view = pictureView();
    return view && view->image() && view->contentMode() != UIViewContentModeCenter;
  });
}

bool GalleryInUseTest::waitForOffer(const std::shared_ptr<UIButton>& button,
                                    const std::string& title) {
  return settleUntil([&] {
    const CGSize size = button->frame().size;
    return !button->isHidden() && button->isEnabled() && size.width > 0 && size.height > 0 &&
           button->titleForState(UIControlStateNormal).value_or("") == title;
  });
}

void GalleryInUseTest::tap(const std::shared_ptr<UIView>& view) {
  const CGRect b = view->bounds();
  hand->tap(view->convertPointToView(CGPointMake(CGRectGetMidX(b), CGRectGetMidY(b)), nullptr));
  drainMainLoop();
}

void GalleryInUseTest::doubleTap(CGPoint point) { hand->tap(point, 2); }

std::shared_ptr<UIAlertController> GalleryInUseTest::longPressSheet() {
  hand->longPress({screenSize.width / 2, screenSize.height / 2}, 1.0);
  advance(0.5);
  return std::dynamic_pointer_cast<UIAlertController>(page()->presentedViewController());
}

void GalleryInUseTest::longPressAndChoose(const std::string& title) {
  auto sheet = longPressSheet();
  ASSERT_TRUE(sheet) << "no sheet for " << title;
  for (const auto& action : sheet->actions()) {
    if (action->title() != title) continue;
    auto button = sheet->viewForAction(action);
    ASSERT_TRUE(button);
    tap(button);
    advance(0.5);
    return;
  }
  FAIL() << "the sheet has no entry " << title;
}

UIImagePtr GalleryInUseTest::screen() const { return RenderView(*window, 1); }

Pixel GalleryInUseTest::pixelOf(const UIImagePtr& screen, double x, double y) {
  return PixelAt(screen->CGImage(), static_cast<size_t>(x), static_cast<size_t>(y));
}

std::string GalleryInUseTest::toast() const {
  for (const auto& view : page()->view()->subviews()) {
    if (!std::dynamic_pointer_cast<UIToolbar>(view)) continue;
    for (const auto& inner : view->subviews()) {
      if (auto label = std::dynamic_pointer_cast<UILabel>(inner)) return label->text();
    }
  }
  return "";
}

std::vector<std::string> GalleryInUseTest::libraryFiles() const {
  std::vector<std::string> files;
  std::vector<std::string> folders{library_};
  while (!folders.empty()) {
    const std::string folder = folders.back();
    folders.pop_back();
    DIR* dir = opendir(folder.c_str());
    if (!dir) continue;
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      const std::string path = folder + "/" + name;
      struct stat info {};
      if (stat(path.c_str(), &info) != 0) continue;
      if (S_ISDIR(info.st_mode)) folders.push_back(path);
      if (S_ISREG(info.st_mode)) files.push_back(path);
    }
    closedir(dir);
  }
  return files;
}

Bytes GalleryInUseTest::bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string GalleryInUseTest::text(const char* key) {
  return AKPhotoGalleryResource::localizedStringWithKey(key);
}
