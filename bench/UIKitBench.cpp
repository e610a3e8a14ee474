// Rendering a phone screen of views to pixels, and hit-testing a deep tree.

#include <benchmark/benchmark.h>

#include <cmath>

#include "platform/quartzcore/CAShapeLayer.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIVisualEffectView.h"
#include "platform/uikit/UIWindow.h"

namespace {

UIImagePtr photo() {
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(1);
  UIGraphicsImageRenderer renderer(CGSizeMake(300, 200), format);
  return renderer.imageWithActions([](UIGraphicsImageRendererContext& ctx) {
    for (int i = 0; i < 20; ++i) {
      CGContextSetRGBFillColor(ctx.CGContext(), i / 20.0, 0.5, 1 - i / 20.0, 1);
      ctx.fillRect(CGRectMake(i * 15, 0, 15, 200));
    }
  });
}

// A grid of 24 photo cells with captions, a toolbar of rounded buttons and
// a translucent bar: the shape of the picker screens, at 390 x 844 @3x.
std::shared_ptr<UIWindow> makeScreen() {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  window->setBackgroundColor(UIColor::whiteColor());
  auto image = photo();
  for (int i = 0; i < 24; ++i) {
    double x = 4 + (i % 3) * 128.0, y = 60 + (i / 3) * 92.0;
    auto cell = std::make_shared<UIImageView>(CGRectMake(x, y, 124, 88));
    cell->setImage(image);
    cell->setContentMode(UIViewContentModeScaleAspectFill);
    cell->setClipsToBounds(true);
    cell->layer()->setCornerRadius(6);
    auto caption = std::make_shared<UILabel>(CGRectMake(4, 66, 116, 20));
    caption->setText("IMG_" + std::to_string(1000 + i));
    caption->setTextColor(UIColor::whiteColor());
    caption->setFont(UIFont::systemFontOfSize(12));
    cell->addSubview(caption);
    window->addSubview(cell);
  }
  auto bar = std::make_shared<UIVisualEffectView>(
      UIBlurEffect::effectWithStyle(UIBlurEffectStyleDark));
  bar->setFrame(CGRectMake(0, 760, 390, 84));
  window->addSubview(bar);
  for (int i = 0; i < 3; ++i) {
    auto button = UIView::viewWithFrame(CGRectMake(10 + i * 127.0, 10, 117, 40));
    button->setBackgroundColor(UIColor::systemBlueColor());
    button->layer()->setCornerRadius(10);
    auto title = std::make_shared<UILabel>(button->bounds());
    title->setText(i == 0 ? "Cancel" : i == 1 ? "Edit" : "Done");
    title->setTextAlignment(NSTextAlignmentCenter);
    title->setTextColor(UIColor::whiteColor());
    button->addSubview(title);
    bar->contentView()->addSubview(button);
  }
  auto ring = CAShapeLayer::layer();
  ring->setFrame(CGRectMake(170, 10, 50, 50));
  ring->setPath(CGPathCreateWithEllipseInRect(CGRectMake(0, 0, 50, 50), nullptr));
  ring->setFillColor(nullptr);
  ring->setStrokeColor(UIColor::whiteColor()->CGColor());
  ring->setLineWidth(3);
  window->layer()->addSublayer(ring);
  return window;
}

void BM_RenderScreen(benchmark::State& state) {
  auto window = makeScreen();
  auto context = UIGraphicsCreateImageContext(window->bounds().size, true, 3);
  for (auto _ : state) {
    UIGraphicsPushContext(context);
    window->drawViewHierarchyInRect(window->bounds(), false);
    UIGraphicsPopContext();
    benchmark::DoNotOptimize(CGBitmapContextGetData(context));
  }
}
BENCHMARK(BM_RenderScreen)->Unit(benchmark::kMillisecond);

void BM_HitTestDeepTree(benchmark::State& state) {
  // A chain `depth` views deep, each with three siblings to look past.
  const int depth = int(state.range(0));
  auto root = UIView::viewWithFrame(CGRectMake(0, 0, 1000, 1000));
  auto parent = root;
  for (int i = 0; i < depth; ++i) {
    for (int s = 0; s < 3; ++s) parent->addSubview(UIView::viewWithFrame(CGRectMake(0, 0, 1, 1)));
    auto child = UIView::viewWithFrame(CGRectMake(1, 1, 990 - i * 2, 990 - i * 2));
    parent->insertSubviewAtIndex(child, 1);
    parent = child;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(root->hitTest(CGPointMake(500, 500), nullptr));
  }
}
BENCHMARK(BM_HitTestDeepTree)->Arg(16)->Arg(128);

}  // namespace

BENCHMARK_MAIN();
