#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/animated/internal/ILAnimatedImageView.h"
#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/categories/internal/ILAnimatedImageViewRemoteCache.h"
#include "image_loading/categories/internal/UIButtonRemoteCache.h"
#include "image_loading/categories/internal/UIImageViewRemoteCache.h"
#include "image_loading/categories/internal/UIViewRemoteCache.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "platform/foundation/NSProgress.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIProgressView.h"
#include "platform/uikit/UIWindow.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"
#include "support/ui/SnapshotTesting.h"

namespace view_loading_test {

namespace {

using il_test::RunMainLoopUntil;

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};
constexpr std::array<uint8_t, 4> kGray{128, 128, 128, 255};
constexpr std::array<uint8_t, 4> kWhite{255, 255, 255, 255};

// An image view that remembers every image it was given.
class RecordingImageView : public UIImageView {
 public:
  using UIImageView::UIImageView;
  void setImage(UIImagePtr image) override {
    shown.push_back(image);
    UIImageView::setImage(std::move(image));
  }
  std::vector<UIImagePtr> shown;
};

struct Completion {
  UIImagePtr image;
  NSErrorPtr error;
  ILImageCacheKind cacheType = -1;
  NSURLPtr url;
};

struct CompletionLog {
  std::vector<Completion> calls;
  ILExternalCompletionBlock block() {
    return [this](const UIImagePtr& image, const NSErrorPtr& error, ILImageCacheKind type,
                  const NSURLPtr& url) { calls.push_back({image, error, type, url}); };
  }
};

std::string pngBody(std::array<uint8_t, 4> color) {
  NSDataPtr data = il_test::StillFile("public.png", il_test::SolidImage(8, 8, color));
  return std::string(reinterpret_cast<const char*>(data->bytes()), data->length());
}

bool sameURL(const NSURLPtr& a, const NSURLPtr& b) {
  return a && b && a->absoluteString() == b->absoluteString();
}

std::array<uint8_t, 4> pixelOf(const UIImagePtr& picture, size_t x, size_t y) {
  std::vector<uint8_t> rgba = RGBAPixels(picture->CGImage());
  const size_t width = picture->CGImage()->width();
  const uint8_t* p = &rgba[(y * width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

class ViewLoadingTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    cache = ILImageCache::create("views", folder.path());
    downloader = ILRemoteImageDownloader::create();
    manager = ILRemoteImageManager::create(cache, downloader);
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 80, 80));
    window->setBackgroundColor(UIColor::whiteColor());
    window->makeKeyAndVisible();
    server.script("/red.png", ScriptedResponse(200, {{"Content-Type", "image/png"}}, pngBody(kRed)));
    server.script("/blue.png", ScriptedResponse(200, {{"Content-Type", "image/png"}}, pngBody(kBlue)));
    ScriptedResponse slow(200, {{"Content-Type", "image/png"}}, pngBody(kRed));
    slow.gate = "slow";
    server.script("/slow-red.png", slow);
    placeholder = il_test::SolidUIImage(8, 8, kGray);
  }
  void TearDown() override {
    server.openGate("slow");
    EXPECT_TRUE(RunMainLoopUntil(
        [&] { return !manager->isRunning() && downloader->currentDownloadCount() == 0; }));
    advance(2);  // transitions end
    cache->diskImageDataExistsWithKey("flush");
    drainMainLoop();
    window.reset();
    PlatformTest::TearDown();
  }

  NSURLPtr url(const std::string& path) { return NSURL::URLWithString(server.url(path)); }
  ILRemoteImageContext context() const {
    return ILContextSetting(Value(), ILRemoteImageContextCustomManager,
                            Value(std::shared_ptr<NSObject>(manager)));
  }
  std::array<uint8_t, 4> shownAt(const std::string& name, size_t x = 40, size_t y = 40) {
    UIImagePtr picture = RenderView(*window, 1);
    SaveSnapshot(picture, name);
    return pixelOf(picture, x, y);
  }

  TempFolder folder;
  LoopbackHttpServer server;
  ILImageCachePtr cache;
  std::shared_ptr<ILRemoteImageDownloader> downloader;
  ILRemoteImageManagerPtr manager;
  std::shared_ptr<UIWindow> window;
  UIImagePtr placeholder;
};

TEST_F(ViewLoadingTest, ImageViewShowsPlaceholderAndIndicatorThenFadesInTheImage) {
  auto view = std::make_shared<UIImageView>(CGRectMake(10, 10, 60, 60));
  window->addSubview(view);
  auto indicator = ILRemoteImageActivityIndicator::grayLargeIndicator();
  il_setImageIndicator(*view, indicator);
  EXPECT_EQ(indicator->indicatorView()->superview(), view);
  EXPECT_EQ(indicator->indicatorView()->center().x, 30);
  auto fade = ILRemoteImageTransition::fadeTransition(0.3);
  std::vector<bool> transitionEnds;
  fade->completion = [&](bool finished) { transitionEnds.push_back(finished); };
  il_setImageTransition(*view, fade);
  auto progress = il_imageProgress(*view);

  CompletionLog log;
  const NSURLPtr slowURL = url("/slow-red.png");
  il_setImageWithURL(*view, slowURL, placeholder, 0, context(), nullptr, log.block());
  EXPECT_EQ(view->image(), placeholder);
  EXPECT_TRUE(indicator->activityIndicatorView()->isAnimating());
  EXPECT_TRUE(sameURL(il_currentImageURL(*view), slowURL));
  EXPECT_TRUE(sameURL(il_imageURL(*view), slowURL));
  EXPECT_TRUE(il_test::Near(shownAt("image_view_placeholder", 15, 15), kGray));

  server.openGate("slow");
  ASSERT_TRUE(RunMainLoopUntil([&] { return view->image() != placeholder; }));
  ASSERT_EQ(log.calls.size(), 1u);
  EXPECT_FALSE(log.calls[0].error);
  EXPECT_EQ(log.calls[0].cacheType, ILImageCacheKindNone);
  EXPECT_EQ(log.calls[0].url, slowURL);
  EXPECT_EQ(view->image(), log.calls[0].image);
  EXPECT_FALSE(indicator->activityIndicatorView()->isAnimating());
  EXPECT_TRUE(indicator->indicatorView()->isHidden());
  EXPECT_GT(progress->totalUnitCount(), 0);
  EXPECT_EQ(progress->completedUnitCount(), progress->totalUnitCount());
  EXPECT_TRUE(transitionEnds.empty());  // still fading
  advance(0.35);
  EXPECT_EQ(transitionEnds, (std::vector<bool>{true}));
  EXPECT_TRUE(il_test::Near(shownAt("image_view_loaded"), kRed));

  // From memory the image comes at once, without the fade.
  CompletionLog again;
  il_setImageWithURL(*view, slowURL, placeholder, 0, context(), nullptr, again.block());
  ASSERT_EQ(again.calls.size(), 1u);
  EXPECT_EQ(again.calls[0].cacheType, ILImageCacheKindMemory);
  EXPECT_EQ(transitionEnds.size(), 1u);
  EXPECT_TRUE(il_test::Near(shownAt("image_view_from_memory"), kRed));
}

TEST_F(ViewLoadingTest, ButtonLoadsItsStatesWithAProgressBar) {
  auto button = std::make_shared<UIButton>(CGRectMake(10, 10, 60, 60));
  window->addSubview(button);
  auto bar = ILRemoteImageProgressIndicator::barIndicator();
  il_setImageIndicator(*button, bar);
  EXPECT_EQ(bar->indicatorView()->center().x, 30);
  il_setImageTransition(*button, ILRemoteImageTransition::flipFromLeftTransition(0.2));

  CompletionLog normal, highlighted;
  std::vector<double> progress;
  il_setImageWithURL(*button, url("/slow-red.png"), UIControlStateNormal, placeholder, 0,
                     context(), [&](int64_t received, int64_t expected, const NSURLPtr&) {
                       progress.push_back(expected > 0 ? double(received) / double(expected) : 0);
                     },
                     normal.block());
  EXPECT_EQ(button->imageForState(UIControlStateNormal), placeholder);
  EXPECT_FALSE(bar->indicatorView()->isHidden());
  EXPECT_EQ(bar->progressView()->progress(), 0);
  il_setBackgroundImageWithURL(*button, url("/blue.png"), UIControlStateHighlighted, nullptr, 0,
                               context(), nullptr, highlighted.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return highlighted.calls.size() == 1; }));
  EXPECT_TRUE(normal.calls.empty());  // two keys: the second load left the first alone
  server.openGate("slow");
  ASSERT_TRUE(RunMainLoopUntil([&] { return normal.calls.size() == 1; }));
  ASSERT_TRUE(RunMainLoopUntil(
      [&] { return button->imageForState(UIControlStateNormal) == normal.calls[0].image; }));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 1);
  EXPECT_TRUE(bar->indicatorView()->isHidden());
  EXPECT_EQ(bar->progressView()->progress(), 1);
  EXPECT_EQ(button->backgroundImageForState(UIControlStateHighlighted), highlighted.calls[0].image);
  EXPECT_TRUE(sameURL(il_imageURLForState(*button, UIControlStateNormal), url("/slow-red.png")));
  EXPECT_TRUE(sameURL(il_backgroundImageURLForState(*button, UIControlStateHighlighted), url("/blue.png")));
  EXPECT_EQ(il_imageOperationKeyForState(UIControlStateHighlighted), "UIButtonImageOperation1");
  advance(0.25);

  // A highlighted button without an image load of its own names the normal one.
  button->setHighlighted(true);
  EXPECT_TRUE(sameURL(il_currentImageURL(*button), url("/slow-red.png")));
  EXPECT_TRUE(sameURL(il_currentBackgroundImageURL(*button), url("/blue.png")));
}

TEST_F(ViewLoadingTest, AReusedViewNeverShowsThePreviousURLsImage) {
  auto view = std::make_shared<RecordingImageView>(CGRectMake(10, 10, 60, 60));
  window->addSubview(view);
  CompletionLog first, second;
  il_setImageWithURL(*view, url("/slow-red.png"), placeholder, 0, context(), nullptr, first.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return server.requests().size() == 1; }));
  // Reused for another URL while the first is still on the wire.
  il_setImageWithURL(*view, url("/blue.png"), nullptr, 0, context(), nullptr, second.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return second.calls.size() == 1; }));
  server.openGate("slow");
  ASSERT_TRUE(RunMainLoopUntil([&] { return first.calls.size() == 1; }));
  EXPECT_TRUE(first.calls[0].error);  // cancelled
  EXPECT_FALSE(first.calls[0].image);
  EXPECT_EQ(view->image(), second.calls[0].image);
  EXPECT_TRUE(sameURL(il_currentImageURL(*view), url("/blue.png")));
  EXPECT_TRUE(il_test::Near(shownAt("reused_view"), kBlue));

  // Results already on their way to the view when it is reused: both loads
  // come from memory and their deliveries wait in the main queue.
  auto queued = std::make_shared<ILCallbackQueue>(dispatch_get_main_queue());
  queued->setPolicy(ILCallbackQueuePolicyDispatch);
  ILRemoteImageContext deferred =
      ILContextSetting(context(), ILRemoteImageContextCallbackQueue, Value(std::shared_ptr<NSObject>(queued)));
  il_setImageTransition(*view, ILRemoteImageTransition::fadeTransition());
  view->shown.clear();
  CompletionLog stale, fresh;
  il_setImageWithURL(*view, url("/slow-red.png"), nullptr, ILLoadForceTransition, deferred, nullptr,
                     stale.block());
  il_setImageWithURL(*view, url("/blue.png"), nullptr, ILLoadForceTransition, deferred, nullptr,
                     fresh.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return stale.calls.size() == 1 && fresh.calls.size() == 1; }));
  advance(1);
  for (const auto& image : view->shown) {
    if (image) {
      EXPECT_FALSE(il_test::Near(il_test::PixelAt(image->CGImage(), 1, 1), kRed));
    }
  }
  EXPECT_EQ(view->image(), fresh.calls[0].image);

  // A transition begun for an image whose load a newer one has replaced
  // under the same key stands down before it sets the image.
  view->shown.clear();
  auto staleImage = il_test::SolidUIImage(8, 8, kRed);
  bool staleCallback = false;
  il_setImage(*view, staleImage, nullptr, 0, nullptr, ILRemoteImageTransition::fadeTransition(),
              ILImageCacheKindNone, url("/red.png"), [&] { staleCallback = true; });
  EXPECT_TRUE(staleCallback);  // without waiting for the transition
  il_setImageWithURL(*view, url("/blue.png"), nullptr, 0, context());
  advance(1);
  EXPECT_EQ(std::find(view->shown.begin(), view->shown.end(), staleImage), view->shown.end());

  // Keeping the previous load: both results are set, in the order they arrive.
  view->shown.clear();
  CompletionLog kept;
  il_setImageTransition(*view, nullptr);
  il_setImageWithURL(*view, url("/slow-red.png"), nullptr, 0, context(), nullptr, kept.block());
  il_setImageWithURL(*view, url("/blue.png"), nullptr, ILLoadAvoidAutoCancelImage, context(), nullptr,
                     kept.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return kept.calls.size() == 2; }));
  EXPECT_EQ(view->image(), kept.calls[1].image);
  EXPECT_NE(std::find(view->shown.begin(), view->shown.end(), kept.calls[0].image), view->shown.end());
}

TEST_F(ViewLoadingTest, FailuresAndOptionsDecideWhatIsShown) {
  auto view = std::make_shared<UIImageView>(CGRectMake(10, 10, 60, 60));
  window->addSubview(view);
  server.script("/missing.png", ScriptedResponse(404, {}, "no"));

  // No URL: the placeholder stays and the completion hears of it at once.
  CompletionLog none;
  il_setImageWithURL(*view, nullptr, placeholder, 0, context(), nullptr, none.block());
  ASSERT_EQ(none.calls.size(), 1u);
  EXPECT_TRUE(ILIsRemoteImageError(none.calls[0].error, ILRemoteImageErrorInvalidURL));
  EXPECT_EQ(none.calls[0].error->localizedDescription(), "Image url is nil");
  EXPECT_EQ(view->image(), placeholder);

  // A failed load leaves the placeholder; with the delayed placeholder it
  // only appears when the load has failed.
  CompletionLog failed;
  il_setImageWithURL(*view, url("/missing.png"), nullptr, 0, context(), nullptr, failed.block());
  EXPECT_EQ(view->image(), nullptr);
  ASSERT_TRUE(RunMainLoopUntil([&] { return failed.calls.size() == 1; }));
  EXPECT_TRUE(failed.calls[0].error);
  EXPECT_EQ(view->image(), nullptr);
  view->setImage(il_test::SolidUIImage(8, 8, kWhite));
  CompletionLog delayed;
  il_setImageWithURL(*view, url("/missing.png"), placeholder, ILLoadDelayPlaceholder | ILLoadRetryFailed,
                     context(), nullptr, delayed.block());
  EXPECT_NE(view->image(), placeholder);
  ASSERT_TRUE(RunMainLoopUntil([&] { return delayed.calls.size() == 1; }));
  EXPECT_EQ(view->image(), placeholder);

  // Without automatic setting the image only reaches the completion.
  CompletionLog manual;
  il_setImageWithURL(*view, url("/blue.png"), nullptr, ILLoadAvoidAutoSetImage, context(), nullptr,
                     manual.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return manual.calls.size() == 1; }));
  EXPECT_TRUE(manual.calls[0].image);
  EXPECT_EQ(view->image(), nullptr);  // the (empty) placeholder, never the image

  // A view that is neither an image view nor a button keeps no image; its
  // completion still runs. A view gone before the end hears nothing.
  auto plain = std::make_shared<UIView>(CGRectMake(0, 0, 10, 10));
  int plainCalls = 0;
  il_internalSetImageWithURL(*plain, url("/blue.png"), placeholder, 0, context(), nullptr, nullptr,
                             [&](UIImagePtr image, NSDataPtr, NSErrorPtr, ILImageCacheKind, bool,
                                 NSURLPtr) { plainCalls += image ? 1 : 0; });
  ASSERT_TRUE(RunMainLoopUntil([&] { return plainCalls == 1; }));
  auto doomed = std::make_shared<UIImageView>(CGRectMake(0, 0, 10, 10));
  CompletionLog orphan;
  il_setImageWithURL(*doomed, url("/red.png"), nullptr, 0, context(), nullptr, orphan.block());
  doomed.reset();
  ASSERT_TRUE(RunMainLoopUntil([&] { return !manager->isRunning(); }));
  drainMainLoop();
  EXPECT_TRUE(orphan.calls.empty());
}

TEST_F(ViewLoadingTest, HighlightedImageAndAnimatedViewLoads) {
  auto view = std::make_shared<UIImageView>(CGRectMake(10, 10, 60, 60));
  window->addSubview(view);
  CompletionLog highlighted;
  il_setHighlightedImageWithURL(*view, url("/blue.png"), 0, context(), nullptr, highlighted.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return highlighted.calls.size() == 1; }));
  EXPECT_EQ(view->highlightedImage(), highlighted.calls[0].image);
  EXPECT_EQ(view->image(), nullptr);
  EXPECT_TRUE(sameURL(il_currentHighlightedImageURL(*view), url("/blue.png")));
  EXPECT_EQ(il_currentImageURL(*view), nullptr);

  const NSDataPtr gif = il_test::AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kBlue, 0.1}});
  server.script("/anim.gif", ScriptedResponse(200, {{"Content-Type", "image/gif"}},
                                              std::string(reinterpret_cast<const char*>(gif->bytes()),
                                                          gif->length())));
  auto animated = std::make_shared<ILAnimatedImageView>(CGRectMake(10, 10, 60, 60));
  window->addSubview(animated);
  CompletionLog loaded;
  il_setImageWithURL(*animated, url("/anim.gif"), nullptr, 0, context(), nullptr, loaded.block());
  ASSERT_TRUE(RunMainLoopUntil([&] { return loaded.calls.size() == 1; }));
  // The caller's manager served it, and the entry asked for the animated class.
  EXPECT_TRUE(std::dynamic_pointer_cast<ILAnimatedImage>(loaded.calls[0].image));
  EXPECT_TRUE(animated->player());
  EXPECT_TRUE(animated->isAnimating());
  animated->removeFromSuperview();
}

}  // namespace

}  // namespace view_loading_test
