#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoQRCodeResultVC.h"
#include "AKPhotoGallery/internal/AKPhotoWebVC.h"
#include "GalleryTestSupport.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITextView.h"
#include "platform/uikit/UIWindow.h"
#include "platform/webkit/WKPageLoader.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace qr_code_screens_test {

namespace {

const std::string kCodeURL = "https://example.com/gallery?id=42";

UIImagePtr CodePicture(const std::string& name) {
  return UIImage::imageWithContentsOfFile(std::string(std::getenv("QX_TEST_DATA")) + "/coreimage/" + name);
}

// Pages by path, answered at once: an HTML page, a failure, a stall, or the
// content process ending.
class ScriptedPages : public WKPageLoader {
 public:
  class Load : public WKPageLoad {
   public:
    void cancel() override {}
  };
  std::shared_ptr<WKPageLoad> load(const NSURLRequestPtr& request,
                                   std::shared_ptr<WKPageLoadClient> client) override {
    requests.push_back(request);
    const auto& url = request->URL();
    const std::string path = url->path();
    if (path == "/down") {
      client->didFinish(NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorCannotConnectToHost));
    } else if (path == "/crash") {
      client->webContentProcessDidTerminate();
    } else if (auto page = pages.find(path); page != pages.end()) {
      client->didReceiveResponse(std::make_shared<NSHTTPURLResponse>(
          url, 200, NSHTTPHeaderFields{{"Content-Type", "text/html; charset=utf-8"}}));
      client->didReceiveData(reinterpret_cast<const uint8_t*>(page->second.data()), page->second.size());
      client->didFinish(nullptr);
    }
    return std::make_shared<Load>();
  }
  std::map<std::string, std::string> pages = {
      {"/gallery", "<html><head><title>Gallery page</title></head><body>x</body></html>"},
      {"/untitled", "<html><head><title></title></head><body>x</body></html>"},
  };
  std::vector<NSURLRequestPtr> requests;
};

}  // namespace

class QRCodeScreensTest : public GalleryTest {
 protected:
  void SetUp() override {
    GalleryTest::SetUp();
    registerAKPhotoGalleryClasses();
    WKPageLoader::setDefaultLoader(pages);
    CGSize screen = UIScreen::mainScreen()->bounds().size;
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, screen.width, screen.height));
    window->makeKeyAndVisible();
  }
  void TearDown() override {
    if (gallery) {
      for (const auto& controller : gallery->viewControllers()) {
        if (auto web = std::dynamic_pointer_cast<AKPhotoWebVC>(controller)) {
          web->spinner()->stopAnimating();
        }
      }
    }
    advance(4);
    WKPageLoader::setDefaultLoader(nullptr);
    GalleryTest::TearDown();
  }
  std::shared_ptr<AKPhotoImagePreviewVC> open(std::vector<AKPhotoGalleryItemPtr> items) {
    gallery = std::make_shared<AKPhotoGallery>();
    gallery->setItems(std::move(items));
    window->setRootViewController(gallery);
    gallery->view()->setFrame(window->bounds());
    gallery->viewWillAppear(false);
    gallery->contentVC()->viewWillAppear(false);
    advance(1.0);
    return std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(gallery->currentContentVC());
  }
  // Long-presses the page and answers the sheet with its first entry.
  std::vector<std::string> longPressAndPickFirst(const std::shared_ptr<AKPhotoImagePreviewVC>& page,
                                                 const std::string& snapshot = "") {
    UITouchDriver hand(window);
    hand.longPress({200, 300}, 1.0);
    advance(0.5);
    auto sheet = std::dynamic_pointer_cast<UIAlertController>(page->presentedViewController());
    std::vector<std::string> titles;
    if (!sheet) return titles;
    for (const auto& action : sheet->actions()) titles.push_back(action->title());
    if (!snapshot.empty()) {
      auto picture = RenderView(*window, 1);
      SaveSnapshot(picture, snapshot);
      EXPECT_TRUE(MatchesGolden(picture, "AKPhotoGallery/" + snapshot + ".png", 8, 400));
    }
    sheet->tapAction(sheet->actions().front());
    advance(1.0);
    return titles;
  }
  std::shared_ptr<UIViewController> top() { return gallery->viewControllers().back(); }
  static std::string text(const char* key) { return AKPhotoGalleryResource::localizedStringWithKey(key); }

  std::shared_ptr<ScriptedPages> pages = std::make_shared<ScriptedPages>();
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<AKPhotoGallery> gallery;
};

TEST_F(QRCodeScreensTest, AWebAddressCodeOpensTheWebScreenWithThePageTitle) {
  auto page = open({AKPhotoGalleryItem::itemWithImage(CodePicture("qr-url.png"))});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->detectStringFromImage(), kCodeURL);
  auto titles = longPressAndPickFirst(page, "gallery-action-sheet");
  EXPECT_EQ(titles, (std::vector<std::string>{text("preview.image.extractQRCode.title"),
                                              text("preview.image.longPress.saveImage.title"),
                                              text("preview.image.longPress.cancel")}));
  auto web = std::dynamic_pointer_cast<AKPhotoWebVC>(top());
  ASSERT_TRUE(web);
  EXPECT_EQ(web->urlString(), kCodeURL);
  EXPECT_FALSE(gallery->isNavigationBarHidden());
  drainMainLoop();
  ASSERT_EQ(pages->requests.size(), 1u);
  EXPECT_EQ(pages->requests[0]->URL()->absoluteString(), kCodeURL);
  EXPECT_EQ(pages->requests[0]->timeoutInterval(), 20);
  EXPECT_FALSE(web->spinner()->isAnimating());
  EXPECT_EQ(web->title(), "Gallery page");
  EXPECT_TRUE(web->hasFinished());
  EXPECT_TRUE(web->errorLabel()->isHidden());
  const auto& scripts = web->webView()->configuration()->userContentController()->userScripts();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0]->source(), AKPhotoWebVC::kViewportScript);
  EXPECT_EQ(scripts[0]->injectionTime(), WKUserScriptInjectionTimeAtDocumentEnd);
  EXPECT_TRUE(scripts[0]->isForMainFrameOnly());
  EXPECT_EQ(web->webView()->frame(), web->view()->bounds());

}

TEST_F(QRCodeScreensTest, TextAndMailCodesOpenTheTextScreenAndPicturesWithoutACodeOfferSaveOnly) {
  auto textPage = open({AKPhotoGalleryItem::itemWithImage(CodePicture("qr-text.png"))});
  longPressAndPickFirst(textPage);
  auto result = std::dynamic_pointer_cast<AKPhotoQRCodeResultVC>(top());
  ASSERT_TRUE(result);
  const std::string lines = "Line one\nZeile zwei: grüße\nline three";
  EXPECT_EQ(result->result(), lines);
  EXPECT_EQ(result->title(), text("preview.image.extractQRCode.result.text.title"));
  EXPECT_EQ(result->textView()->text(), lines);
  EXPECT_FALSE(result->textView()->isEditable());
  EXPECT_TRUE(result->textView()->isSelectable());
  EXPECT_EQ(result->textView()->frame(), result->view()->bounds());
  // Selectable, so the whole text can be chosen and copied.
  result->textView()->setSelectedRange({0, 8});
  EXPECT_EQ(result->textView()->selectedRange().length, 8u);
  auto picture = RenderView(*gallery->view(), 1);
  SaveSnapshot(picture, "gallery-qr-result");
  EXPECT_TRUE(MatchesGolden(picture, "AKPhotoGallery/gallery-qr-result.png", 8, 400));

  // A mail link has a scheme but no host: the text screen too.
  auto mailPage = open({AKPhotoGalleryItem::itemWithImage(CodePicture("qr-mailto.png"))});
  longPressAndPickFirst(mailPage);
  auto mail = std::dynamic_pointer_cast<AKPhotoQRCodeResultVC>(top());
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->result(), "mailto:someone@example.com");

  // No code: the sheet offers saving and cancel only.
  auto plain = open({AKPhotoGalleryItem::itemWithImage(
      UIImage::imageWithCGImage(TwoBandBitmap(300, 300), 1, UIImageOrientationUp))});
  EXPECT_FALSE(plain->detectStringFromImage());
  auto actions = plain->defaultLongPressActions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0]->title(), text("preview.image.longPress.saveImage.title"));
  // The 3D-Touch actions: the custom ones first, then saving.
  auto custom = UIPreviewAction::actionWithTitle("Share", UIPreviewActionStyle::Default, nullptr);
  plain->setCustomPreviewActions({custom});
  auto items = plain->previewActionItems();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], custom);
  EXPECT_EQ(items[1]->title(), text("preview.3DTouch.saveImage.title"));
}

TEST_F(QRCodeScreensTest, WebScreenShowsAFirstFailureClearsItOnSuccessAndStopsItsSpinner) {
  auto web = std::make_shared<AKPhotoWebVC>();
  web->setUrlString("https://example.com/down");
  window->setRootViewController(web);
  web->view()->setFrame(window->bounds());
  drainMainLoop();
  EXPECT_FALSE(web->spinner()->isAnimating());
  EXPECT_FALSE(web->errorLabel()->isHidden());
  EXPECT_EQ(web->errorLabel()->text(),
            NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorCannotConnectToHost)->localizedDescription());
  EXPECT_FALSE(web->hasFinished());

  // A successful navigation in the same screen clears and hides it.
  web->webView()->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString("https://example.com/untitled")));
  drainMainLoop();
  EXPECT_TRUE(web->hasFinished());
  EXPECT_TRUE(web->errorLabel()->isHidden());
  EXPECT_EQ(web->errorLabel()->text(), "");
  EXPECT_EQ(web->title(), "");
  // After a page has shown, later failures leave it in place.
  web->webView()->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString("https://example.com/down")));
  drainMainLoop();
  EXPECT_TRUE(web->errorLabel()->isHidden());

  // An app-store link of type "other" stops the spinner and is allowed.
  web->spinner()->startAnimating();
  web->webView()->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString("itms-apps://apps.example.com/app/1")));
  drainMainLoop();
  EXPECT_FALSE(web->spinner()->isAnimating());
  EXPECT_EQ(pages->requests.back()->URL()->scheme(), "itms-apps");
  // The content process ending stops the spinner; nothing reloads.
  web->spinner()->startAnimating();
  const size_t before = pages->requests.size();
  web->webView()->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString("https://example.com/crash")));
  drainMainLoop();
  EXPECT_FALSE(web->spinner()->isAnimating());
  EXPECT_EQ(pages->requests.size(), before + 1);

  // An address that does not parse loads nothing and keeps turning.
  auto broken = std::make_shared<AKPhotoWebVC>();
  broken->setUrlString("http://exa mple.com/");
  window->setRootViewController(broken);
  drainMainLoop();
  EXPECT_TRUE(broken->spinner()->isAnimating());
  EXPECT_EQ(pages->requests.size(), before + 1);
  broken->spinner()->stopAnimating();
}

}  // namespace qr_code_screens_test
