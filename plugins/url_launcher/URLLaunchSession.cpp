#include "plugins/url_launcher/URLLaunchSession.h"

using url_launcher_ios::InAppLoadResult;

URLLaunchSession::URLLaunchSession(NSURLPtr url, Completion completion)
    : completion_(std::move(completion)),
      url_(std::move(url)),
      safariViewController_(SFSafariViewController::initWithURL(url_)) {}

std::shared_ptr<URLLaunchSession> URLLaunchSession::make(NSURLPtr url, Completion completion) {
  std::shared_ptr<URLLaunchSession> session(
      new URLLaunchSession(std::move(url), std::move(completion)));
  session->safariViewController_->setDelegate(session);
  return session;
}

void URLLaunchSession::complete(InAppLoadResult result) {
  if (!completion_) return;
  Completion completion = std::move(completion_);
  completion_ = nullptr;
  completion(result);
}

void URLLaunchSession::close() {
  // didFinish may drop the last owner of this session.
  auto self = shared_from_this();
  if (!isLoadCompleted_) complete(InAppLoadResult::dismissed);
  safariViewController_->dismissViewControllerAnimated(true);
  if (didFinish_) didFinish_();
}

void URLLaunchSession::safariViewControllerDidCompleteInitialLoad(SFSafariViewController&,
                                                                  bool didLoadSuccessfully) {
  complete(didLoadSuccessfully ? InAppLoadResult::success : InAppLoadResult::failedToLoad);
  isLoadCompleted_ = true;
}

void URLLaunchSession::safariViewControllerDidFinish(SFSafariViewController&) { close(); }
