// Select-all over a large album against building a plain vector of the same
// assets: the selection's bookkeeping (identifier order, the map, positions,
// the rules) should cost a small constant per asset, never a scan of the
// selection.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "platform/uikit/UIImage.h"

namespace {

std::vector<AKAssetPtr> makeAssets(size_t count) {
  std::vector<AKAssetPtr> assets;
  assets.reserve(count);
  auto image = std::make_shared<UIImage>();
  for (size_t i = 0; i < count; ++i) {
    auto asset = AKAsset::initWithImage(image);
    asset->setLocalIdentifier("asset-" + std::to_string(i));
    assets.push_back(asset);
  }
  return assets;
}

void BM_SelectAll(benchmark::State& state) {
  auto assets = makeAssets(static_cast<size_t>(state.range(0)));
  auto picker = std::make_shared<AKImagePickerController>();
  picker->setMaxSelectableCount(static_cast<int64_t>(assets.size()));
  picker->setAllowMultipleTypes(false);
  for (auto _ : state) {
    picker->selectWithAssets(assets);
    benchmark::DoNotOptimize(picker->selectedAssets().data());
    state.PauseTiming();
    picker->deselectAll();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_PlainVector(benchmark::State& state) {
  auto assets = makeAssets(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<AKAssetPtr> copy;
    for (const auto& asset : assets) copy.push_back(asset);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// What a grid cell asks while scrolling: is it selected, and at which place.
void BM_SelectionLookups(benchmark::State& state) {
  auto assets = makeAssets(static_cast<size_t>(state.range(0)));
  auto picker = std::make_shared<AKImagePickerController>();
  picker->selectWithAssets(assets);
  size_t i = 0;
  for (auto _ : state) {
    const auto& asset = assets[i++ % assets.size()];
    benchmark::DoNotOptimize(picker->containsWithAsset(asset));
    benchmark::DoNotOptimize(picker->indexOf(asset));
  }
}

}  // namespace

BENCHMARK(BM_SelectAll)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainVector)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectionLookups)->Arg(1000)->Arg(50000);
BENCHMARK_MAIN();
