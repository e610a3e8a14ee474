#include "platform/uikit/internal/NSStringDrawing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"

namespace {

UIFontPtr fontOf(const NSAttributeDictionary& attributes) {
  auto it = attributes.find(NSFontAttributeName);
  if (it != attributes.end() && it->second.isObject()) {
    if (auto font = it->second.objectAs<UIFont>()) return font;
  }
  return UIFont::systemFontOfSize(12);
}

std::shared_ptr<NSParagraphStyle> styleOf(const NSAttributeDictionary& attributes) {
  auto it = attributes.find(NSParagraphStyleAttributeName);
  if (it != attributes.end() && it->second.isObject()) {
    if (auto style = it->second.objectAs<NSParagraphStyle>()) return style;
  }
  return NSParagraphStyle::defaultParagraphStyle();
}

// A width of 0 (or less) sets no bound, as on the platform.
double widthBound(CGSize size) {
  return size.width > 0 && std::isfinite(size.width) ? size.width
                                                     : std::numeric_limits<double>::infinity();
}

CGRect report(CGRect rect, const std::shared_ptr<NSStringDrawingContext>& context) {
  if (context) context->setTotalBounds(rect);
  return rect;
}

}  // namespace

CGRect boundingRectWithSize(const std::string& text, CGSize size, int64_t options,
                            const NSAttributeDictionary& attributes,
                            const std::shared_ptr<NSStringDrawingContext>& context) {
  const UIFontPtr font = fontOf(attributes);
  const auto style = styleOf(attributes);
  const bool lines = options & NSStringDrawingUsesLineFragmentOrigin;
  if (!lines) {
    // One line on the baseline through the origin.
    const double width = font->widthOfText(text);
    return report(CGRectMake(0, -font->ascender(), width, font->ascender() - font->descender()),
                  context);
  }
  if (text.empty()) return report(CGRectZero, context);
  const NSLineBreakMode mode = style->lineBreakMode() == NSLineBreakByCharWrapping
                                   ? NSLineBreakByCharWrapping
                                   : NSLineBreakByWordWrapping;
  const UITextLayout layout = UITextLayoutMake(text, *font, widthBound(size), 0, mode);
  double widest = 0;
  for (double w : layout.widths) widest = std::max(widest, w);
  const double lineHeight = style->lineHeightFor(layout.lineHeight);
  const double n = double(layout.lines.size());
  const double height = n * lineHeight + std::max(0.0, n - 1) * style->lineSpacing();
  return report(CGRectMake(0, 0, widest, height), context);
}

CGRect boundingRectWithSize(const NSAttributedString& text, CGSize size, int64_t options,
                            const std::shared_ptr<NSStringDrawingContext>& context) {
  const auto& runs = text.runs();
  if (runs.size() <= 1) {
    return boundingRectWithSize(text.string(), size, options,
                                runs.empty() ? NSAttributeDictionary{} : runs[0].attributes,
                                context);
  }
  // Runs in several styles: the label's layout of styled text measures
  // them (in whole points).
  auto label = std::make_shared<UILabel>();
  label->setAttributedText(std::make_shared<NSAttributedString>(text));
  const bool lines = options & NSStringDrawingUsesLineFragmentOrigin;
  label->setNumberOfLines(lines ? 0 : 1);
  const CGSize fit = label->sizeThatFits(CGSizeMake(lines ? size.width : 0, 0));
  return report(CGRectMake(0, 0, fit.width, fit.height), context);
}
