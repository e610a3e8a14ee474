#include "TQSharePlugin.h"

#include <mutex>

#include "internal/ShareData.h"
#include "platform/flutter/FlutterArguments.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIWindow.h"

namespace {

const char* const kErrorCode = "error";

void answerError(FlutterResult& result, const std::string& message) {
  result(FlutterError::errorWithCode(kErrorCode, message));
}

// The "share" arguments, read and type-checked. Null values count as absent,
// as the Dart side sends null for options it leaves out.
struct ShareRequest {
  std::optional<std::string> text;
  std::optional<std::string> uri;
  std::optional<std::string> subject;
  std::optional<std::vector<std::string>> paths;
  std::optional<std::vector<std::string>> mimeTypes;
  UIActivityTypeList excluded;
  CGRect origin = CGRectZero;
};

// Names outside the table are skipped; an empty or missing list excludes nothing.
UIActivityTypeList excludedTypes(const std::optional<std::vector<std::string>>& names) {
  if (!names || names->empty()) return std::nullopt;
  const auto& table = TQSharePlugin::activityTypesByName();
  std::vector<UIActivityType> types;
  for (const auto& name : *names) {
    auto it = table.find(name);
    if (it != table.end()) types.push_back(it->second);
  }
  return types;
}

bool readRequest(const Value& args, ShareRequest& request, std::string& error) {
  if (!args.isNull() && !args.isMap()) {
    error = "Expected a map of share arguments";
    return false;
  }
  FlutterArguments read(args);
  // The popover's source rectangle: all four numbers, or the zero rectangle.
  request.origin =
      read.rect("originX", "originY", "originWidth", "originHeight").value_or(CGRectZero);
  auto excludedNames = read.stringList("excludedCupertinoActivities");
  request.text = read.string("text");
  request.paths = read.stringList("paths");
  request.mimeTypes = read.stringList("mimeTypes");
  request.uri = read.string("uri");
  auto title = read.string("title");
  auto subject = read.string("subject");
  if (!read.ok()) {
    error = read.error();
    return false;
  }
  request.excluded = excludedTypes(excludedNames);
  request.subject = title ? title : subject;
  return true;
}

// The first failed rule's message, or nullopt when the request is acceptable.
std::optional<std::string> validationError(const ShareRequest& r) {
  if (r.text && r.text->empty()) return "Non-empty text expected";
  if (r.subject && r.subject->empty()) return "Non-empty title expected";
  if (r.uri && r.uri->empty()) return "Non-empty uri expected";
  if (r.paths && r.paths->empty()) return "Non-empty paths expected";
  if (r.paths) {
    for (const auto& path : *r.paths) {
      if (path.empty()) return "Each path must not be empty";
    }
  }
  if (r.paths && r.mimeTypes && r.paths->size() != r.mimeTypes->size()) {
    return "Paths and mimeTypes should have same length";
  }
  return std::nullopt;
}

// The key window's root controller. The headless application has one window
// scene, which holds every window, so the key window is the one to ask.
std::shared_ptr<UIViewController> rootViewController() {
  auto window = UIWindow::keyWindow();
  return window ? window->rootViewController() : nullptr;
}

bool isPad() { return UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPad; }

std::map<std::string, UIActivityType> buildActivityTable() {
  std::map<std::string, UIActivityType> table = {
      {"postToFacebook", UIActivityTypePostToFacebook},
      {"postToTwitter", UIActivityTypePostToTwitter},
      {"postToWeibo", UIActivityTypePostToWeibo},
      {"message", UIActivityTypeMessage},
      {"mail", UIActivityTypeMail},
      {"print", UIActivityTypePrint},
      {"copyToPasteboard", UIActivityTypeCopyToPasteboard},
      {"assignToContact", UIActivityTypeAssignToContact},
      {"saveToCameraRoll", UIActivityTypeSaveToCameraRoll},
      {"addToReadingList", UIActivityTypeAddToReadingList},
      {"postToFlickr", UIActivityTypePostToFlickr},
      {"postToVimeo", UIActivityTypePostToVimeo},
      {"postToTencentWeibo", UIActivityTypePostToTencentWeibo},
      {"airDrop", UIActivityTypeAirDrop},
      {"openInIBooks", UIActivityTypeOpenInIBooks},
      {"markupAsPDF", UIActivityTypeMarkupAsPDF},
  };
  auto& info = NSProcessInfo::processInfo();
  if (info.isOperatingSystemAtLeastVersion({15, 4, 0})) {
    table["sharePlay"] = UIActivityTypeSharePlay;
  }
  if (info.isOperatingSystemAtLeastVersion({16, 0, 0})) {
    table["collaborationInviteWithLink"] = UIActivityTypeCollaborationInviteWithLink;
    table["collaborationCopyLink"] = UIActivityTypeCollaborationCopyLink;
  }
  if (info.isOperatingSystemAtLeastVersion({16, 4, 0})) {
    table["addToHomeScreen"] = UIActivityTypeAddToHomeScreen;
  }
  return table;
}

}  // namespace

void TQSharePlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/share",
                                                             registrar->messenger());
  channel->setMethodCallHandler(&TQSharePlugin::handleMethodCall);
}

const std::map<std::string, UIActivityType>& TQSharePlugin::activityTypesByName() {
  static const std::map<std::string, UIActivityType> table = buildActivityTable();
  return table;
}

std::shared_ptr<UIViewController> TQSharePlugin::topViewControllerFrom(
    std::shared_ptr<UIViewController> root) {
  auto vc = std::move(root);
  while (vc) {
    if (auto presented = vc->presentedViewController()) {
      vc = presented;
      continue;
    }
    auto nav = std::dynamic_pointer_cast<UINavigationController>(vc);
    auto visible = nav ? nav->visibleViewController() : nullptr;
    if (!visible || visible == vc) break;
    vc = visible;
  }
  return vc;
}

void TQSharePlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method != "share") {
    result(FlutterMethodNotImplemented);
    return;
  }
  ShareRequest request;
  std::string error;
  if (!readRequest(call.arguments, request, error)) return answerError(result, error);
  if (auto invalid = validationError(request)) return answerError(result, *invalid);

  auto root = rootViewController();
  if (!root) return answerError(result, "No root view controller found");
  auto top = topViewControllerFrom(root);

  if (request.uri) {
    shareUri(*request.uri, request.excluded, top, request.origin, std::move(result));
  } else if (request.paths) {
    shareFiles(*request.paths, request.mimeTypes, request.subject, request.text, request.excluded,
               top, request.origin, std::move(result));
  } else if (request.text) {
    shareText(*request.text, request.subject, request.excluded, top, request.origin, std::move(result));
  } else {
    answerError(result, "No share content provided");
  }
}

void TQSharePlugin::shareUri(const std::string& uri, const UIActivityTypeList& excluded,
                             const std::shared_ptr<UIViewController>& controller,
                             const CGRect& origin, FlutterResult result) {
  auto url = NSURL::URLWithString(uri);
  if (!url) return answerError(result, "Invalid uri: " + uri);
  // One empty subject for every call: GCC's -Wmaybe-uninitialized misreads
  // the destruction of a temporary empty optional string made here.
  static const std::optional<std::string> kNoSubject;
  share({Value(std::static_pointer_cast<NSObject>(url))}, kNoSubject, excluded, controller, origin,
        std::move(result));
}

void TQSharePlugin::shareText(const std::string& text, const std::optional<std::string>& subject,
                              const UIActivityTypeList& excluded,
                              const std::shared_ptr<UIViewController>& controller,
                              const CGRect& origin, FlutterResult result) {
  auto data = ShareData::initWithSubject(subject, text);
  share({Value(std::static_pointer_cast<NSObject>(data))}, subject, excluded, controller, origin,
        std::move(result));
}

void TQSharePlugin::shareFiles(const std::vector<std::string>& paths,
                               const std::optional<std::vector<std::string>>& mimeTypes,
                               const std::optional<std::string>& subject,
                               const std::optional<std::string>& text,
                               const UIActivityTypeList& excluded,
                               const std::shared_ptr<UIViewController>& controller,
                               const CGRect& origin, FlutterResult result) {
  ValueList items;
  for (size_t i = 0; i < paths.size(); ++i) {
    std::optional<std::string> mimeType;
    if (mimeTypes && i < mimeTypes->size()) mimeType = (*mimeTypes)[i];
    items.push_back(Value(
        std::static_pointer_cast<NSObject>(ShareData::initWithFile(paths[i], mimeType, subject))));
  }
  if (text) {
    items.push_back(
        Value(std::static_pointer_cast<NSObject>(ShareData::initWithSubject(subject, *text))));
  }
  share(std::move(items), subject, excluded, controller, origin, std::move(result));
}

void TQSharePlugin::share(ValueList items, const std::optional<std::string>& subject,
                          const UIActivityTypeList& excluded,
                          const std::shared_ptr<UIViewController>& controller, const CGRect& origin,
                          FlutterResult result) {
  auto sheet = std::make_shared<UIActivityViewController>(
      std::move(items), std::vector<std::shared_ptr<UIActivity>>{});
  sheet->setExcludedActivityTypes(excluded.value_or(std::vector<UIActivityType>{}));
  if (subject) sheet->setValueForKey(Value(*subject), "subject");

  auto view = controller->view();
  auto popover = sheet->popoverPresentationController();
  if (popover) popover->setSourceView(view);
  // The origin is in the view's own coordinates, so it must lie within its
  // bounds; the frame is in the superview's space and would wrongly reject
  // origins of a view that does not sit at (0, 0).
  if (isPad() && popover &&
      (CGRectIsEmpty(origin) || !CGRectContainsRect(view->bounds(), origin))) {
    return answerError(result,
                       "sharePositionOrigin: argument must be set, " + NSStringFromCGRect(origin) +
                           " must be non-zero and within coordinate space of source view: " +
                           NSStringFromCGRect(view->bounds()));
  }
  if (popover && !CGRectIsEmpty(origin)) popover->setSourceRect(origin);

  sheet->setCompletionWithItemsHandler(
      [result = std::move(result)](const std::optional<UIActivityType>& activityType,
                                   bool completed, const ValueList&, const NSErrorPtr&) mutable {
        result(Value(completed && activityType ? *activityType : std::string()));
      });
  controller->presentViewController(sheet, true);
}
