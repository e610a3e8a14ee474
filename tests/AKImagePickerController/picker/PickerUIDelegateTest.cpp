#include <gtest/gtest.h>

#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "PickerCoreSupport.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/uikit/NSAttributedString.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIBarLook.h"
#include "platform/uikit/UINavigationBar.h"

namespace picker_ui_delegate_test {

using PickerUIDelegateTest = PickerCoreTest;
using R = AKImagePickerControllerResource;

TEST_F(PickerUIDelegateTest, TheDoneButtonReadsTheCountAndKeepsOneTarget) {
  auto assets = libraryAssets(3);
  std::vector<size_t> delivered;
  auto picker = presentPicker([&](TestPicker& p) {
    p.setInline(true);  // done delivers without dismissing
    p.setDidSelectAssets([&](const std::vector<AKAssetPtr>& list) { delivered.push_back(list.size()); });
  });
  auto button = picker->UIDelegate()->doneButton();
  ASSERT_TRUE(button);
  EXPECT_EQ(button->titleForState(UIControlStateNormal), "Done");
  picker->selectWithAsset(assets[0]);
  picker->selectWithAsset(assets[1]);
  EXPECT_EQ(button->titleForState(UIControlStateNormal), "Done (2)");
  EXPECT_EQ(button->allTargets().size(), 1u);
  EXPECT_EQ(button->allTargets()[0], picker);
  // Fitted and pinned: one width and one height constraint, kept up to date.
  EXPECT_GT(button->bounds().size.width, 0);
  int widths = 0, heights = 0;
  for (auto& c : button->constraints()) {
    if (c->firstAttribute() == NSLayoutAttributeWidth) {
      ++widths;
      EXPECT_EQ(c->constant(), button->bounds().size.width);
    }
    if (c->firstAttribute() == NSLayoutAttributeHeight) ++heights;
  }
  EXPECT_EQ(widths, 1);
  EXPECT_EQ(heights, 1);
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(delivered, std::vector<size_t>{2});

  // Select-all: the button selects the album while nothing is selected.
  picker->deselectAll();
  picker->setAllowSelectAll(true);
  picker->UIDelegate()->updateDoneButtonTitle(*button);
  EXPECT_EQ(button->titleForState(UIControlStateNormal), "Select All");
  auto albums = loadAlbums(picker);
  ASSERT_FALSE(albums.empty());
  picker->lastGrid->groupId = albums.front();
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(picker->selectedAssets().size(), 3u);
  EXPECT_EQ(button->titleForState(UIControlStateNormal), "Done(3)");
  EXPECT_EQ(button->allTargets().size(), 1u);
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(delivered, (std::vector<size_t>{2, 3}));
}

TEST_F(PickerUIDelegateTest, LocalisedFormatsFillOnlyTheirPlaceholderWithTheGroupedCount) {
  auto picker = presentPicker();
  R::setCustomLocalizationBlock([](const std::string& key) -> std::optional<std::string> {
    if (key == "picker.select.title") return std::string("%d%% %s chosen: %1$@ of %@");
    if (key == "picker.select.maxLimitReached.error.message") return std::string("100% full at %@ %n");
    return std::nullopt;
  });
  // A thousand selected assets, without a library: in-memory images.
  std::vector<AKAssetPtr> many;
  for (int i = 0; i < 1000; ++i) many.push_back(AKAsset::initWithImage(std::make_shared<UIImage>()));
  picker->selectWithAssets(many);
  ASSERT_EQ(picker->selectedAssets().size(), 1000u);
  EXPECT_EQ(picker->UIDelegate()->doneButton()->titleForState(UIControlStateNormal),
            "%d%% %s chosen: 1,000 of %@");

  picker->setMaxSelectableCount(1000);
  picker->selectWithAsset(AKAsset::initWithImage(std::make_shared<UIImage>()));
  auto alert = std::dynamic_pointer_cast<UIAlertController>(picker->presentedViewController());
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->alertTitle(), "Selection Limit Reached");
  EXPECT_EQ(alert->message(), "100% full at 1,000 %n");
  EXPECT_TRUE(picker->UIDelegate()->isMaxLimitAlertDisplayed());
  advance(1);
  drainMainLoop();
}

TEST_F(PickerUIDelegateTest, TheAlbumTitleButtonOpensTheListOnlyWithSeveralAlbums) {
  auto picker = presentPicker();
  auto delegate = picker->UIDelegate();
  auto group = std::make_shared<AKAssetGroup>("g1");
  group->setGroupName("Recents");
  // Albums not loaded yet: the bare name, disabled.
  auto button = delegate->imagePickerControllerSelectGroupButton(*picker, group);
  EXPECT_EQ(button->titleForState(UIControlStateNormal), "Recents");
  EXPECT_FALSE(button->isEnabled());
  EXPECT_EQ(button->titleLabel()->font()->pointSize(), 18);
  EXPECT_TRUE(button->titleColorForState(UIControlStateNormal)->isEqual(*UIColor::labelColor()));

  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  ASSERT_TRUE(WriteFixtureImage(path("Trips/b.jpg"), "public.jpeg", 8, 8));
  ASSERT_GT(loadAlbums(picker).size(), 1u);
  EXPECT_EQ(delegate->imagePickerControllerSelectGroupButton(*picker, group), button);  // made once
  EXPECT_EQ(button->titleForState(UIControlStateNormal), "Recents  \u25BE");
  EXPECT_TRUE(button->isEnabled());
  group->setGroupName(std::nullopt);
  delegate->imagePickerControllerSelectGroupButton(*picker, group);
  EXPECT_EQ(button->titleForState(UIControlStateNormal), "  \u25BE");
}

TEST_F(PickerUIDelegateTest, DefaultsAndClassesAreTheScreensOwn) {
  auto delegate = std::make_shared<AKImagePickerControllerBaseUIDelegate>();
  EXPECT_TRUE(delegate->imagePickerControllerCollectionViewBackgroundColor()->isEqual(*UIColor::whiteColor()));
  EXPECT_EQ(delegate->imagePickerControllerGroupListPresentationStyle(), AKImagePickerGroupListPresentationStyle::popover);
  EXPECT_TRUE(delegate->imagePickerControllerAllowsLongPressPreview());
  EXPECT_EQ(delegate->imagePickerControllerCollectionImageCell().reuseIdentifier, "AKImageAssetIdentifier");
  EXPECT_EQ(delegate->imagePickerControllerCollectionCameraCell().reuseIdentifier, "AKImageCameraIdentifier");
  EXPECT_EQ(delegate->imagePickerControllerCollectionVideoCell().reuseIdentifier, "AKVideoAssetIdentifier");
  // Classes are made through the runtime by name.
  NSClassRegistry::registerClass("AKImagePickerController.AKAssetGroupDetailVideoCell",
                                 [] { return std::make_shared<UICollectionViewCell>(); });
  EXPECT_TRUE(delegate->imagePickerControllerCollectionVideoCell().make());
  NSClassRegistry::registerClass("AKImagePickerController.AKAssetGroupGridLayout",
                                 [] { return std::make_shared<UICollectionViewFlowLayout>(); });
  auto picker = std::make_shared<TestPicker>();
  EXPECT_TRUE(std::dynamic_pointer_cast<UICollectionViewFlowLayout>(delegate->layoutForImagePickerController(*picker)()));

  // The navigation bar's look reaches the done and album buttons.
  UINavigationBar::appearance().tintColor = UIColor::redColor();
  UINavigationBar::appearance().titleTextAttributes =
      std::map<std::string, Value>{{NSForegroundColorAttributeName, Value(std::static_pointer_cast<NSObject>(UIColor::greenColor()))},
                                   {NSFontAttributeName, Value(std::static_pointer_cast<NSObject>(UIFont::systemFontOfSize(12)))}};
  picker->setUIDelegate(delegate);
  EXPECT_TRUE(delegate->createDoneButtonIfNeeded()->titleColorForState(UIControlStateNormal)->isEqual(*UIColor::redColor()));
  auto title = delegate->createSelectGroupButtonIfNeeded();
  EXPECT_TRUE(title->titleColorForState(UIControlStateNormal)->isEqual(*UIColor::greenColor()));
  EXPECT_EQ(title->titleLabel()->font()->pointSize(), 12);
  UINavigationBar::appearance() = UIBarLook();
}

}  // namespace picker_ui_delegate_test
