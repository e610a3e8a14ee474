#include <gtest/gtest.h>

#include "support/TestEnvironment.h"

#include "platform/foundation/Value.h"
#include "platform/uikit/UIActivityViewController.h"
#include "platform/uikit/UIWindow.h"

namespace ui_activity_view_controller_test {

namespace {

// An item source that answers per activity and counts the questions.
class FakeSource : public NSObject, public UIActivityItemSource {
 public:
  Value activityViewControllerPlaceholderItem(UIActivityViewController&) override {
    return Value("placeholder");
  }
  Value activityViewControllerItemForActivityType(
      UIActivityViewController&, const std::optional<UIActivityType>& type) override {
    ++asked;
    return type == UIActivityTypeMail ? Value("for mail") : Value();
  }
  std::optional<std::string> activityViewControllerSubjectForActivityType(
      UIActivityViewController&, const std::optional<UIActivityType>&) override {
    return subject;
  }
  int asked = 0;
  std::optional<std::string> subject;
};

using UIActivityViewControllerTest = PlatformTest;

TEST_F(UIActivityViewControllerTest, ResolvesItemsAndSubjectsThroughTheirSources) {
  auto source = std::make_shared<FakeSource>();
  UIActivityViewController sheet(
      {Value("plain"), Value(std::static_pointer_cast<NSObject>(source))},
      {std::make_shared<UIActivity>("com.example.save", "Save")});
  EXPECT_EQ(sheet.applicationActivities().front()->activityType(), "com.example.save");
  EXPECT_EQ(sheet.placeholderItems(), (ValueList{Value("plain"), Value("placeholder")}));
  EXPECT_EQ(sheet.itemsForActivityType(std::string(UIActivityTypeMail)),
            (ValueList{Value("plain"), Value("for mail")}));
  // A source answering nothing for an activity leaves its item out.
  EXPECT_EQ(sheet.itemsForActivityType(std::string(UIActivityTypePrint)),
            ValueList{Value("plain")});
  EXPECT_EQ(source->asked, 2);

  EXPECT_EQ(sheet.subjectForActivityType(std::nullopt), std::nullopt);
  sheet.setValueForKey(Value("by key"), "subject");
  EXPECT_EQ(sheet.valueForKey("subject"), Value("by key"));
  EXPECT_EQ(sheet.subjectForActivityType(std::nullopt), "by key");
  source->subject = "from source";
  EXPECT_EQ(sheet.subjectForActivityType(std::nullopt), "from source");
  sheet.setValueForKey(Value(), "subject");
  EXPECT_TRUE(sheet.valueForKey("subject").isNull());
  EXPECT_DEATH(sheet.setValueForKey(Value("x"), "title"),
               "not key value coding-compliant for the key title");
}

class UIActivityViewControllerFlow : public PlatformTest {};

TEST_F(UIActivityViewControllerFlow, EndsOnceWhenTheUserChooses) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 320, 480));
  auto root = std::make_shared<UIViewController>();
  window->setRootViewController(root);
  auto sheet = std::make_shared<UIActivityViewController>(
      ValueList{Value("x")}, std::vector<std::shared_ptr<UIActivity>>{});
  int calls = 0;
  std::optional<UIActivityType> seen;
  sheet->setCompletionWithItemsHandler([&](const std::optional<UIActivityType>& type,
                                           bool completed, const ValueList& returned,
                                           const NSErrorPtr& error) {
    ++calls;
    seen = type;
    EXPECT_TRUE(completed);
    EXPECT_EQ(returned, ValueList{Value("edited")});
    EXPECT_EQ(error, nullptr);
  });
  EXPECT_FALSE(sheet->completeWithActivityType(std::string(UIActivityTypeMail), true));
  EXPECT_EQ(calls, 0);  // not on screen yet

  root->presentViewController(sheet, true);
  EXPECT_TRUE(
      sheet->completeWithActivityType(std::string(UIActivityTypeMail), true, {Value("edited")}));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, UIActivityTypeMail);
  advance(UIViewController::kTransitionDuration);  // the sheet slides away
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_FALSE(sheet->completeWithActivityType(std::nullopt, false));
  EXPECT_EQ(calls, 1);
}

}  // namespace

}  // namespace ui_activity_view_controller_test
