#include <gtest/gtest.h>

#include <cmath>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageSymbolConfiguration.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/ScriptedDisplay.h"

namespace ui_button_test {

namespace {

class UIButtonTest : public PlatformTest {};

// Counts the pixels of `image` inside `rect` (points at `scale`) whose colour
// is close to rgb and mostly opaque.
size_t countColour(const UIImagePtr& image, double scale, CGRect rect, int r, int g, int b) {
  auto pixels = RGBAPixels(image->CGImage());
  size_t width = image->CGImage()->width(), count = 0;
  for (size_t y = size_t(rect.origin.y * scale); y < size_t(CGRectGetMaxY(rect) * scale); ++y) {
    for (size_t x = size_t(rect.origin.x * scale); x < size_t(CGRectGetMaxX(rect) * scale);
         ++x) {
      const uint8_t* p = &pixels[(y * width + x) * 4];
      if (p[3] > 200 && std::abs(p[0] - r) < 40 && std::abs(p[1] - g) < 40 &&
          std::abs(p[2] - b) < 40) {
        ++count;
      }
    }
  }
  return count;
}

TEST_F(UIButtonTest, TheTitleLabelShowsTheCurrentStatesTitleInItsColour) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 320, 200));
  auto button = UIButton::buttonWithType(UIButtonType::System);
  window->addSubview(button);
  button->setTitle("Done", UIControlStateNormal);
  button->setTitle("Later", UIControlStateDisabled);
  auto label = button->titleLabel();
  EXPECT_EQ(label->text(), "Done");
  EXPECT_EQ(label->font()->pointSize(), 15);
  EXPECT_EQ(label->superview(), button);
  // Without a colour of its own a system title follows the tint, dimmed
  // while highlighted.
  EXPECT_TRUE(label->textColor()->isEqual(*UIColor::systemBlueColor()));
  window->setTintColor(UIColor::redColor());
  EXPECT_TRUE(label->textColor()->isEqual(*UIColor::redColor()));
  button->setHighlighted(true);
  EXPECT_NEAR(label->textColor()->alpha(), 0.2, 1e-9);
  button->setHighlighted(false);
  button->setEnabled(false);
  EXPECT_EQ(label->text(), "Later");
  EXPECT_LT(label->textColor()->alpha(), 1);
  button->setEnabled(true);
  button->setTitleColor(UIColor::greenColor(), UIControlStateNormal);
  EXPECT_TRUE(label->textColor()->isEqual(*UIColor::greenColor()));
  button->setHighlighted(true);  // dimmed too, unless the state has its own colour
  EXPECT_NEAR(label->textColor()->alpha(), 0.2, 1e-9);
  button->setTitleColor(UIColor::blueColor(), UIControlStateHighlighted);
  EXPECT_TRUE(label->textColor()->isEqual(*UIColor::blueColor()));
  button->setHighlighted(false);
  // A nil colour gives the title back to the tint.
  button->setTitleColor(nullptr, UIControlStateNormal);
  EXPECT_TRUE(label->textColor()->isEqual(*UIColor::redColor()));
  button->setTitle(std::nullopt, UIControlStateNormal);
  EXPECT_TRUE(label->isHidden());

  // A custom button's title is white unless given a colour.
  auto custom = UIButton::buttonWithType(UIButtonType::Custom);
  custom->setTitle("Go", UIControlStateNormal);
  EXPECT_TRUE(custom->titleLabel()->textColor()->isEqual(*UIColor::whiteColor()));
}

TEST_F(UIButtonTest, SizesToTheTitleAndImageAndLaysThemOutSideBySide) {
  auto button = UIButton::buttonWithType(UIButtonType::System);
  button->setTitle("Cancel", UIControlStateNormal);
  button->titleLabel()->setFont(UIFont::systemFontOfSize(17));
  auto font = UIFont::systemFontOfSize(17);
  double titleWidth = std::ceil(font->widthOfText("Cancel"));
  double titleHeight = std::ceil(font->lineHeight());
  button->sizeToFit();
  EXPECT_EQ(button->bounds().size, CGSizeMake(titleWidth, titleHeight));
  EXPECT_EQ(button->intrinsicContentSize(), CGSizeMake(titleWidth, titleHeight));

  auto icon = UIImage::systemImageNamed("xmark");
  ASSERT_TRUE(icon);
  button->setImage(icon, UIControlStateNormal);
  button->setContentEdgeInsets(UIEdgeInsetsMake(5, 8, 5, 8));
  button->sizeToFit();
  CGSize image = icon->size();
  EXPECT_EQ(button->bounds().size,
            CGSizeMake(image.width + titleWidth + 16, std::max(image.height, titleHeight) + 10));

  // Laid out in a wider button the pair is centred, the image first.
  button->setFrame(CGRectMake(0, 0, 200, 44));
  button->layoutIfNeeded();
  CGRect imageFrame = button->imageView()->frame();
  CGRect titleFrame = button->titleLabel()->frame();
  EXPECT_EQ(imageFrame.size, image);
  EXPECT_DOUBLE_EQ(CGRectGetMaxX(imageFrame), titleFrame.origin.x);
  EXPECT_DOUBLE_EQ((imageFrame.origin.x + CGRectGetMaxX(titleFrame)) / 2, 100);
  EXPECT_DOUBLE_EQ(CGRectGetMidY(titleFrame), 22);
  EXPECT_DOUBLE_EQ(CGRectGetMidY(imageFrame), 22);
  // The system button draws its image as a template.
  EXPECT_EQ(button->imageView()->image()->renderingMode(), UIImageRenderingModeAlwaysTemplate);

  // A bottom image inset lifts the image by half of it.
  button->setImageEdgeInsets(UIEdgeInsetsMake(0, 0, 4, 0));
  button->layoutIfNeeded();
  EXPECT_DOUBLE_EQ(CGRectGetMidY(button->imageView()->frame()), 20);

  // A title longer than the room left is cut to it.
  button->setImage(nullptr, UIControlStateNormal);
  button->setImageEdgeInsets(UIEdgeInsetsZero);
  button->setTitle("A rather long title for a small button", UIControlStateNormal);
  button->setFrame(CGRectMake(0, 0, 100, 44));
  button->layoutIfNeeded();
  EXPECT_EQ(button->titleLabel()->frame().size.width, 84);
  EXPECT_NE(button->titleLabel()->textLayout().lines.at(0).find("\u2026"), std::string::npos);
  EXPECT_TRUE(button->imageView()->isHidden());
}

TEST_F(UIButtonTest, RendersItsBackgroundImageAndTitle) {
  UseScreenProfile(UIScreenProfile::phone());
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 200, 100));
  window->setBackgroundColor(UIColor::whiteColor());
  auto button = UIButton::buttonWithType(UIButtonType::System);
  button->setFrame(CGRectMake(10, 10, 180, 80));
  window->addSubview(button);
  button->setTitle("MMMM", UIControlStateNormal);
  button->titleLabel()->setFont(UIFont::boldSystemFontOfSize(30));
  button->setTitleColor(UIColor::redColor(), UIControlStateNormal);
  button->setTitleColor(UIColor::redColor(), UIControlStateHighlighted);
  auto swatch = UIGraphicsCreateImageContext(CGSizeMake(4, 4), true, 1);
  CGContextSetRGBFillColor(swatch, 0, 0, 1, 1);
  CGContextFillRect(swatch, CGRectMake(0, 0, 4, 4));
  button->setBackgroundImage(UIImage::imageWithCGImage(CGBitmapContextCreateImage(swatch)),
                             UIControlStateHighlighted);

  auto normal = RenderView(*window, 2);
  SaveSnapshot(normal, "uikit-button");
  button->layoutIfNeeded();
  CGRect title = button->convertRectToView(button->titleLabel()->frame(), nullptr);
  EXPECT_GT(countColour(normal, 2, title, 255, 0, 0), 200u);
  EXPECT_EQ(countColour(normal, 2, CGRectMake(0, 0, 200, 100), 0, 0, 255), 0u);

  // Highlighted: the background image fills the bounds behind the title.
  button->setHighlighted(true);
  auto highlighted = RenderView(*window, 2);
  EXPECT_GT(countColour(highlighted, 2, CGRectMake(10, 10, 180, 80), 0, 0, 255), 40000u);
  EXPECT_GT(countColour(highlighted, 2, title, 255, 0, 0), 200u);
}

TEST_F(UIButtonTest, FitsTheLargerOfItsContentAndItsBackgroundImage) {
  auto plate = [](double w, double h) {
    auto context = UIGraphicsCreateImageContext(CGSizeMake(w, h), false, 1);
    return UIImage::imageWithCGImage(CGBitmapContextCreateImage(context));
  };
  auto font = UIFont::systemFontOfSize(13);
  double lineHeight = std::ceil(font->lineHeight());
  double wide = std::ceil(font->widthOfText("Allow Access"));
  struct Case {
    CGSize background;
    std::string title;
    double inset;   // on every side
    bool selected;  // only the selected state has its own background, 40 x 20
    CGSize fits;
  };
  const Case cases[] = {
      {{26, 30}, "", 0, false, {26, 30}},
      {{26, 30}, "", 5, false, {26, 30}},
      {{26, 30}, "", 16, false, {32, 32}},
      {{wide, 30}, "Allow Access", 0, false, {wide, 30}},
      {{wide - 1, lineHeight}, "Allow Access", 0, false, {wide, lineHeight}},
      {{wide + 1, lineHeight - 1}, "Allow Access", 0, false, {wide + 1, lineHeight}},
      {{26, 30}, "", 0, true, {40, 20}},
      {{0, 0}, "", 0, false, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title + " " + std::to_string(c.background.width) + "x" +
                 std::to_string(c.background.height) + " inset " + std::to_string(c.inset));
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    button->titleLabel()->setFont(font);
    button->setTitle(c.title, UIControlStateNormal);
    if (c.background.width > 0)
      button->setBackgroundImage(plate(c.background.width, c.background.height),
                                 UIControlStateNormal);
    button->setBackgroundImage(plate(40, 20), UIControlStateSelected);
    button->setContentEdgeInsets(UIEdgeInsetsMake(c.inset, c.inset, c.inset, c.inset));
    button->setSelected(c.selected);
    button->sizeToFit();
    EXPECT_EQ(button->bounds().size, c.fits);
    EXPECT_EQ(button->intrinsicContentSize(), c.fits);
  }
}

}  // namespace

}  // namespace ui_button_test
