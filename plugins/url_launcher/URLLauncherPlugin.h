#pragma once

// Asks whether a URL can be opened, opens it with the platform, or shows it in
// an in-app browser (one at a time) and closes that browser again. Opening
// goes through the shared application (and the URL opener it is given).

#include <functional>
#include <memory>

#include "plugins/url_launcher/URLLaunchSession.h"
#include "plugins/url_launcher/UrlLauncherApi.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"

// Something that can present a view controller.
class ViewPresenter {
 public:
  virtual ~ViewPresenter() = default;
  virtual void presentViewController(const std::shared_ptr<UIViewController>& controller,
                                     bool animated, OnceClosure completion) = 0;
};

// A view controller as presenter: it presents on top of whatever it already
// shows, so that the browser appears over other modal screens.
class ViewControllerPresenter : public ViewPresenter {
 public:
  explicit ViewControllerPresenter(std::shared_ptr<UIViewController> controller)
      : controller_(std::move(controller)) {}
  void presentViewController(const std::shared_ptr<UIViewController>& controller, bool animated,
                             OnceClosure completion) override;

 private:
  std::shared_ptr<UIViewController> controller_;
};

class ViewPresenterProvider {
 public:
  virtual ~ViewPresenterProvider() = default;
  // nullptr when there is nothing to present from.
  virtual std::shared_ptr<ViewPresenter> viewPresenter() = 0;
};

// The engine's view controller, through the plugin's registrar (held weakly:
// the registrar keeps the published plugin, which keeps this provider).
class DefaultViewPresenterProvider : public ViewPresenterProvider {
 public:
  explicit DefaultViewPresenterProvider(const FlutterPluginRegistrarPtr& registrar)
      : registrar_(registrar) {}
  std::shared_ptr<ViewPresenter> viewPresenter() override;

 private:
  std::weak_ptr<FlutterPluginRegistrar> registrar_;
};

class URLLauncherPlugin : public NSObject, public url_launcher_ios::UrlLauncherApi {
 public:
  explicit URLLauncherPlugin(std::shared_ptr<ViewPresenterProvider> viewPresenterProvider);
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  const std::shared_ptr<URLLaunchSession>& currentSession() const { return currentSession_; }

  url_launcher_ios::LaunchResult canLaunchUrl(const std::string& url) override;
  void launchUrl(
      const std::string& url, bool universalLinksOnly,
      OnceCallback<void(PigeonResult<url_launcher_ios::LaunchResult>)> completion) override;
  // A browser already showing is closed first (its pending request gets
  // dismissed), so that one request never waits behind another's browser.
  void openUrlInSafariViewController(
      const std::string& url,
      OnceCallback<void(PigeonResult<url_launcher_ios::InAppLoadResult>)> completion) override;
  void closeSafariViewController() override;

 private:
  std::shared_ptr<URLLaunchSession> currentSession_;
  std::shared_ptr<ViewPresenterProvider> viewPresenterProvider_;
};
