#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "PickerCoreSupport.h"
#include "platform/uikit/UIAlertController.h"

namespace picker_selection_test {

namespace {

// Hears the hub and counts what the picker tells its UI delegate.
class SelectionObserver : public NSObject, public AKImagePickerControllerObserver {
 public:
  bool imagePickerControllerDidSelectWithAssets(const std::vector<AKAssetPtr>& assets) override {
    selected.push_back(assets);
    return true;
  }
  bool imagePickerControllerDidDeselectWithAssets(const std::vector<AKAssetPtr>& assets) override {
    deselected.push_back(assets);
    return true;
  }
  std::vector<std::vector<AKAssetPtr>> selected, deselected;
};

class CountingUIDelegate : public AKImagePickerControllerBaseUIDelegate {
 public:
  void imagePickerControllerDidSelectAssets(AKImagePickerController& p, const std::vector<AKAssetPtr>& a) override {
    didSelect.push_back(a.size());
    AKImagePickerControllerBaseUIDelegate::imagePickerControllerDidSelectAssets(p, a);
  }
  void imagePickerControllerDidDeselectAssets(AKImagePickerController& p, const std::vector<AKAssetPtr>& a) override {
    didDeselect.push_back(a.size());
    AKImagePickerControllerBaseUIDelegate::imagePickerControllerDidDeselectAssets(p, a);
  }
  void imagePickerControllerDidReachMaxLimit(AKImagePickerController& p) override {
    ++limitAlerts;
    AKImagePickerControllerBaseUIDelegate::imagePickerControllerDidReachMaxLimit(p);
  }
  std::vector<size_t> didSelect, didDeselect;
  int limitAlerts = 0;
};

}  // namespace

class PickerSelectionTest : public PickerCoreTest {
 protected:
  void SetUp() override {
    PickerCoreTest::SetUp();
    observer = std::make_shared<SelectionObserver>();
    delegate = std::make_shared<CountingUIDelegate>();
  }
  std::shared_ptr<TestPicker> makePicker() {
    auto picker = presentPicker([&](TestPicker& p) {
      p.setUIDelegate(delegate);
      p.setSelectedChanged([&] { ++changes; });
    });
    picker->proxyObserver()->add(observer);
    return picker;
  }
  std::shared_ptr<UIAlertController> shownAlert(const std::shared_ptr<TestPicker>& picker) {
    return std::dynamic_pointer_cast<UIAlertController>(picker->presentedViewController());
  }
  void closeAlert(const std::shared_ptr<TestPicker>& picker) {
    picker->dismissViewControllerAnimated(false);
    advance(1);
    drainMainLoop();
  }
  std::shared_ptr<SelectionObserver> observer;
  std::shared_ptr<CountingUIDelegate> delegate;
  int changes = 0;
};

TEST_F(PickerSelectionTest, SelectingKeepsOrderSkipsRepeatsAndStopsAtTheLimitWithOneAlert) {
  auto assets = libraryAssets(5);
  auto picker = makePicker();
  picker->setMaxSelectableCount(3);
  picker->selectWithAssets(assets);
  EXPECT_EQ(picker->selectedAssets(), (std::vector<AKAssetPtr>{assets[0], assets[1], assets[2]}));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(delegate->didSelect, std::vector<size_t>{3});
  EXPECT_EQ(delegate->limitAlerts, 1);
  ASSERT_EQ(observer->selected.size(), 1u);
  EXPECT_EQ(observer->selected[0].size(), 3u);
  auto alert = shownAlert(picker);
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->alertTitle(), "Selection Limit Reached");
  EXPECT_EQ(alert->message(), "You can select up to 3 items.");
  ASSERT_EQ(alert->actions().size(), 1u);
  EXPECT_EQ(alert->actions()[0]->title(), "OK");
  EXPECT_EQ(alert->actions()[0]->style(), UIAlertActionStyle::Cancel);

  // While an alert shows, another refusal shows none.
  picker->selectWithAsset(assets[4]);
  EXPECT_EQ(delegate->limitAlerts, 1);
  // Refusal without an alert asks nothing.
  closeAlert(picker);
  EXPECT_FALSE(picker->canSelectWithAsset(assets[4], false));
  EXPECT_EQ(delegate->limitAlerts, 1);
  EXPECT_FALSE(shownAlert(picker));

  // Already selected: no callback, no notification.
  picker->selectWithAsset(assets[1]);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(observer->selected.size(), 1u);
  EXPECT_EQ(picker->indexOf(assets[2]), 2);
  EXPECT_EQ(picker->indexOf(assets[4]), std::nullopt);

  // Removal closes the gap; positions follow.
  picker->deselectWithAsset(assets[0]);
  EXPECT_EQ(picker->selectedAssetIdentifiers(),
            (std::vector<std::string>{assets[1]->localIdentifier(), assets[2]->localIdentifier()}));
  EXPECT_EQ(picker->indexOf(assets[2]), 1);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(delegate->didDeselect, std::vector<size_t>{1});
  ASSERT_EQ(observer->deselected.size(), 1u);

  // An asset not selected changes nothing but is still announced.
  picker->deselectWithAsset(assets[4]);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(delegate->didDeselect, std::vector<size_t>{1});
  ASSERT_EQ(observer->deselected.size(), 2u);
  EXPECT_EQ(observer->deselected[1], std::vector<AKAssetPtr>{assets[4]});
  // removeSelection tells the delegate but not the observers.
  picker->removeSelectionWithAsset(assets[1]);
  EXPECT_EQ(delegate->didDeselect, (std::vector<size_t>{1, 1}));
  EXPECT_EQ(observer->deselected.size(), 2u);

  // No limit at 0 or below.
  picker->setMaxSelectableCount(0);
  picker->selectWithAssets(assets);
  EXPECT_EQ(picker->selectedAssets().size(), 5u);
  picker->setMaxSelectableCount(-2);
  EXPECT_TRUE(picker->canSelectWithAsset(assets[0], true));

  // deselectAll tells everyone once with the whole list; on empty it tells nobody.
  int before = changes;
  picker->deselectAll();
  EXPECT_EQ(changes, before + 1);
  EXPECT_EQ(delegate->didDeselect.back(), 5u);
  EXPECT_EQ(observer->deselected.back().size(), 5u);
  size_t heard = observer->deselected.size();
  picker->deselectAll();
  picker->setSelectedAssetsWithAssets({});
  EXPECT_EQ(changes, before + 1);
  EXPECT_EQ(observer->deselected.size(), heard);
  EXPECT_TRUE(picker->selectedAssets().empty());
}

TEST_F(PickerSelectionTest, PhotosAndVideosDoNotMixWhenMixingIsOff) {
  auto assets = libraryAssets(2, true);
  AKAssetPtr video;
  std::vector<AKAssetPtr> photos;
  for (auto& a : assets) {
    if (a->type() == AKAssetType::video) {
      video = a;
    } else {
      photos.push_back(a);
    }
  }
  ASSERT_TRUE(video && photos.size() == 2);
  AKAssetPtr photo = photos[0];
  auto picker = makePicker();
  picker->setAllowMultipleTypes(false);
  // The walk stops at the first refusal: the photo after the video is not taken.
  picker->selectWithAssets({photo, video, photos[1]});
  EXPECT_EQ(picker->selectedAssets(), std::vector<AKAssetPtr>{photo});
  auto alert = shownAlert(picker);
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->alertTitle(), "Photos or Videos");
  EXPECT_EQ(alert->message(), "You can select photos or videos, not both at once.");
  EXPECT_EQ(alert->actions().at(0)->title(), "OK");
  closeAlert(picker);
  EXPECT_FALSE(picker->canSelectWithAsset(video, false));
  EXPECT_FALSE(shownAlert(picker));
  picker->deselectAll();
  EXPECT_TRUE(picker->canSelectWithAsset(video, false));
}

TEST_F(PickerSelectionTest, SingleSelectionReplacesOrConfirmsAtOnce) {
  auto assets = libraryAssets(2);
  auto picker = makePicker();
  std::vector<size_t> delivered;
  picker->setDidSelectAssets([&](const std::vector<AKAssetPtr>& list) { delivered.push_back(list.size()); });
  picker->setSingleSelect(true);
  picker->setAutoCloseOnSingleSelect(false);
  picker->selectWithAsset(assets[0]);
  picker->selectWithAsset(assets[1]);
  EXPECT_EQ(picker->selectedAssets(), std::vector<AKAssetPtr>{assets[1]});
  EXPECT_EQ(observer->deselected.size(), 1u);
  EXPECT_EQ(changes, 3);
  EXPECT_TRUE(delivered.empty());

  // With auto close the selection confirms the picker; the observers hear after done.
  picker->setAutoCloseOnSingleSelect(true);
  size_t didSelectBefore = delegate->didSelect.size();
  picker->selectWithAsset(assets[0]);
  EXPECT_EQ(changes, 4);  // only the deselection of the previous one
  EXPECT_EQ(delegate->didSelect.size(), didSelectBefore);
  EXPECT_EQ(observer->selected.size(), 3u);
  advance(1);
  drainMainLoop();
  EXPECT_EQ(delivered, std::vector<size_t>{1});
  EXPECT_FALSE(root->presentedViewController());
}

TEST_F(PickerSelectionTest, SelectAllTakesTheShownAlbumUpToTheLimit) {
  auto assets = libraryAssets(4);
  auto picker = makePicker();
  auto albums = loadAlbums(picker);
  ASSERT_FALSE(albums.empty());
  picker->lastGrid->groupId = albums.front();
  auto group = picker->groupDataManager()->fetchGroup(*picker->lastGrid->groupId);
  ASSERT_TRUE(group);
  group->setDisplayCount(3);
  picker->setMaxSelectableCount(2);
  picker->handleSelectAll();
  ASSERT_EQ(picker->selectedAssets().size(), 2u);
  // Newest first, as the grid shows them.
  EXPECT_EQ(picker->selectedAssets()[0]->localIdentifier(), assets[3]->localIdentifier());
  EXPECT_EQ(picker->UIDelegate()->doneButton()->titleForState(UIControlStateNormal), "Done (2)");

  picker->setMaxSelectableCount(0);
  picker->deselectAll();
  closeAlert(picker);
  picker->handleSelectAll();
  EXPECT_EQ(picker->selectedAssets().size(), 3u);  // the display count caps the album

  // No album shown: nothing is selected.
  picker->deselectAll();
  picker->lastGrid->groupId = std::nullopt;
  picker->handleSelectAll();
  EXPECT_TRUE(picker->selectedAssets().empty());
}

// Random operations over a pool of photos and videos under random rules:
// the selection's invariants hold after every step, and every callback
// comes exactly as often as the selection changed.
TEST_F(PickerSelectionTest, RandomSequencesKeepTheSelectionsInvariants) {
  auto assets = libraryAssets(6, true);
  auto picker = makePicker();
  picker->setAllowMultipleTypes(false);
  std::mt19937 random(20261208);
  auto any = [&] { return assets[std::uniform_int_distribution<size_t>(0, assets.size() - 1)(random)]; };
  for (int step = 0; step < 600; ++step) {
    if (step % 100 == 0) {
      picker->setMaxSelectableCount(std::uniform_int_distribution<int64_t>(-1, 4)(random));
      picker->setAllowMultipleTypes(random() % 2);
    }
    auto before = picker->selectedAssetIdentifiers();
    int changesBefore = changes;
    size_t selectedBefore = observer->selected.size(), deselectedBefore = observer->deselected.size();
    int op = static_cast<int>(random() % 5);
    std::vector<AKAssetPtr> batch;
    if (op == 0) {
      picker->selectWithAsset(any());
    } else if (op == 1) {
      for (int i = 0; i < 3; ++i) batch.push_back(any());
      picker->selectWithAssets(batch);
    } else if (op == 2) {
      picker->deselectWithAsset(any());
    } else if (op == 3) {
      picker->removeSelectionWithAsset(any());
    } else if (step % 7 == 0) {
      picker->deselectAll();
    }
    if (picker->presentedViewController()) closeAlert(picker);

    const auto& ids = picker->selectedAssetIdentifiers();
    std::set<std::string> unique(ids.begin(), ids.end());
    ASSERT_EQ(unique.size(), ids.size()) << "step " << step;
    ASSERT_EQ(picker->assets().size(), ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      ASSERT_TRUE(picker->assets().count(ids[i]));
      ASSERT_EQ(picker->indexOf(picker->assets().at(ids[i])), static_cast<int64_t>(i));
      ASSERT_EQ(picker->selectedAssets()[i]->localIdentifier(), ids[i]);
    }
    if (picker->maxSelectableCount() > 0 && ids.size() > before.size()) {
      ASSERT_LE(static_cast<int64_t>(ids.size()), picker->maxSelectableCount());
    }
    // What was added when mixing is off has the first selected asset's type.
    if (!picker->allowMultipleTypes() && ids.size() > before.size()) {
      std::set<std::string> earlier(before.begin(), before.end());
      for (auto& id : ids)
        if (!earlier.count(id)) {
          ASSERT_EQ(picker->assets().at(id)->type(), picker->assets().at(ids[0])->type());
        }
    }
    // Earlier entries keep their order.
    std::vector<std::string> kept;
    for (auto& id : before)
      if (unique.count(id)) kept.push_back(id);
    ASSERT_TRUE(std::equal(kept.begin(), kept.end(), ids.begin()));
    bool changed = ids != before;
    ASSERT_EQ(changes - changesBefore, changed ? 1 : 0) << "step " << step << " op " << op;
    if (op <= 1) {
      ASSERT_EQ(observer->selected.size() - selectedBefore, changed ? 1u : 0u);
    } else if (op == 2) {
      ASSERT_EQ(observer->deselected.size() - deselectedBefore, 1u);
    } else if (op == 3) {
      ASSERT_EQ(observer->deselected.size(), deselectedBefore);
    }
  }
}

}  // namespace picker_selection_test
