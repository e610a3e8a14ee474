#include "URLLauncherPlugin.h"

#include <utility>

#include "platform/uikit/UIApplication.h"

using url_launcher_ios::InAppLoadResult;
using url_launcher_ios::LaunchResult;

void ViewControllerPresenter::presentViewController(
    const std::shared_ptr<UIViewController>& controller, bool animated,
    OnceClosure completion) {
  UIViewController::topmostPresented(controller_)
      ->presentViewController(controller, animated, std::move(completion));
}

std::shared_ptr<ViewPresenter> DefaultViewPresenterProvider::viewPresenter() {
  auto registrar = registrar_.lock();
  auto controller = registrar ? registrar->viewController() : nullptr;
  return controller ? std::make_shared<ViewControllerPresenter>(controller) : nullptr;
}

URLLauncherPlugin::URLLauncherPlugin(std::shared_ptr<ViewPresenterProvider> viewPresenterProvider)
    : viewPresenterProvider_(std::move(viewPresenterProvider)) {}

void URLLauncherPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto plugin = std::make_shared<URLLauncherPlugin>(
      std::make_shared<DefaultViewPresenterProvider>(registrar));
  url_launcher_ios::UrlLauncherApiSetup::setUp(registrar->messenger(), plugin, "");
  registrar->publish(Value(std::shared_ptr<NSObject>(plugin)));
}

LaunchResult URLLauncherPlugin::canLaunchUrl(const std::string& url) {
  auto parsed = NSURL::URLWithString(url);
  if (!parsed) return LaunchResult::invalidUrl;
  return UIApplication::sharedApplication()->canOpenURL(parsed) ? LaunchResult::success
                                                                : LaunchResult::failure;
}

void URLLauncherPlugin::launchUrl(const std::string& url, bool universalLinksOnly,
                                  OnceCallback<void(PigeonResult<LaunchResult>)> completion) {
  using Result = PigeonResult<LaunchResult>;
  auto parsed = NSURL::URLWithString(url);
  if (!parsed) {
    completion(Result::success(LaunchResult::invalidUrl));
    return;
  }
  ValueMap options{
      {Value(UIApplicationOpenURLOptionUniversalLinksOnly), Value(universalLinksOnly)}};
  UIApplication::sharedApplication()->openURL(
      parsed, Value(std::move(options)), [completion = std::move(completion)](bool success) mutable {
        completion(Result::success(success ? LaunchResult::success : LaunchResult::failure));
      });
}

void URLLauncherPlugin::openUrlInSafariViewController(
    const std::string& url, OnceCallback<void(PigeonResult<InAppLoadResult>)> completion) {
  using Result = PigeonResult<InAppLoadResult>;
  auto parsed = NSURL::URLWithString(url);
  if (!parsed) {
    completion(Result::success(InAppLoadResult::invalidUrl));
    return;
  }
  auto presenter = viewPresenterProvider_->viewPresenter();
  if (!presenter) {
    completion(Result::success(InAppLoadResult::noUI));
    return;
  }
  auto session = URLLaunchSession::make(
      parsed, [completion = std::move(completion)](InAppLoadResult result) mutable {
        completion(Result::success(result));
      });
  auto previous = std::exchange(currentSession_, session);
  std::weak_ptr<URLLauncherPlugin> weakSelf =
      std::static_pointer_cast<URLLauncherPlugin>(shared_from_this());
  std::weak_ptr<URLLaunchSession> weakSession = session;
  session->setDidFinish([weakSelf, weakSession] {
    auto self = weakSelf.lock();
    // Only the session that ends may clear the slot: an older session that
    // finishes late must not take a newer one with it.
    if (self && self->currentSession_ == weakSession.lock()) self->currentSession_ = nullptr;
  });
  // The earlier browser goes before the new one shows; its end must leave
  // the new session in place.
  if (previous) previous->close();
  presenter->presentViewController(session->safariViewController(), true, nullptr);
}

void URLLauncherPlugin::closeSafariViewController() {
  if (auto session = currentSession_) session->close();
}
