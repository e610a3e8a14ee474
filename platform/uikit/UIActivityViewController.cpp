#include "UIActivityViewController.h"

#include <algorithm>

#include "UIApplication.h"
#include "UIDevice.h"
#include "UIImage.h"
#include "UIPasteboard.h"
#include "internal/UIActivitySheetView.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"

#define QX_ACTIVITY(name) \
  const char* const UIActivityType##name = "com.apple.UIKit.activity." #name;
QX_ACTIVITY(PostToFacebook)
QX_ACTIVITY(PostToTwitter)
QX_ACTIVITY(PostToWeibo)
QX_ACTIVITY(Message)
QX_ACTIVITY(Mail)
QX_ACTIVITY(Print)
QX_ACTIVITY(CopyToPasteboard)
QX_ACTIVITY(AssignToContact)
QX_ACTIVITY(SaveToCameraRoll)
QX_ACTIVITY(AddToReadingList)
QX_ACTIVITY(PostToFlickr)
QX_ACTIVITY(PostToVimeo)
QX_ACTIVITY(PostToTencentWeibo)
QX_ACTIVITY(AirDrop)
QX_ACTIVITY(OpenInIBooks)
QX_ACTIVITY(MarkupAsPDF)
QX_ACTIVITY(SharePlay)
QX_ACTIVITY(CollaborationInviteWithLink)
QX_ACTIVITY(CollaborationCopyLink)
QX_ACTIVITY(AddToHomeScreen)
#undef QX_ACTIVITY

namespace {

std::shared_ptr<UIActivityItemSource> itemSourceOf(const Value& item) {
  if (!item.isObject()) return nullptr;
  return std::dynamic_pointer_cast<UIActivityItemSource>(item.asObject());
}

bool isWebLink(const Value& item) {
  auto url = item.objectAs<NSURL>();
  return url && !url->isFileURL();
}

// A pasteboard item per text, URL or image; other values are left out.
std::vector<UIPasteboard::Item> pasteboardItems(const ValueList& items) {
  std::vector<UIPasteboard::Item> out;
  for (const auto& item : items) {
    const char* type = nullptr;
    if (item.isString()) {
      type = UIPasteboardTypeText;
    } else if (item.objectAs<NSURL>()) {
      type = UIPasteboardTypeURL;
    } else if (item.objectAs<UIImage>()) {
      type = UIPasteboardTypeImage;
    }
    if (type) out.push_back(UIPasteboard::Item{{Value(type), item}});
  }
  return out;
}

// A new message: the subject, and the texts and links one a line as its body.
NSURLPtr mailURL(const std::optional<std::string>& subject, const ValueList& items) {
  std::string body;
  for (const auto& item : items) {
    std::string line = item.isString() ? item.asString() : "";
    if (auto url = item.objectAs<NSURL>()) line = url->absoluteString();
    body += (body.empty() ? "" : "\n") + line;
  }
  auto encode = [](const std::string& s) {
    return stringByAddingPercentEncodingWithAllowedCharacters(s,
                                                              NSURLAllowedCharacters::Unreserved);
  };
  std::string query = "body=" + encode(body);
  if (subject && !subject->empty()) query = "subject=" + encode(*subject) + "&" + query;
  return NSURL::URLWithString("mailto:?" + query);
}

bool canSendMail() {
  return UIApplication::sharedApplication()->canOpenURL(NSURL::URLWithString("mailto:"));
}

[[noreturn]] void undefinedKey(const UIActivityViewController& sheet, const std::string& key) {
  FatalStop("[" + sheet.description() +
            " setValue:forUndefinedKey:]: this class is not key value coding-compliant for the "
            "key " +
            key + ".");
}

}  // namespace

UIActivityViewController::UIActivityViewController(
    ValueList activityItems, std::vector<std::shared_ptr<UIActivity>> applicationActivities)
    : items_(std::move(activityItems)), activities_(std::move(applicationActivities)) {
  // On a phone the sheet's own view dims the screen and holds the card.
  setModalPresentationStyle(UIDevice::currentDevice()->userInterfaceIdiom() ==
                                    UIUserInterfaceIdiomPad
                                ? UIModalPresentationStyle::Popover
                                : UIModalPresentationStyle::OverFullScreen);
}

void UIActivityViewController::setValueForKey(const Value& value, const std::string& key) {
  QX_DCHECK_MAIN_THREAD();
  if (key != "subject") undefinedKey(*this, key);
  if (value.isNull()) {
    subject_.reset();
  } else {
    subject_ = value.isString() ? value.asString() : value.description();
  }
}

Value UIActivityViewController::valueForKey(const std::string& key) const {
  if (key != "subject") undefinedKey(*this, key);
  return subject_ ? Value(*subject_) : Value();
}

ValueList UIActivityViewController::placeholderItems() {
  ValueList out;
  for (const auto& item : items_) {
    auto source = itemSourceOf(item);
    Value v = source ? source->activityViewControllerPlaceholderItem(*this) : item;
    if (!v.isNull()) out.push_back(std::move(v));
  }
  return out;
}

ValueList UIActivityViewController::itemsForActivityType(
    const std::optional<UIActivityType>& activityType) {
  ValueList out;
  for (const auto& item : items_) {
    auto source = itemSourceOf(item);
    Value v =
        source ? source->activityViewControllerItemForActivityType(*this, activityType) : item;
    if (!v.isNull()) out.push_back(std::move(v));
  }
  return out;
}

std::optional<std::string> UIActivityViewController::subjectForActivityType(
    const std::optional<UIActivityType>& activityType) {
  for (const auto& item : items_) {
    auto source = itemSourceOf(item);
    if (!source) continue;
    auto subject = source->activityViewControllerSubjectForActivityType(*this, activityType);
    if (subject && !subject->empty()) return subject;
  }
  return subject_;
}

std::shared_ptr<LPLinkMetadata> UIActivityViewController::linkMetadata() {
  for (const auto& item : items_) {
    auto source = itemSourceOf(item);
    if (!source) continue;
    if (auto metadata = source->activityViewControllerLinkMetadata(*this)) return metadata;
  }
  return nullptr;
}

std::vector<UIActivityType> UIActivityViewController::offeredActivityTypes() {
  ValueList placeholders = placeholderItems();
  std::vector<UIActivityType> offered;
  if (!pasteboardItems(placeholders).empty()) offered.push_back(UIActivityTypeCopyToPasteboard);
  bool mailable = !placeholders.empty() &&
                  std::all_of(placeholders.begin(), placeholders.end(),
                              [](const Value& item) { return item.isString() || isWebLink(item); });
  if (mailable && canSendMail()) offered.push_back(UIActivityTypeMail);
  std::erase_if(offered, [this](const UIActivityType& type) {
    return std::find(excluded_.begin(), excluded_.end(), type) != excluded_.end();
  });
  return offered;
}

bool UIActivityViewController::performActivity(const UIActivityType& activityType) {
  QX_DCHECK_MAIN_THREAD();
  auto offered = offeredActivityTypes();
  if (performing_ || !presentingViewController() || isBeingDismissed() ||
      std::find(offered.begin(), offered.end(), activityType) == offered.end()) {
    return false;
  }
  if (activityType == UIActivityTypeCopyToPasteboard) {
    auto items = pasteboardItems(itemsForActivityType(activityType));
    bool copied = !items.empty();
    if (copied) UIPasteboard::generalPasteboard()->setItems(std::move(items));
    return completeWithActivityType(activityType, copied);
  }
  auto url = mailURL(subjectForActivityType(activityType), itemsForActivityType(activityType));
  if (!url) return completeWithActivityType(activityType, false);
  // The sheet stays up until the mail handler has answered.
  performing_ = true;
  UIApplication::sharedApplication()->openURL(
      url, Value(ValueMap{}),
      WeakBind(WeakFromThis(this), [activityType](UIActivityViewController& sheet, bool sent) {
        sheet.performing_ = false;
        sheet.completeWithActivityType(activityType, sent);
      }));
  return true;
}

void UIActivityViewController::loadView() {
  setView(UIActivitySheetViewMake(std::static_pointer_cast<UIActivityViewController>(self())));
}

bool UIActivityViewController::completeWithActivityType(
    const std::optional<UIActivityType>& activityType, bool completed, ValueList returnedItems,
    NSErrorPtr activityError) {
  if (!presentingViewController() || isBeingDismissed()) return false;
  // Keep the sheet alive through its own dismissal and handler.
  auto self = std::static_pointer_cast<UIActivityViewController>(shared_from_this());
  dismissViewControllerAnimated(true);
  // Once only: the handler is consumed, and what it holds dies after the call.
  if (auto handler = std::move(completion_)) {
    handler(activityType, completed, returnedItems, activityError);
  }
  return true;
}
