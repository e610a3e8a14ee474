#include "internal/UIActivitySheetView.h"

#include <algorithm>

#include "UIActivityItemProvider.h"
#include "UIActivityViewController.h"
#include "UIButton.h"
#include "UIFont.h"
#include "UIGraphicsImageRenderer.h"
#include "UIImageSymbolConfiguration.h"
#include "UIImageView.h"
#include "UILabel.h"
#include "UIPanGestureRecognizer.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/linkpresentation/LPLinkMetadata.h"

namespace {

constexpr double kInset = 16;
constexpr double kThumbSide = 52;
constexpr double kCloseSide = 30;
constexpr double kIconSide = 60;
constexpr double kActivityWidth = 76;
constexpr double kActivityHeight = 86;
constexpr double kCornerRadius = 12;
// How long the card takes to spring back after a short pull.
constexpr double kSpringBack = 0.25;

void label(UIView& view, const std::string& text) {
  view.setAccessibilityLabel(text);
}

// What the header shows of the items.
struct Preview {
  std::string title;
  std::string subtitle;
  UIImagePtr thumbnail;
  // Names the kind on a tile when there is no thumbnail.
  std::string tile;
};

struct ItemEntry {
  enum Kind { Text, Link, File, Image } kind;
  std::string name;
};

ItemEntry entryOf(const Value& item) {
  if (item.isString()) return {ItemEntry::Text, item.asString()};
  if (auto url = item.objectAs<NSURL>()) {
    if (url->isFileURL()) return {ItemEntry::File, url->lastPathComponent()};
    return {ItemEntry::Link, url->absoluteString()};
  }
  return {ItemEntry::Image, "Image"};
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// The first source's link preview names the items when it has a title; the
// items themselves do otherwise. A file's preview URL carries its type and
// size ("JPG • 12 KB").
Preview previewOf(UIActivityViewController& sheet) {
  Preview p;
  std::vector<ItemEntry> entries;
  for (const auto& item : sheet.activityItems()) {
    auto source = item.isObject() ? std::dynamic_pointer_cast<UIActivityItemSource>(item.asObject())
                                  : nullptr;
    Value shown = source ? source->activityViewControllerPlaceholderItem(sheet) : item;
    if (source && !p.thumbnail) {
      p.thumbnail = source->activityViewControllerThumbnailImageForActivityType(
          sheet, std::nullopt, CGSizeMake(kThumbSide, kThumbSide));
    }
    if (!p.thumbnail) p.thumbnail = shown.objectAs<UIImage>();
    // A source's placeholder may be an image made from a file: the item
    // itself names the file. A provider's item is made only when an
    // activity asks for it.
    if (source && !dynamic_cast<UIActivityItemProvider*>(source.get())) {
      Value itself = source->activityViewControllerItemForActivityType(sheet, std::nullopt);
      if (!itself.isNull()) shown = itself;
    }
    if (!shown.isNull()) entries.push_back(entryOf(shown));
  }
  auto metadata = sheet.linkMetadata();
  auto subject = sheet.subjectForActivityType(std::nullopt);
  bool allFiles = std::all_of(entries.begin(), entries.end(), [](const ItemEntry& e) {
    return e.kind == ItemEntry::File || e.kind == ItemEntry::Image;
  });
  if (subject && !subject->empty()) {
    p.title = *subject;
  } else if (metadata && metadata->title() && !metadata->title()->empty()) {
    p.title = *metadata->title();
  } else if (entries.size() == 1) {
    auto url = entries[0].kind == ItemEntry::Link ? NSURL::URLWithString(entries[0].name) : nullptr;
    p.title = url && url->host() ? *url->host() : entries[0].name;
  } else {
    p.title = std::to_string(entries.size()) + (allFiles ? " Files" : " Items");
  }
  if (entries.size() == 1 && metadata && metadata->originalURL()) {
    p.subtitle = metadata->originalURL()->lastPathComponent();
  } else {
    for (const auto& e : entries) p.subtitle += (p.subtitle.empty() ? "" : ", ") + e.name;
  }
  if (p.subtitle == p.title) p.subtitle = entries.empty() ? "" : "Plain Text";
  if (entries.empty()) {
    p.tile = "";
  } else if (entries[0].kind == ItemEntry::File) {
    auto url = NSURL::fileURLWithPath(entries[0].name);
    p.tile = url ? upper(url->pathExtension()) : "";
    if (p.tile.empty()) p.tile = "FILE";
  } else {
    p.tile = entries[0].kind == ItemEntry::Link ? "URL" : "Aa";
  }
  return p;
}

struct ActivityLook {
  std::string title;
  bool mail;
};

ActivityLook lookOf(const UIActivityType& type) {
  if (type == UIActivityTypeMail) return {"Mail", true};
  return {"Copy", false};
}

// The activity's icon: two overlapping sheets on white for copy, a white
// envelope on blue for mail.
UIImagePtr iconFor(const ActivityLook& look) {
  UIGraphicsImageRenderer renderer(CGSizeMake(kIconSide, kIconSide));
  return renderer.imageWithActions([&](UIGraphicsImageRendererContext& ctx) {
    const CGContextRef& c = ctx.CGContext();
    CGContextAddPath(
        c, CGPathCreateWithRoundedRect(CGRectMake(0, 0, kIconSide, kIconSide), 14, 14, nullptr));
    if (look.mail) {
      CGContextSetRGBFillColor(c, 0.2, 0.55, 1, 1);
    } else {
      CGContextSetGrayFillColor(c, 1, 1);
    }
    CGContextFillPath(c);
    CGContextSetLineWidth(c, 2.5);
    CGContextSetLineJoin(c, kCGLineJoinRound);
    if (look.mail) {
      CGContextSetGrayFillColor(c, 1, 1);
      CGContextSetRGBStrokeColor(c, 1, 1, 1, 1);
      CGContextStrokeRect(c, CGRectMake(14, 19, 32, 22));
      CGContextBeginPath(c);
      CGContextMoveToPoint(c, 14, 19);
      CGContextAddLineToPoint(c, 30, 32);
      CGContextAddLineToPoint(c, 46, 19);
      CGContextStrokePath(c);
      return;
    }
    CGContextSetRGBStrokeColor(c, 0.15, 0.15, 0.15, 1);
    for (CGRect sheetRect : {CGRectMake(17, 13, 20, 26), CGRectMake(24, 21, 20, 26)}) {
      CGContextAddPath(c, CGPathCreateWithRoundedRect(sheetRect, 3, 3, nullptr));
      CGContextSetGrayFillColor(c, 1, 1);
      CGContextDrawPath(c, kCGPathFillStroke);
    }
  });
}

// An activity: its icon above its name.
class ActivityButton final : public UIButton {
 public:
  void layoutSubviews() override {
    UIButton::layoutSubviews();
    double w = bounds().size.width;
    imageView()->setFrame(CGRectMake((w - kIconSide) / 2, 0, kIconSide, kIconSide));
    titleLabel()->setFrame(CGRectMake(0, kIconSide + 6, w, 18));
  }
  void setHighlighted(bool on) override {
    UIButton::setHighlighted(on);
    setAlpha(on ? 0.5 : 1);
  }
};

std::shared_ptr<UILabel> makeLabel(UIFontPtr font, UIColorPtr color, int64_t lines) {
  auto l = std::make_shared<UILabel>();
  l->setFont(std::move(font));
  l->setTextColor(std::move(color));
  l->setNumberOfLines(lines);
  return l;
}

class UIActivitySheetView final : public UIView {
 public:
  explicit UIActivitySheetView(std::weak_ptr<UIActivityViewController> owner)
      : owner_(std::move(owner)) {}

  void layoutSubviews() override {
    UIView::layoutSubviews();
    auto owner = owner_.lock();
    if (!owner) return;
    if (!card_) build(*owner);
    place(*owner);
  }

  std::string className() const override { return "UIActivitySheetView"; }

 private:
  static bool inPopover(UIActivityViewController& sheet) {
    return sheet.modalPresentationStyle() == UIModalPresentationStyle::Popover &&
           sheet.presentationController()->presentationStyle() == UIModalPresentationStyle::Popover;
  }

  void build(UIActivityViewController& sheet) {
    dim_ = std::make_shared<UIView>();
    dim_->setBackgroundColor(UIColor::colorWithWhite(0, 0.25));
    addSubview(dim_);
    card_ = std::make_shared<UIView>();
    card_->setBackgroundColor(UIColor::colorWithWhite(0.95, 1));
    card_->layer()->setCornerRadius(kCornerRadius);
    card_->setClipsToBounds(true);
    label(*card_, "Share sheet");
    addSubview(card_);
    grabber_ = std::make_shared<UIView>();
    grabber_->setBackgroundColor(UIColor::colorWithWhite(0.78, 1));
    grabber_->layer()->setCornerRadius(2.5);
    card_->addSubview(grabber_);

    Preview preview = previewOf(sheet);
    thumb_ = std::make_shared<UIImageView>(preview.thumbnail);
    thumb_->setContentMode(UIViewContentModeScaleAspectFill);
    thumb_->setClipsToBounds(true);
    thumb_->layer()->setCornerRadius(8);
    thumb_->setBackgroundColor(UIColor::colorWithWhite(0.85, 1));
    label(*thumb_, "Preview");
    card_->addSubview(thumb_);
    if (!preview.thumbnail) {
      tile_ = makeLabel(UIFont::boldSystemFontOfSize(15), UIColor::darkGrayColor(), 1);
      tile_->setText(preview.tile);
      tile_->setTextAlignment(NSTextAlignmentCenter);
      thumb_->addSubview(tile_);
    }
    title_ = makeLabel(UIFont::boldSystemFontOfSize(15), UIColor::blackColor(), 1);
    title_->setText(preview.title);
    card_->addSubview(title_);
    subtitle_ = makeLabel(UIFont::systemFontOfSize(13), UIColor::grayColor(), 2);
    subtitle_->setText(preview.subtitle);
    card_->addSubview(subtitle_);

    close_ = UIButton::buttonWithType(UIButtonType::System);
    close_->setImage(
        UIImage::systemImageNamed("xmark", UIImageSymbolConfiguration::configurationWithPointSize(
                                               12, UIImageSymbolWeightBold)),
        UIControlStateNormal);
    close_->setTintColor(UIColor::colorWithWhite(0.45, 1));
    close_->setBackgroundColor(UIColor::colorWithWhite(0.88, 1));
    close_->layer()->setCornerRadius(kCloseSide / 2);
    label(*close_, "Close");
    close_->addTarget(
        close_,
        [owner = owner_](UIControl&, UIEvent*) {
          if (auto sheet = owner.lock()) sheet->completeWithActivityType(std::nullopt, false);
        },
        UIControlEventTouchUpInside);
    card_->addSubview(close_);

    line_ = std::make_shared<UIView>();
    line_->setBackgroundColor(UIColor::colorWithWhite(0.82, 1));
    card_->addSubview(line_);

    for (const auto& type : sheet.offeredActivityTypes()) {
      ActivityLook look = lookOf(type);
      auto button = std::make_shared<ActivityButton>();
      button->setImage(iconFor(look), UIControlStateNormal);
      button->setTitle(look.title, UIControlStateNormal);
      button->setTitleColor(UIColor::blackColor(), UIControlStateNormal);
      button->titleLabel()->setFont(UIFont::systemFontOfSize(12));
      button->titleLabel()->setTextAlignment(NSTextAlignmentCenter);
      label(*button, look.title);
      button->addTarget(
          button,
          [owner = owner_, type](UIControl&, UIEvent*) {
            if (auto sheet = owner.lock()) sheet->performActivity(type);
          },
          UIControlEventTouchUpInside);
      card_->addSubview(button);
      activities_.push_back(button);
    }

    pan_ = std::make_shared<UIPanGestureRecognizer>();
    pan_->addTarget(shared_from_this(),
                    WeakBind(WeakFromThis(this), [](UIActivitySheetView& view,
                                                    UIGestureRecognizer&) { view.panned(); }));
    card_->addGestureRecognizer(pan_);
  }

  // Lays the card's content out `width` wide; returns the height it takes.
  double placeContent(double width, bool grabber) {
    grabber_->setHidden(!grabber);
    grabber_->setFrame(CGRectMake((width - 36) / 2, 6, 36, 5));
    double top = 20;
    thumb_->setFrame(CGRectMake(kInset, top, kThumbSide, kThumbSide));
    if (tile_) tile_->setFrame(thumb_->bounds());
    close_->setFrame(CGRectMake(width - kInset - kCloseSide, top, kCloseSide, kCloseSide));
    double textX = kInset + kThumbSide + 12;
    double textWidth = std::max(0.0, width - textX - kCloseSide - 2 * kInset);
    title_->setFrame(CGRectMake(textX, top + 2, textWidth, 20));
    CGSize sub = subtitle_->sizeThatFits(CGSizeMake(textWidth, 1e6));
    subtitle_->setFrame(CGRectMake(textX, top + 24, textWidth, std::min(sub.height, 34.0)));
    double y = std::max(top + kThumbSide, CGRectGetMaxY(subtitle_->frame())) + 14;
    line_->setFrame(CGRectMake(0, y, width, 1.0 / std::max(1.0, contentScaleFactor())));
    y += 16;
    double x = kInset;
    for (auto& button : activities_) {
      button->setFrame(CGRectMake(x, y, kActivityWidth, kActivityHeight));
      x += kActivityWidth + 8;
    }
    return y + (activities_.empty() ? 0 : kActivityHeight) + 16;
  }

  void place(UIActivityViewController& sheet) {
    CGRect b = bounds();
    if (inPopover(sheet)) {
      dim_->setHidden(true);
      double h = placeContent(b.size.width, false);
      card_->setFrame(CGRectMake(0, 0, b.size.width, std::max(h, b.size.height)));
      return;
    }
    dim_->setFrame(b);
    double h = placeContent(b.size.width, true) + safeAreaInsets().bottom;
    // Reaches below the screen by its corner radius, so only its top
    // corners show round.
    card_->setFrame(CGRectMake(0, b.size.height - h + pull_, b.size.width, h + kCornerRadius));
  }

  void panned() {
    auto owner = owner_.lock();
    if (!owner || inPopover(*owner)) return;
    double down = std::max(0.0, pan_->translationInView(this).y);
    switch (pan_->state()) {
      case UIGestureRecognizerState::Began:
      case UIGestureRecognizerState::Changed:
        pull_ = down;
        place(*owner);
        break;
      case UIGestureRecognizerState::Ended:
        if (down >= UIActivityViewController::kDismissDistance) {
          owner->completeWithActivityType(std::nullopt, false);
          break;
        }
        [[fallthrough]];
      default:
        pull_ = 0;
        UIView::animateWithDuration(kSpringBack, [this, &owner] { place(*owner); });
    }
  }

  std::weak_ptr<UIActivityViewController> owner_;
  std::shared_ptr<UIView> dim_, card_, grabber_, line_;
  std::shared_ptr<UIImageView> thumb_;
  std::shared_ptr<UILabel> tile_, title_, subtitle_;
  std::shared_ptr<UIButton> close_;
  std::vector<std::shared_ptr<UIButton>> activities_;
  std::shared_ptr<UIPanGestureRecognizer> pan_;
  // How far the person has pulled the card down.
  double pull_ = 0;
};

}  // namespace

std::shared_ptr<UIView> UIActivitySheetViewMake(
    const std::shared_ptr<UIActivityViewController>& sheet) {
  auto view = std::make_shared<UIActivitySheetView>(sheet);
  view->setBackgroundColor(UIColor::clearColor());
  return view;
}
