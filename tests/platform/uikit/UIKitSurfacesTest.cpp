// Semantic colours, named and resizable images, text views and string
// measurement.

#include <gtest/gtest.h>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/uikit/internal/NSStringDrawing.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UITextView.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace ui_kit_surfaces_test {

namespace {

using UIKitSurfacesTest = PlatformTest;

std::array<double, 4> rgba(const UIColorPtr& c) {
  std::array<double, 4> v{};
  c->getRed(&v[0], &v[1], &v[2], &v[3]);
  return v;
}

// Sets the current trait collection for the scope.
struct ScopedStyle {
  UITraitCollection old = UITraitCollection::currentTraitCollection();
  explicit ScopedStyle(UIUserInterfaceStyle style) {
    UITraitCollection::setCurrentTraitCollection(
        UITraitCollection::traitCollectionWithUserInterfaceStyle(style));
  }
  ~ScopedStyle() { UITraitCollection::setCurrentTraitCollection(old); }
};

TEST_F(UIKitSurfacesTest, SemanticColoursHaveLightAndDarkAppearances) {
  auto label = UIColor::labelColor(), secondary = UIColor::secondaryLabelColor();
  EXPECT_EQ(rgba(label), (std::array<double, 4>{0, 0, 0, 1}));
  EXPECT_NEAR(rgba(secondary)[3], 0.6, 1e-9);
  EXPECT_NEAR(rgba(UIColor::systemGray5Color())[0], 229 / 255.0, 1e-9);
  EXPECT_NEAR(rgba(UIColor::systemGray6Color())[2], 247 / 255.0, 1e-9);
  {
    ScopedStyle dark(UIUserInterfaceStyleDark);
    EXPECT_EQ(rgba(label), (std::array<double, 4>{1, 1, 1, 1}));
    EXPECT_NEAR(rgba(UIColor::systemGray5Color())[0], 44 / 255.0, 1e-9);
    EXPECT_NEAR(rgba(UIColor::systemBackgroundColor())[0], 0, 1e-9);
    // Drawing reads the resolved colour too.
    auto c = UIGraphicsCreateImageContext(CGSizeMake(1, 1), true, 1);
    UIGraphicsPushContext(c);
    UIColor::systemGray6Color()->setFill();
    UIRectFill(CGRectMake(0, 0, 1, 1));
    UIGraphicsPopContext();
    EXPECT_EQ(RGBAPixels(CGBitmapContextCreateImage(c))[0], 28);
  }
  // Resolving fixes one appearance whatever the current traits.
  auto darkLabel = label->resolvedColorWithTraitCollection(
      UITraitCollection::traitCollectionWithUserInterfaceStyle(UIUserInterfaceStyleDark));
  EXPECT_FALSE(darkLabel->isDynamic());
  EXPECT_EQ(rgba(darkLabel)[0], 1);
  EXPECT_TRUE(UIColor::labelColor()->isEqual(*label));
  EXPECT_FALSE(darkLabel->isEqual(*label));
  // Alpha copies keep both appearances.
  auto faded = label->colorWithAlphaComponent(0.5);
  ScopedStyle dark(UIUserInterfaceStyleDark);
  EXPECT_EQ(rgba(faded), (std::array<double, 4>{1, 1, 1, 0.5}));
  auto provided = UIColor::colorWithDynamicProvider([](const UITraitCollection& t) {
    return t.userInterfaceStyle == UIUserInterfaceStyleDark ? UIColor::redColor()
                                                             : UIColor::blueColor();
  });
  EXPECT_EQ(rgba(provided)[0], 1);
}

// A 6 x 6 point image at 1x: a 2-point red frame around a blue middle.
UIImagePtr framed() {
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(1);
  UIGraphicsImageRenderer renderer(CGSizeMake(6, 6), format);
  return renderer.imageWithActions([](UIGraphicsImageRendererContext& ctx) {
    CGContextSetRGBFillColor(ctx.CGContext(), 1, 0, 0, 1);
    ctx.fillRect(CGRectMake(0, 0, 6, 6));
    CGContextSetRGBFillColor(ctx.CGContext(), 0, 0, 1, 1);
    ctx.fillRect(CGRectMake(2, 2, 2, 2));
  });
}

TEST_F(UIKitSurfacesTest, ResizableImagesDrawInNineParts) {
  auto image = framed()->resizableImageWithCapInsets({2, 2, 2, 2}, UIImageResizingModeStretch);
  EXPECT_TRUE(image->isResizable());
  EXPECT_EQ(image->size(), CGSizeMake(6, 6));
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(1);
  UIGraphicsImageRenderer renderer(CGSizeMake(30, 12), format);
  auto drawn = renderer.imageWithActions(
      [&](UIGraphicsImageRendererContext&) { image->drawInRect(CGRectMake(0, 0, 30, 12)); });
  auto px = RGBAPixels(drawn->CGImage());
  auto at = [&](int x, int y) { return std::array<int, 3>{px[(y * 30 + x) * 4], px[(y * 30 + x) * 4 + 1], px[(y * 30 + x) * 4 + 2]}; };
  const std::array<int, 3> red{255, 0, 0}, blue{0, 0, 255};
  // The frame stays 2 points wide; the middle stretches to the rest.
  EXPECT_EQ(at(0, 0), red);
  EXPECT_EQ(at(1, 6), red);
  EXPECT_EQ(at(28, 6), red);
  EXPECT_EQ(at(15, 1), red);
  EXPECT_EQ(at(15, 10), red);
  EXPECT_EQ(at(2, 2), blue);
  EXPECT_EQ(at(27, 9), blue);
  EXPECT_EQ(at(15, 6), blue);

  // Caps larger than the room shrink in proportion; insets are clamped.
  auto small = renderer.imageWithActions(
      [&](UIGraphicsImageRendererContext&) { image->drawInRect(CGRectMake(0, 0, 2, 2)); });
  EXPECT_EQ(RGBAPixels(small->CGImage())[0], 255);
  auto odd = framed()->resizableImageWithCapInsets({-3, 2, std::nan(""), 2});
  EXPECT_EQ(odd->capInsets(), (UIEdgeInsets{0, 2, 0, 2}));
  EXPECT_EQ(odd->resizingMode(), UIImageResizingModeTile);

  // An image view lays the parts out for its bounds, and again when resized.
  auto view = std::make_shared<UIImageView>(CGRectMake(0, 0, 20, 10));
  view->setImage(image);
  auto shown = RenderView(*view, 1);
  SaveSnapshot(shown, "resizable-image-view");
  auto v = RGBAPixels(shown->CGImage());
  EXPECT_EQ(v[(5 * 20 + 10) * 4 + 2], 255);  // the blue middle
  EXPECT_EQ(v[(5 * 20 + 1) * 4], 255);       // the red frame at its edge
  view->setFrame(CGRectMake(0, 0, 40, 10));
  auto wider = RGBAPixels(RenderView(*view, 1)->CGImage());
  EXPECT_EQ(wider[(5 * 40 + 38) * 4], 255);  // the frame moved to the new edge
  EXPECT_EQ(wider[(5 * 40 + 30) * 4 + 2], 255);
}

TEST_F(UIKitSurfacesTest, NamedImagesComeFromTheGivenBundleAtTheTraitsScale) {
  TempFolder folder;
  auto one = framed();
  NSDataPtr png = UIImagePNGRepresentation(one);
  std::string bundleDir = folder.path() + "/Res.bundle";
  folder.writeFile("Res.bundle/badge@2x.png", png->vector());
  folder.writeFile("Res.bundle/badge@3x.png", png->vector());
  auto bundle = NSBundle::bundleWithPath(bundleDir);
  ASSERT_TRUE(bundle);
  UITraitCollection two;
  two.displayScale = 2;
  UITraitCollection three;
  three.displayScale = 3;
  auto at2 = UIImage::imageNamed("badge", bundle, two);
  auto at3 = UIImage::imageNamed("badge", bundle, three);
  ASSERT_TRUE(at2 && at3);
  EXPECT_EQ(at2->scale(), 2);
  EXPECT_EQ(at3->scale(), 3);
  EXPECT_EQ(UIImage::imageNamed("badge", bundle, two), at2);  // kept
  // Not in the main bundle.
  EXPECT_FALSE(UIImage::imageNamed("badge", nullptr, two));
  EXPECT_FALSE(UIImage::imageNamed("nothing", bundle, two));
}

struct RecordingTextDelegate : UITextViewDelegate {
  std::vector<std::string> calls;
  bool allowChange = true;
  bool textViewShouldChangeTextInRange(UITextView&, NSRange, const std::string& text) override {
    calls.push_back("should:" + text);
    return allowChange;
  }
  void textViewDidChange(UITextView& v) override { calls.push_back("changed:" + v.text()); }
  void textViewDidBeginEditing(UITextView&) override { calls.push_back("begin"); }
  void textViewDidEndEditing(UITextView&) override { calls.push_back("end"); }
};

TEST_F(UIKitSurfacesTest, TextViewsWrapScrollAndEdit) {
  auto view = std::make_shared<UITextView>(CGRectMake(0, 0, 200, 60));
  view->setFont(UIFont::systemFontOfSize(16));
  view->setTextColor(UIColor::darkGrayColor());
  view->setText("A code read from the picture, long enough to wrap over several lines of the "
                "text view and scroll past its bottom edge");
  view->layoutIfNeeded();
  auto layout = view->textLayout();
  EXPECT_GT(layout.lines.size(), 3u);
  for (double w : layout.widths) EXPECT_LE(w, 200 - 2 * UITextView::kLineFragmentPadding);
  const double textHeight = double(layout.lines.size()) * layout.lineHeight + 16;
  EXPECT_NEAR(view->contentSize().height, textHeight, 1e-9);
  EXPECT_EQ(view->sizeThatFits(CGSizeMake(200, 0)).height, std::ceil(textHeight));
  auto image = RenderView(*view, 2);
  SaveSnapshot(image, "text-view");
  auto px = RGBAPixels(image->CGImage());
  int ink = 0;
  for (size_t i = 0; i < px.size(); i += 4) ink += px[i + 3] > 0;
  EXPECT_GT(ink, 500);

  // Read-only but selectable: no editing, a selection within the text.
  view->setEditable(false);
  EXPECT_FALSE(view->becomeFirstResponder());
  view->setSelectedRange(NSMakeRange(2, 1000));
  EXPECT_EQ(view->selectedRange(), NSMakeRange(2, view->text().size() - 2));
  view->setSelectable(false);
  EXPECT_EQ(view->selectedRange().length, 0u);
  view->setSelectedRange(NSMakeRange(0, 1));
  EXPECT_EQ(view->selectedRange(), NSMakeRange(2, 0));

  // Editing: typing replaces the selection, counted in UTF-16 units.
  auto editor = std::make_shared<UITextView>(CGRectMake(0, 0, 100, 40));
  auto delegate = std::make_shared<RecordingTextDelegate>();
  editor->setDelegate(delegate);
  int changes = 0;
  auto token = NSNotificationCenter::defaultCenter().addObserverForName(
      UITextViewTextDidChangeNotification, editor,
      [&changes](const NSNotification&) { ++changes; });
  editor->insertText("ignored");  // not first responder yet
  EXPECT_EQ(editor->text(), "");
  ASSERT_TRUE(editor->becomeFirstResponder());
  editor->insertText("h\U0001F600");
  EXPECT_EQ(editor->selectedRange(), NSMakeRange(3, 0));
  editor->deleteBackward();  // the whole emoji
  EXPECT_EQ(editor->text(), "h");
  editor->setSelectedRange(NSMakeRange(0, 1));
  editor->insertText("hi");
  EXPECT_EQ(editor->text(), "hi");
  delegate->allowChange = false;
  editor->insertText("!");
  EXPECT_EQ(editor->text(), "hi");
  EXPECT_EQ(changes, 3);
  // One text view edits at a time.
  auto other = std::make_shared<UITextView>();
  ASSERT_TRUE(other->becomeFirstResponder());
  EXPECT_FALSE(editor->isFirstResponder());
  EXPECT_EQ(delegate->calls.front(), "begin");
  EXPECT_EQ(delegate->calls.back(), "end");
  NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(UIKitSurfacesTest, BoundingRectsOfStrings) {
  auto font = UIFont::systemFontOfSize(14);
  NSAttributeDictionary attributes{{NSFontAttributeName, Value(std::shared_ptr<NSObject>(font))}};
  const std::string text = "one two three four five six seven";
  auto context = std::make_shared<NSStringDrawingContext>();
  CGRect single = boundingRectWithSize(text, CGSizeMake(1000, 1000), 0, attributes, context);
  EXPECT_NEAR(single.size.width, font->widthOfText(text), 1e-9);
  EXPECT_NEAR(single.origin.y, -font->ascender(), 1e-9);
  EXPECT_EQ(context->totalBounds(), single);
  CGRect wrapped = boundingRectWithSize(text, CGSizeMake(80, 1000),
                                        NSStringDrawingUsesLineFragmentOrigin, attributes, nullptr);
  EXPECT_EQ(wrapped.origin, CGPointZero);
  EXPECT_LE(wrapped.size.width, 80);
  const double lines = std::round(wrapped.size.height / font->lineHeight());
  EXPECT_GE(lines, 3);
  EXPECT_NEAR(wrapped.size.height, lines * font->lineHeight(), 1e-9);
  // No width bound: one line; no font: the system font of 12 points.
  CGRect unbounded = boundingRectWithSize(text, CGSizeZero, NSStringDrawingUsesLineFragmentOrigin,
                                          attributes, nullptr);
  EXPECT_NEAR(unbounded.size.height, font->lineHeight(), 1e-9);
  CGRect plain = boundingRectWithSize("abc", CGSizeZero, NSStringDrawingUsesLineFragmentOrigin, {},
                                      nullptr);
  EXPECT_NEAR(plain.size.width, UIFont::systemFontOfSize(12)->widthOfText("abc"), 1e-9);
  // Line spacing adds between lines.
  auto style = std::make_shared<NSMutableParagraphStyle>();
  style->setLineSpacing(4);
  attributes[NSParagraphStyleAttributeName] = Value(std::shared_ptr<NSObject>(style));
  CGRect spaced = boundingRectWithSize(text, CGSizeMake(80, 1000),
                                       NSStringDrawingUsesLineFragmentOrigin, attributes, nullptr);
  EXPECT_NEAR(spaced.size.height, wrapped.size.height + 4 * (lines - 1), 1e-9);
  // Styled text in several fonts is as tall as its larger font asks.
  NSMutableAttributedString mixed("small ", {{NSFontAttributeName, Value(std::shared_ptr<NSObject>(UIFont::systemFontOfSize(10)))}});
  mixed.appendAttributedString(NSAttributedString("BIG", {{NSFontAttributeName, Value(std::shared_ptr<NSObject>(UIFont::systemFontOfSize(30)))}}));
  CGRect both = boundingRectWithSize(mixed, CGSizeMake(1000, 1000),
                                     NSStringDrawingUsesLineFragmentOrigin, nullptr);
  EXPECT_GE(both.size.height, UIFont::systemFontOfSize(30)->lineHeight());
  EXPECT_GT(both.size.width, UIFont::systemFontOfSize(30)->widthOfText("BIG"));
}

}  // namespace

}  // namespace ui_kit_surfaces_test
