#pragma once

// A gallery presented over a client screen as a person meets it: a window
// of the main screen's size, a photo library of its own, a loopback web
// server for remote pictures, and a hand for touches. Helpers read what is
// on the screen (rendered pixels, the toast, the sheet) and what reached the
// library, never the controllers' own state.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "GalleryTestSupport.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIWindow.h"
#include "support/network/LoopbackHttpServer.h"
#include "support/photos/PhotoLibraryFixture.h"
#include "support/ui/UITouchDriver.h"

class UIAlertController;
class UIButton;

class GalleryInUseTest : public PhotoLibraryTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Presents a new gallery of the items from the client screen, starting at
  // `start`, and lets the presentation and the bars' delayed entrance end.
  void present(std::vector<AKPhotoGalleryItemPtr> items, int64_t start = 0,
               AKPhotoGallerySingleTapMode mode = AKPhotoGallerySingleTapMode::toggleControlView);
  // Dismisses the gallery on screen by its cancel button.
  void dismissByCancel();

  // What is served: a path on the loopback server and its URL.
  NSURLPtr serve(const std::string& path, const NSDataPtr& body, const std::string& type,
                 const std::string& bodyGate = "");
  // Drops the shared image cache's picture under this key (an address, an
  // asset's identifier), in memory and on disk.
  static void forget(const std::string& key);
  // A file written into the test's scratch folder (outside the library).
  NSURLPtr writeFile(const std::string& name, const NSDataPtr& bytes);

  // The page on screen and the image view it shows its picture in.
  std::shared_ptr<AKPhotoBasePreviewVC> page() const;
  std::shared_ptr<UIImageView> pictureView() const;
  // Lets time pass a frame at a time, running what reaches the main thread,
  // until `done` holds (bounded in real time).
  bool settleUntil(const std::function<bool()>& done);
  // Waits (bounded) until the page shows a picture other than the failure one.
  bool waitForPicture();
  // Waits (bounded) until the button offers this title to a person: shown,
  // enabled and laid out on its page. A new page's button is not hidden from
  // the start, but has no title and no size until the page has decided.
  bool waitForOffer(const std::shared_ptr<UIButton>& button, const std::string& title);

  // Touches.
  void tap(const std::shared_ptr<UIView>& view);
  void doubleTap(CGPoint point);
  // Long-presses the middle of the screen; the sheet it brought, if any.
  std::shared_ptr<UIAlertController> longPressSheet();
  // Long-presses and taps the sheet's entry with this title.
  void longPressAndChoose(const std::string& title);

  // The window as it shows now, and one of its pixels (points, top left).
  UIImagePtr screen() const;
  static Pixel pixelOf(const UIImagePtr& screen, double x, double y);
  // The toast's text on the page, "" when none shows.
  std::string toast() const;
  // The regular files of the photo library folder, and their bytes.
  std::vector<std::string> libraryFiles() const;
  static Bytes bytesOf(const std::string& path);
  static std::string text(const char* key);

  CGSize screenSize{};
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root;
  std::shared_ptr<AKPhotoGallery> gallery;
  std::unique_ptr<LoopbackHttpServer> server;
  std::unique_ptr<UITouchDriver> hand;

 private:
  std::vector<std::string> served_;
};
