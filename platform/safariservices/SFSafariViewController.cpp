#include "SFSafariViewController.h"

void SFSafariViewController::reportInitialLoad(bool success) {
  if (initialLoadReported_) return;
  initialLoadReported_ = true;
  if (auto d = delegate()) d->safariViewControllerDidCompleteInitialLoad(*this, success);
}

void SFSafariViewController::userDidTapDone() {
  // Keep this controller alive while its presenter lets go of it.
  auto self = std::static_pointer_cast<SFSafariViewController>(shared_from_this());
  if (presentingViewController()) dismissViewControllerAnimated(true);
  if (auto d = delegate()) d->safariViewControllerDidFinish(*this);
}
