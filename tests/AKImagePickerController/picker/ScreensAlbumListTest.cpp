#include <gtest/gtest.h>

#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "ScreensLibrarySupport.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UINavigationBar.h"
#include "support/ui/UITouchDriver.h"

namespace screens_album_list_test {

namespace {

// Root photos, an album "Trips" with two photos and a video, and an empty
// album "Attic".
class AlbumListTest : public ScreensLibraryTest {
 protected:
  void SetUp() override {
    ScreensLibraryTest::SetUp();
    for (int i = 0; i < 3; ++i) addPhoto("p" + std::to_string(i) + ".png", {200, 40, 40, 255}, 1000 + i);
    addPhoto("Trips/t0.png", {40, 200, 40, 255}, 2000);
    addPhoto("Trips/t1.png", {40, 40, 200, 255}, 2001);
    addVideo("Trips/v.mp4", 10, 2002);
    std::filesystem::create_directories(path("Attic"));
    picker = std::make_shared<AKImagePickerController>();
  }
  // A list loaded with every album, its view on screen.
  std::shared_ptr<AKAssetGroupListVC> makeList(bool showsEmpty,
                                               std::optional<PHAssetCollectionSubtype> subtype,
                                               size_t albums = 5) {
    auto list = std::make_shared<AKAssetGroupListVC>(
        picker, subtype, [this](const std::optional<std::string>& id) { changes.push_back(id); });
    list->setShowsEmptyAlbums(showsEmpty);
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    auto navigation = std::make_shared<AKUINavigationController>(list);
    window->setRootViewController(navigation);
    window->makeKeyAndVisible();
    list->loadGroups();
    EXPECT_TRUE(RunMainLoopUntil([&] {
      auto ids = picker->groupDataManager()->groupIds();
      return ids && ids->size() == albums && list->groups() && list->groups()->size() == ids->size();
    }));
    list->tableView()->layoutIfNeeded();
    return list;
  }
  std::vector<std::string> titles(const AKAssetGroupListVC& list) {
    std::vector<std::string> out;
    for (auto& id : list.displayGroups().value_or(std::vector<std::string>{})) out.push_back(title(id));
    return out;
  }
  std::string title(const std::optional<std::string>& id) {
    auto group = id ? picker->groupDataManager()->fetchGroup(*id) : nullptr;
    return group && group->groupName() ? *group->groupName() : "-";
  }
  std::shared_ptr<AKAssetGroupCell> row(AKAssetGroupListVC& list, int64_t r) {
    return std::dynamic_pointer_cast<AKAssetGroupCell>(
        list.tableView()->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(r, 0)));
  }
  std::optional<int64_t> selectedRow(AKAssetGroupListVC& list) {
    auto path = list.tableView()->indexPathForSelectedRow();
    return path ? std::optional<int64_t>(path->row()) : std::nullopt;
  }

  std::vector<std::optional<std::string>> changes;
};

TEST_F(AlbumListTest, ListsAlbumsWithCountsAndTheTickOnTheFirst) {
  auto list = makeList(true, std::nullopt);
  EXPECT_EQ(titles(*list), (std::vector<std::string>{"Recents", "Videos", "Favorites", "Attic", "Trips"}));
  EXPECT_EQ(list->tableView()->numberOfRowsInSection(0), 5);
  EXPECT_EQ(title(list->selectedGroup()), "Recents");
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.back(), list->selectedGroup());
  EXPECT_EQ(selectedRow(*list), 0);

  EXPECT_EQ(row(*list, 0)->totalCountLabel()->text(), "6");
  EXPECT_EQ(row(*list, 0)->groupNameLabel()->text(), "Recents");
  EXPECT_EQ(row(*list, 0)->tag(), 1);
  EXPECT_EQ(row(*list, 3)->totalCountLabel()->text(), "0");
  ASSERT_TRUE(row(*list, 3)->thumbnailImageView()->image());
  EXPECT_EQ(row(*list, 3)->thumbnailImageView()->image()->size(),
            AKImagePickerControllerResource::image("empty_album", true, false)->size());
  // The thumbnail of an album is its newest asset.
  EXPECT_TRUE(RunMainLoopUntil([&] {
    auto image = row(*list, 4)->thumbnailImageView()->image();
    return image && image->size().width > 10;
  }));

  // Table look, title and cancel item.
  EXPECT_EQ(list->tableView()->rowHeight(), 70);
  EXPECT_EQ(list->tableView()->separatorStyle(), UITableViewCellSeparatorStyle::None);
  EXPECT_FALSE(list->clearsSelectionOnViewWillAppear());
  EXPECT_EQ(list->title(), AKImagePickerControllerResource::localizedString("picker.albums", ""));
  auto cancel = list->navigationItem()->leftBarButtonItem();
  ASSERT_TRUE(cancel);
  EXPECT_EQ(cancel->systemItem(), UIBarButtonSystemItem::Cancel);
  EXPECT_EQ(list->preferredContentSize(), CGSizeMake(UIViewNoIntrinsicMetric, 5 * 70));
}

TEST_F(AlbumListTest, EmptyAlbumsCanBeHiddenAndTheDefaultSubtypeWins) {
  auto list = makeList(false, PHAssetCollectionSubtypeAlbumRegular);
  EXPECT_EQ(titles(*list), (std::vector<std::string>{"Recents", "Videos", "Trips"}));
  EXPECT_EQ(title(list->selectedGroup()), "Trips");
  EXPECT_EQ(title(changes.back()), "Trips");
  EXPECT_EQ(selectedRow(*list), 2);
  EXPECT_EQ(list->preferredContentSize(), CGSizeMake(UIViewNoIntrinsicMetric, 3 * 70));
}

TEST_F(AlbumListTest, AnUnmatchedDefaultSubtypeSelectsTheFirstAlbum) {
  // Favorites exists but is empty, so it is not shown.
  auto list = makeList(false, PHAssetCollectionSubtypeSmartAlbumFavorites);
  EXPECT_EQ(title(list->selectedGroup()), "Recents");
  EXPECT_EQ(title(changes.back()), "Recents");
}

TEST_F(AlbumListTest, AChosenRowTellsTheOwnerAndClosesAPresentedList) {
  auto list = makeList(true, std::nullopt);
  auto presenter = std::make_shared<UIViewController>();
  window->setRootViewController(presenter);
  auto navigation = std::make_shared<AKUINavigationController>(list);
  presenter->presentViewController(navigation, false);
  advance(1);
  ASSERT_TRUE(list->presentingViewController());
  changes.clear();
  list->tableViewDidSelectRowAtIndexPath(*list->tableView(), NSIndexPath::indexPathForRow(4, 0));
  advance(1);
  EXPECT_FALSE(presenter->presentedViewController());
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(title(changes[0]), "Trips");
  EXPECT_EQ(title(list->selectedGroup()), "Trips");

  // The cancel item dismisses without a choice.
  presenter->presentViewController(navigation, false);
  advance(1);
  list->cancelButtonPressed();
  advance(1);
  EXPECT_FALSE(presenter->presentedViewController());
  EXPECT_EQ(changes.size(), 1u);
}

TEST_F(AlbumListTest, FollowsAlbumsAddedAndRemoved) {
  auto list = makeList(true, PHAssetCollectionSubtypeAlbumRegular);
  ASSERT_EQ(title(list->selectedGroup()), "Attic");
  size_t calls = changes.size();
  std::vector<CGSize> sizes;
  auto observation = list->observe("preferredContentSize", NSKeyValueObservingOptionNew,
                                   [&](NSObject*, const Value&) { sizes.push_back(list->preferredContentSize()); });

  // A new album: one more row, the same row stays ticked, the popover hears.
  addPhoto("Pets/cat.png", {90, 90, 90, 255}, 3000);
  synchronize();
  ASSERT_TRUE(RunMainLoopUntil([&] { return list->displayGroups()->size() == 6; }));
  EXPECT_EQ(list->tableView()->numberOfRowsInSection(0), 6);
  EXPECT_EQ(selectedRow(*list), 3);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back(), CGSizeMake(UIViewNoIntrinsicMetric, 6 * 70));

  // Another album goes: the selection stays.
  std::filesystem::remove_all(path("Trips"));
  synchronize();
  ASSERT_TRUE(RunMainLoopUntil([&] {
    auto shown = titles(*list);
    return std::find(shown.begin(), shown.end(), "Trips") == shown.end() && shown.size() == 5;
  }));
  EXPECT_EQ(title(list->selectedGroup()), "Attic");
  EXPECT_EQ(changes.size(), calls);

  // The selected album goes: the first album takes over and the owner hears.
  std::filesystem::remove_all(path("Attic"));
  synchronize();
  ASSERT_TRUE(RunMainLoopUntil([&] { return titles(*list).size() == 4; }));
  EXPECT_EQ(title(list->selectedGroup()), "Recents");
  ASSERT_EQ(changes.size(), calls + 1);
  EXPECT_EQ(title(changes.back()), "Recents");
  EXPECT_EQ(selectedRow(*list), 0);
  observation->invalidate();
}

TEST_F(AlbumListTest, ASelectedAlbumThatEmptiesLeavesAHidingListForTheFirst) {
  auto list = makeList(false, PHAssetCollectionSubtypeAlbumRegular);
  ASSERT_EQ(title(list->selectedGroup()), "Trips");
  size_t calls = changes.size();
  for (auto name : {"t0.png", "t1.png", "v.mp4"}) std::filesystem::remove(path(std::string("Trips/") + name));
  synchronize();
  EXPECT_EQ(title(list->selectedGroup()), "Recents");
  EXPECT_EQ(titles(*list), (std::vector<std::string>{"Recents"}));
  ASSERT_EQ(changes.size(), calls + 1);
  EXPECT_EQ(selectedRow(*list), 0);
}

// The list as a person sees it from the grid's title button: each row's name
// and count, then the ticked row. Two more albums: "Box", empty, and "Pets"
// with a photo.
class AlbumListFromGridTest : public AlbumListTest {
 protected:
  void SetUp() override {
    AlbumListTest::SetUp();
    std::filesystem::create_directories(path("Box"));
    addPhoto("Pets/cat.png", {90, 90, 90, 255}, 3000);
    expectedAlbums = 7;
  }
  void openList(UITouchDriver& hand) {
    auto button = grid->selectGroupButton();
    ASSERT_TRUE(button && button->window());
    CGRect b = button->bounds();
    hand.tap(button->convertPointToView({CGRectGetMidX(b), CGRectGetMidY(b)}, nullptr));
    advance(1);
    ASSERT_TRUE(grid->groupListVC()->tableView()->window()) << "the popover is not up";
  }
  std::vector<std::string> rowsShown() {
    auto list = grid->groupListVC();
    auto table = list->tableView();
    table->layoutIfNeeded();
    std::vector<std::string> out;
    for (int64_t r = 0; r < table->numberOfRowsInSection(0); ++r) {
      auto cell = row(*list, r);
      out.push_back(cell ? cell->groupNameLabel()->text() + " " + cell->totalCountLabel()->text()
                         : "?");
    }
    auto ticked = selectedRow(*list);
    out.push_back("ticked " + (ticked ? std::to_string(*ticked) : std::string("none")));
    return out;
  }
};

TEST_F(AlbumListFromGridTest, CountsFollowTheLibraryWhetherTheListIsOpenOrOpenedLater) {
  ASSERT_TRUE(showPicker());
  UITouchDriver hand(window);
  // An album removed before the list was ever opened is not listed.
  std::filesystem::remove_all(path("Attic"));
  synchronize();
  openList(hand);
  EXPECT_EQ(rowsShown(), (std::vector<std::string>{"Recents 7", "Videos 1", "Favorites 0", "Box 0",
                                                   "Pets 1", "Trips 3", "ticked 0"}));

  // A video deleted while the list shows: every album it was in counts one less.
  std::filesystem::remove(path("Trips/v.mp4"));
  synchronize();
  EXPECT_EQ(rowsShown(), (std::vector<std::string>{"Recents 6", "Videos 0", "Favorites 0", "Box 0",
                                                   "Pets 1", "Trips 2", "ticked 0"}));
  // An album renamed: only its name changed.
  ASSERT_EQ(rename(path("Box").c_str(), path("Crate").c_str()), 0);
  synchronize();
  EXPECT_EQ(rowsShown(), (std::vector<std::string>{"Recents 6", "Videos 0", "Favorites 0", "Crate 0",
                                                   "Pets 1", "Trips 2", "ticked 0"}));

  // Closed, a photo added and an album gone; opened again, the list says so.
  hand.tap({187, 640});  // the popover's backdrop
  advance(1);
  ASSERT_FALSE(grid->groupListVC()->tableView()->window());
  addPhoto("Trips/t2.png", {40, 40, 40, 255}, 2003);
  std::filesystem::remove_all(path("Pets"));
  synchronize();
  openList(hand);
  EXPECT_EQ(rowsShown(), (std::vector<std::string>{"Recents 6", "Videos 0", "Favorites 0", "Crate 0",
                                                   "Trips 3", "ticked 0"}));
}

TEST_F(AlbumListTest, CellLayoutSeparatorAndStaleThumbnails) {
  auto cell = std::make_shared<AKAssetGroupCell>();
  cell->setFrame(CGRectMake(0, 0, 375, 70));
  cell->layoutIfNeeded();
  EXPECT_EQ(cell->thumbnailImageView()->frame(), CGRectMake(10, 10, 50, 50));
  EXPECT_EQ(cell->groupNameLabel()->frame(), CGRectMake(70, 15, 200, 20));
  EXPECT_EQ(cell->totalCountLabel()->frame(), CGRectMake(70, 40, 200, 20));
  EXPECT_EQ(cell->groupNameLabel()->font()->pointSize(), 13);
  EXPECT_EQ(cell->customSeparator()->frame().origin.y, 69);
  EXPECT_EQ(cell->customSeparator()->superview().get(), cell.get());
  EXPECT_EQ(cell->selectedBackgroundView(), cell->customSelectedBackgroundView());
  // The tick sits 20 points from the right edge.
  cell->customSelectedBackgroundView()->setFrame(cell->bounds());
  auto tick = cell->customSelectedBackgroundView()->subviews().at(0);
  EXPECT_DOUBLE_EQ(CGRectGetMaxX(tick->frame()), 375 - 20);
  EXPECT_DOUBLE_EQ(CGRectGetMidY(tick->frame()), 35);

  auto separator = cell->customSeparator();
  auto grey = separator->backgroundColor();
  separator->setBackgroundColor(UIColor::clearColor());
  EXPECT_EQ(separator->backgroundColor(), grey);
  separator->setBackgroundColor(UIColor::redColor());
  EXPECT_TRUE(separator->backgroundColor()->isEqual(*UIColor::redColor()));
  separator->setBackgroundColor(nullptr);
  EXPECT_FALSE(separator->backgroundColor());

  // A cell reused for an empty album before the first album's thumbnail came.
  auto manager = picker->groupDataManager();
  std::optional<std::vector<std::string>> ids;
  manager->fetchGroups([&](const std::optional<std::vector<std::string>>& got, const NSErrorPtr&) { ids = got; });
  ASSERT_TRUE(RunMainLoopUntil([&] { return ids && ids->size() == 5; }));
  auto options = std::make_shared<PHImageRequestOptions>();
  auto recents = manager->fetchGroup((*ids)[0]);
  auto attic = manager->fetchGroup((*ids)[3]);
  cell->configureWith(recents, 1, manager, options);
  cell->configureWith(attic, 4, manager, options);
  auto empty = cell->thumbnailImageView()->image();
  ASSERT_TRUE(empty);
  // Another cell's thumbnail of the same album shows when the first would have.
  auto other = std::make_shared<AKAssetGroupCell>();
  other->configureWith(recents, 1, manager, options);
  ASSERT_TRUE(RunMainLoopUntil([&] { return other->thumbnailImageView()->image() != nullptr; }));
  drainMainLoop();
  EXPECT_EQ(cell->thumbnailImageView()->image(), empty);
  EXPECT_EQ(cell->totalCountLabel()->text(), "0");

  // A display count caps what the count label shows.
  recents->setDisplayCount(2);
  cell->configureWith(recents, 1, manager, options);
  EXPECT_EQ(cell->totalCountLabel()->text(), "2");
  recents->setDisplayCount(20);
  cell->configureWith(recents, 1, manager, options);
  EXPECT_EQ(cell->totalCountLabel()->text(), "6");
  drainMainLoop();
}

}  // namespace

}  // namespace screens_album_list_test
