// One frame of a 1,000-cell collection view screen (a photo grid on a
// 390×844 phone): the layout pass that prepares the flow layout and places
// the visible cells, and a scrolling frame that moves the bounds and recycles
// the cells that left. A frame must fit well inside 16 ms.

#include <benchmark/benchmark.h>

#include <memory>

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIWindow.h"

namespace {

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

}  // namespace

BENCHMARK_MAIN();
