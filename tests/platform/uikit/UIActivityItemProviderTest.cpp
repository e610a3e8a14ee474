#include <gtest/gtest.h>

#include "platform/uikit/UIActivityItemProvider.h"
#include "platform/uikit/UIActivityViewController.h"
#include "support/TestEnvironment.h"

namespace ui_activity_item_provider_test {

namespace {

class UIActivityItemProviderTest : public PlatformTest {};

// Makes a string naming the activity it was made for, counting its runs.
class Maker : public UIActivityItemProvider {
 public:
  Maker() : UIActivityItemProvider(Value("placeholder")) {}
  Value item() override {
    ++runs;
    return Value("made for " + activityType().value_or("nothing"));
  }
  int runs = 0;
};

TEST_F(UIActivityItemProviderTest, WorkRunsOnceOnTheFirstRequest) {
  auto maker = std::make_shared<Maker>();
  UIActivityViewController sheet({Value(std::static_pointer_cast<NSObject>(maker))}, {});
  EXPECT_EQ(sheet.placeholderItems(), (ValueList{Value("placeholder")}));
  EXPECT_EQ(maker->runs, 0);
  EXPECT_EQ(sheet.itemsForActivityType(std::string(UIActivityTypeMail)),
            (ValueList{Value(std::string("made for ") + UIActivityTypeMail)}));
  EXPECT_EQ(sheet.itemsForActivityType(std::string(UIActivityTypeMessage)),
            (ValueList{Value(std::string("made for ") + UIActivityTypeMail)}));
  EXPECT_EQ(maker->runs, 1);
}

}  // namespace

}  // namespace ui_activity_item_provider_test
