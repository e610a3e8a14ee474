#include "UIActivityViewController.h"

#include "UIDevice.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"

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
  if (UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPad) {
    setModalPresentationStyle(UIModalPresentationStyle::Popover);
  }
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
