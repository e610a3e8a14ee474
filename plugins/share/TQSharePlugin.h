#pragma once

// Opens the share sheet for a text, a URI or files on the "share" call of
// channel "dev.tarnquell.plugins/share", and answers when the sheet closes:
// the completed activity's type, or "" when the user closed it without one.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/uikit/UIActivityViewController.h"

using UIActivityTypeList = std::optional<std::vector<UIActivityType>>;

class TQSharePlugin : public NSObject {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  // Activity names of the Dart side to the sheet's activity types, for the
  // running system version; built once.
  static const std::map<std::string, UIActivityType>& activityTypesByName();

  // The controller the sheet is shown from: the end of the presentation chain
  // that starts at `root`.
  static std::shared_ptr<UIViewController> topViewControllerFrom(
      std::shared_ptr<UIViewController> root);

  static void shareUri(const std::string& uri, const UIActivityTypeList& excludedActivityTypes,
                       const std::shared_ptr<UIViewController>& controller, const CGRect& origin,
                       FlutterResult result);
  static void shareText(const std::string& text, const std::optional<std::string>& subject,
                        const UIActivityTypeList& excludedActivityTypes,
                        const std::shared_ptr<UIViewController>& controller, const CGRect& origin,
                        FlutterResult result);
  static void shareFiles(const std::vector<std::string>& paths,
                         const std::optional<std::vector<std::string>>& mimeTypes,
                         const std::optional<std::string>& subject,
                         const std::optional<std::string>& text,
                         const UIActivityTypeList& excludedActivityTypes,
                         const std::shared_ptr<UIViewController>& controller, const CGRect& origin,
                         FlutterResult result);
  // Builds, configures and presents the sheet; the reply comes when it closes.
  static void share(ValueList items, const std::optional<std::string>& subject,
                    const UIActivityTypeList& excludedActivityTypes,
                    const std::shared_ptr<UIViewController>& controller, const CGRect& origin,
                    FlutterResult result);

 private:
  static void handleMethodCall(const FlutterMethodCall& call, FlutterResult result);
};
