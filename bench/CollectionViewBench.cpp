// One frame of a 1,000-cell collection view screen (a photo grid on a
// 390×844 phone): the layout pass that prepares the flow layout and places
// the visible cells, a scrolling frame that moves the bounds and recycles
// the cells that left, and the same frame laid out and rendered to pixels at
// the phone's 3x scale. A frame must fit well inside 16 ms.

#include <benchmark/benchmark.h>

#include <memory>

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIWindow.h"

namespace {

// A photo cell as the picker grid has one: a thumbnail filling the cell and
// a small caption.
class PhotoCell : public UICollectionViewCell {
 public:
  PhotoCell() {
    image = std::make_shared<UIImageView>();
    image->setContentMode(UIViewContentModeScaleAspectFill);
    image->setClipsToBounds(true);
    image->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
    caption = std::make_shared<UILabel>();
    caption->setFont(UIFont::systemFontOfSize(11));
    caption->setTextColor(UIColor::whiteColor());
  }
  void layoutSubviews() override {
    UICollectionViewCell::layoutSubviews();
    if (!image->superview()) {
      contentView()->addSubview(image);
      contentView()->addSubview(caption);
    }
    image->setFrame(contentView()->bounds());
    caption->setFrame(CGRectMake(4, bounds().size.height - 18, bounds().size.width - 8, 16));
  }
  std::shared_ptr<UIImageView> image;
  std::shared_ptr<UILabel> caption;
};

UIImagePtr thumbnail(int shade) {
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(1);
  UIGraphicsImageRenderer renderer(CGSizeMake(256, 192), format);
  return renderer.imageWithActions([shade](UIGraphicsImageRendererContext& ctx) {
    for (int i = 0; i < 16; ++i) {
      CGContextSetRGBFillColor(ctx.CGContext(), i / 16.0, shade / 8.0, 1 - i / 16.0, 1);
      ctx.fillRect(CGRectMake(i * 16, 0, 16, 192));
    }
  });
}

class PhotoSource : public UICollectionViewDataSource {
 public:
  PhotoSource() {
    for (int i = 0; i < 8; ++i) thumbnails.push_back(thumbnail(i));
  }
  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t) override {
    return 1000;
  }
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(
      UICollectionView& cv, const NSIndexPath& path) override {
    auto cell = std::static_pointer_cast<PhotoCell>(
        cv.dequeueReusableCellWithReuseIdentifier("photo", path));
    cell->image->setImage(thumbnails[size_t(path.item + shift) % thumbnails.size()]);
    cell->caption->setText("IMG_" + std::to_string(1000 + path.item));
    return cell;
  }
  std::vector<UIImagePtr> thumbnails;
  int64_t shift = 0;  // which thumbnail the first item shows
};

class GridSource : public UICollectionViewDataSource {
 public:
  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t) override {
    return 1000;
  }
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(
      UICollectionView& cv, const NSIndexPath& path) override {
    auto cell = cv.dequeueReusableCellWithReuseIdentifier("cell", path);
    cell->contentView();
    return cell;
  }
};

struct Screen {
  Screen() {
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    auto layout = std::make_shared<UICollectionViewFlowLayout>();
    layout->setItemSize(CGSizeMake(128, 128));
    layout->setMinimumInteritemSpacing(3);
    layout->setMinimumLineSpacing(3);
    grid = std::make_shared<UICollectionView>(window->bounds(), layout);
    grid->registerClassForCellWithReuseIdentifier<UICollectionViewCell>("cell");
    source = std::make_shared<GridSource>();
    grid->setDataSource(source);
    window->addSubview(grid);
    grid->layoutIfNeeded();
  }
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UICollectionView> grid;
  std::shared_ptr<GridSource> source;
};

void BM_CollectionViewLayoutPass(benchmark::State& state) {
  Screen screen;
  for (auto _ : state) {
    screen.grid->reloadData();
    screen.grid->layoutIfNeeded();
    benchmark::DoNotOptimize(screen.grid->visibleCells().size());
  }
}
BENCHMARK(BM_CollectionViewLayoutPass)->Unit(benchmark::kMicrosecond);

void BM_CollectionViewScrollFrame(benchmark::State& state) {
  Screen screen;
  double maxY = screen.grid->maximumContentOffset().y;
  double y = 0;
  for (auto _ : state) {
    y += 40;  // a brisk fling moves about this far per frame
    if (y > maxY) y = 0;
    screen.grid->setContentOffset(CGPointMake(0, y));
    screen.grid->layoutIfNeeded();
  }
}
BENCHMARK(BM_CollectionViewScrollFrame)->Unit(benchmark::kMicrosecond);

struct PhotoGrid {
  PhotoGrid() {
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    window->setBackgroundColor(UIColor::whiteColor());
    auto layout = std::make_shared<UICollectionViewFlowLayout>();
    layout->setItemSize(CGSizeMake(128, 128));
    layout->setMinimumInteritemSpacing(3);
    layout->setMinimumLineSpacing(3);
    grid = std::make_shared<UICollectionView>(window->bounds(), layout);
    grid->registerClassForCellWithReuseIdentifier<PhotoCell>("photo");
    source = std::make_shared<PhotoSource>();
    grid->setDataSource(source);
    window->addSubview(grid);
    context = UIGraphicsCreateImageContext(window->bounds().size, true, 3);
  }
  void draw() {
    UIGraphicsPushContext(context);
    window->drawViewHierarchyInRect(window->bounds(), false);
    UIGraphicsPopContext();
    benchmark::DoNotOptimize(CGBitmapContextGetData(context));
  }
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UICollectionView> grid;
  std::shared_ptr<PhotoSource> source;
  CGContextRef context;
};

// Scrolling a photo grid by a frame's distance, laying it out and drawing the
// whole window into a 1170×2532 bitmap. Cells that stay on screen keep their
// thumbnails as drawn; those scrolled in draw theirs anew.
void BM_CollectionViewRenderFrame(benchmark::State& state) {
  PhotoGrid screen;
  double maxY = 0, y = 0;
  for (auto _ : state) {
    screen.grid->layoutIfNeeded();
    if (maxY == 0) maxY = screen.grid->maximumContentOffset().y;
    y += 40;
    if (y > maxY) y = 0;
    screen.grid->setContentOffset(CGPointMake(0, y));
    screen.draw();
  }
}
BENCHMARK(BM_CollectionViewRenderFrame)->Unit(benchmark::kMillisecond);

// The worst frame: every visible cell shows a thumbnail it has not drawn
// before (a reload that moves every item's picture), scaled from scratch.
void BM_CollectionViewRenderReloadedFrame(benchmark::State& state) {
  PhotoGrid screen;
  for (auto _ : state) {
    ++screen.source->shift;
    screen.grid->reloadData();
    screen.grid->layoutIfNeeded();
    screen.draw();
  }
}
BENCHMARK(BM_CollectionViewRenderReloadedFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
