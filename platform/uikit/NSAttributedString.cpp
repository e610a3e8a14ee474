#include "platform/uikit/NSAttributedString.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/UTF8.h"

const char* const NSFontAttributeName = "NSFont";
const char* const NSForegroundColorAttributeName = "NSColor";
const char* const NSBackgroundColorAttributeName = "NSBackgroundColor";
const char* const NSParagraphStyleAttributeName = "NSParagraphStyle";
const char* const NSKernAttributeName = "NSKern";

namespace {

size_t utf16Units(char32_t cp) { return cp > 0xFFFF ? 2 : 1; }

size_t utf16Length(const std::string& text) {
  size_t n = 0;
  for (char32_t cp : UTF8CodePoints(text)) n += utf16Units(cp);
  return n;
}

// The byte offset of UTF-16 unit `units` in `text`; a unit inside a
// surrogate pair rounds up to the next character, as splitting one cannot
// keep both halves in valid UTF-8.
size_t byteOffset(const std::string& text, size_t units) {
  size_t offset = 0, seen = 0;
  while (offset < text.size() && seen < units) {
    size_t length = UTF8SequenceLength(text.data() + offset, text.size() - offset);
    if (length == 0) length = 1;
    seen += utf16Units(UTF8CodePoints(text.substr(offset, length)).front());
    offset += length;
  }
  return offset;
}

bool sameAttributes(const NSAttributeDictionary& a, const NSAttributeDictionary& b) {
  if (a.size() != b.size()) return false;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    if (ia->first != ib->first || !(ia->second == ib->second)) return false;
  }
  return true;
}

}  // namespace

// Paragraph styles --------------------------------------------------------

std::shared_ptr<NSParagraphStyle> NSParagraphStyle::defaultParagraphStyle() {
  static const auto style = std::make_shared<NSParagraphStyle>();
  return style;
}

double NSParagraphStyle::lineHeightFor(double natural) const {
  double h = lineHeightMultiple_ > 0 ? natural * lineHeightMultiple_ : natural;
  if (minimumLineHeight_ > 0) h = std::max(h, minimumLineHeight_);
  if (maximumLineHeight_ > 0) h = std::min(h, maximumLineHeight_);
  return h;
}

bool NSParagraphStyle::isEqual(const NSObject& other) const {
  auto* o = dynamic_cast<const NSParagraphStyle*>(&other);
  return o && o->alignment_ == alignment_ && o->lineBreakMode_ == lineBreakMode_ &&
         o->lineSpacing_ == lineSpacing_ && o->paragraphSpacing_ == paragraphSpacing_ &&
         o->minimumLineHeight_ == minimumLineHeight_ &&
         o->maximumLineHeight_ == maximumLineHeight_ &&
         o->lineHeightMultiple_ == lineHeightMultiple_;
}

namespace {
double nonNegative(double v) { return std::isfinite(v) && v > 0 ? v : 0; }
}  // namespace

void NSMutableParagraphStyle::setLineSpacing(double v) { lineSpacing_ = nonNegative(v); }
void NSMutableParagraphStyle::setParagraphSpacing(double v) { paragraphSpacing_ = nonNegative(v); }
void NSMutableParagraphStyle::setMinimumLineHeight(double v) { minimumLineHeight_ = nonNegative(v); }
void NSMutableParagraphStyle::setMaximumLineHeight(double v) { maximumLineHeight_ = nonNegative(v); }
void NSMutableParagraphStyle::setLineHeightMultiple(double v) {
  lineHeightMultiple_ = nonNegative(v);
}

// Attributed strings ------------------------------------------------------

NSAttributedString::NSAttributedString(const std::string& text, NSAttributeDictionary attributes) {
  if (!text.empty()) runs_.push_back({ValidUTF8(text), std::move(attributes)});
}

std::string NSAttributedString::string() const {
  std::string out;
  for (const Run& run : runs_) out += run.text;
  return out;
}

size_t NSAttributedString::length() const {
  size_t n = 0;
  for (const Run& run : runs_) n += utf16Length(run.text);
  return n;
}

void NSAttributedString::checkRange(NSRange range, const char* function) const {
  if (range.location > length() || range.length > length() - range.location) {
    FatalStop(std::string(function) + ": Range {" + std::to_string(range.location) + ", " +
            std::to_string(range.length) + "} out of bounds; string length " +
            std::to_string(length()));
  }
}

NSAttributeDictionary NSAttributedString::attributesAtIndex(size_t location,
                                                            NSRange* effectiveRange) const {
  if (location >= length()) checkRange({location, 1}, "attributesAtIndex");
  size_t start = 0;
  for (const Run& run : runs_) {
    size_t units = utf16Length(run.text);
    if (location < start + units) {
      if (effectiveRange) *effectiveRange = {start, units};
      return run.attributes;
    }
    start += units;
  }
  return {};
}

Value NSAttributedString::attributeAtIndex(const std::string& name, size_t location,
                                           NSRange* effectiveRange) const {
  auto attributes = attributesAtIndex(location, effectiveRange);
  auto it = attributes.find(name);
  return it == attributes.end() ? Value() : it->second;
}

std::shared_ptr<NSAttributedString> NSAttributedString::attributedSubstringFromRange(
    NSRange range) const {
  checkRange(range, "attributedSubstringFromRange");
  NSMutableAttributedString copy;
  copy.runs_ = runs_;
  size_t from = copy.splitAt(range.location), to = copy.splitAt(range.end());
  auto result = std::make_shared<NSAttributedString>();
  result->runs_.assign(copy.runs_.begin() + long(from), copy.runs_.begin() + long(to));
  return result;
}

size_t NSAttributedString::splitAt(size_t location) {
  size_t start = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    size_t units = utf16Length(runs_[i].text);
    if (location == start) return i;
    if (location < start + units) {
      size_t cut = byteOffset(runs_[i].text, location - start);
      if (cut >= runs_[i].text.size()) return i + 1;
      Run tail{runs_[i].text.substr(cut), runs_[i].attributes};
      runs_[i].text.resize(cut);
      runs_.insert(runs_.begin() + long(i) + 1, std::move(tail));
      return i + 1;
    }
    start += units;
  }
  return runs_.size();
}

void NSAttributedString::coalesce() {
  std::vector<Run> merged;
  for (Run& run : runs_) {
    if (run.text.empty()) continue;
    if (!merged.empty() && sameAttributes(merged.back().attributes, run.attributes)) {
      merged.back().text += run.text;
    } else {
      merged.push_back(std::move(run));
    }
  }
  runs_ = std::move(merged);
}

bool NSAttributedString::isEqual(const NSObject& other) const {
  auto* o = dynamic_cast<const NSAttributedString*>(&other);
  if (!o || o->runs_.size() != runs_.size()) return false;
  for (size_t i = 0; i < runs_.size(); ++i) {
    if (runs_[i].text != o->runs_[i].text ||
        !sameAttributes(runs_[i].attributes, o->runs_[i].attributes)) {
      return false;
    }
  }
  return true;
}

std::string NSAttributedString::description() const {
  std::string out;
  for (const Run& run : runs_) {
    out += run.text + "{";
    for (const auto& [name, value] : run.attributes) out += " " + name + ";";
    out += " }";
  }
  return out;
}

template <typename F>
void NSMutableAttributedString::forRunsIn(NSRange range, const char* function, F change) {
  checkRange(range, function);
  if (range.length == 0) return;
  size_t from = splitAt(range.location), to = splitAt(range.end());
  for (size_t i = from; i < to; ++i) change(runs_[i].attributes);
  coalesce();
}

void NSMutableAttributedString::appendAttributedString(const NSAttributedString& other) {
  auto appended = other.runs();  // `other` may be this string
  runs_.insert(runs_.end(), appended.begin(), appended.end());
  coalesce();
}

void NSMutableAttributedString::setAttributes(NSAttributeDictionary attributes, NSRange range) {
  forRunsIn(range, "setAttributes", [&](NSAttributeDictionary& a) { a = attributes; });
}

void NSMutableAttributedString::addAttribute(const std::string& name, const Value& value,
                                             NSRange range) {
  forRunsIn(range, "addAttribute", [&](NSAttributeDictionary& a) { a[name] = value; });
}

void NSMutableAttributedString::addAttributes(const NSAttributeDictionary& attributes,
                                              NSRange range) {
  forRunsIn(range, "addAttributes", [&](NSAttributeDictionary& a) {
    for (const auto& [name, value] : attributes) a[name] = value;
  });
}

void NSMutableAttributedString::removeAttribute(const std::string& name, NSRange range) {
  forRunsIn(range, "removeAttribute", [&](NSAttributeDictionary& a) { a.erase(name); });
}
