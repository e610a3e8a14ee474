#pragma once

// The share sheet: it keeps the items and activities it was made with, which
// activity types are left out, the subject set on it, and the popover anchor;
// it resolves what each activity would receive through the items' sources;
// it draws itself (a card with the items' preview, a row of the activities it
// offers and a close button), and it ends when the person picks an activity,
// taps the close button or drags the card down.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UIActivityItemSource.h"
#include "UIViewController.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
// Complete, not forward-declared: a default argument below makes a list of values.
#include "platform/foundation/Value.h"
#include "platform/foundation/ThreadChecks.h"

extern const char* const UIActivityTypePostToFacebook;
extern const char* const UIActivityTypePostToTwitter;
extern const char* const UIActivityTypePostToWeibo;
extern const char* const UIActivityTypeMessage;
extern const char* const UIActivityTypeMail;
extern const char* const UIActivityTypePrint;
extern const char* const UIActivityTypeCopyToPasteboard;
extern const char* const UIActivityTypeAssignToContact;
extern const char* const UIActivityTypeSaveToCameraRoll;
extern const char* const UIActivityTypeAddToReadingList;
extern const char* const UIActivityTypePostToFlickr;
extern const char* const UIActivityTypePostToVimeo;
extern const char* const UIActivityTypePostToTencentWeibo;
extern const char* const UIActivityTypeAirDrop;
extern const char* const UIActivityTypeOpenInIBooks;
extern const char* const UIActivityTypeMarkupAsPDF;
extern const char* const UIActivityTypeSharePlay;
extern const char* const UIActivityTypeCollaborationInviteWithLink;
extern const char* const UIActivityTypeCollaborationCopyLink;
extern const char* const UIActivityTypeAddToHomeScreen;

// An activity the application adds to the sheet.
class UIActivity : public NSObject {
 public:
  UIActivity(UIActivityType type, std::string title)
      : type_(std::move(type)), title_(std::move(title)) {}
  const UIActivityType& activityType() const { return type_; }
  const std::string& activityTitle() const { return title_; }

 private:
  UIActivityType type_;
  std::string title_;
};

class UIActivityViewController : public UIViewController {
 public:
  // How far a person must pull the card down for it to close the sheet.
  static constexpr double kDismissDistance = 100;

  // (activity type or nullopt when closed without one, completed, items the
  // activity handed back, error of the activity or nullptr)
  using CompletionWithItemsHandler =
      OnceCallback<void(const std::optional<UIActivityType>& activityType, bool completed,
                        const ValueList& returnedItems, const NSErrorPtr& activityError)>;

  // Items are values (strings) or objects (URLs, images, item sources). On a
  // pad the sheet shows as a popover, on a phone as a sheet.
  UIActivityViewController(ValueList activityItems,
                           std::vector<std::shared_ptr<UIActivity>> applicationActivities);

  const ValueList& activityItems() const { return items_; }
  const std::vector<std::shared_ptr<UIActivity>>& applicationActivities() const {
    return activities_;
  }
  const std::vector<UIActivityType>& excludedActivityTypes() const { return excluded_; }
  void setExcludedActivityTypes(std::vector<UIActivityType> types) {
    QX_DCHECK_MAIN_THREAD();
    excluded_ = std::move(types);
  }

  // Key-value coding, as far as the sheet has keys: "subject" (a string, or
  // null to clear). Any other key stops the process, as the platform's
  // undefined-key exception does.
  void setValueForKey(const Value& value, const std::string& key);
  Value valueForKey(const std::string& key) const override;

  const CompletionWithItemsHandler& completionWithItemsHandler() const { return completion_; }
  void setCompletionWithItemsHandler(CompletionWithItemsHandler handler) {
    completion_ = std::move(handler);
  }

  // What the sheet asks before showing: each item source's placeholder, or
  // the plain item itself.
  ValueList placeholderItems();
  // What an activity receives: each item source's item for the activity (null
  // answers are left out), or the plain item itself.
  ValueList itemsForActivityType(const std::optional<UIActivityType>& activityType);
  // The subject an activity receives: the first item source's non-empty
  // subject, else the subject set by key.
  std::optional<std::string> subjectForActivityType(
      const std::optional<UIActivityType>& activityType);
  // The link preview at the top of the sheet: the first item source's.
  std::shared_ptr<LPLinkMetadata> linkMetadata();

  // The activities the sheet offers, in the order it shows them, judged from
  // the placeholder items, less the excluded types: copy (the items onto the
  // general pasteboard) when some item is text, a URL or an image, and mail
  // (a new message through the application's mailto: handler) when every
  // item is text or a web link and the application can open mailto: URLs.
  std::vector<UIActivityType> offeredActivityTypes();
  // The person picked an offered activity: it runs, then the sheet ends with
  // its type, completed as the activity went. False, and nothing done, for
  // an activity not offered, while another one runs, or off screen.
  bool performActivity(const UIActivityType& activityType);

  // The user's choice ends the sheet: it is dismissed, then the completion
  // handler runs once. Answers false (and does nothing) when the sheet is not
  // on screen.
  bool completeWithActivityType(const std::optional<UIActivityType>& activityType, bool completed,
                                ValueList returnedItems = {}, NSErrorPtr activityError = nullptr);

  // On a phone a dimmed screen under a card at the bottom, which a drag
  // downwards closes; in a popover the card alone. See UIActivitySheetView.
  void loadView() override;

 private:
  ValueList items_;
  std::vector<std::shared_ptr<UIActivity>> activities_;
  std::vector<UIActivityType> excluded_;
  std::optional<std::string> subject_;
  CompletionWithItemsHandler completion_;
  bool performing_ = false;
};
