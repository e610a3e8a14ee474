#include "image_loading/categories/internal/ILRemoteImageIndicator.h"

#include "platform/foundation/NSProcessInfo.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIProgressView.h"

namespace {

constexpr uint64_t kFlexibleMargins =
    UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleRightMargin |
    UIViewAutoresizingFlexibleTopMargin | UIViewAutoresizingFlexibleBottomMargin;

bool atLeastIOS13() {
  return NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({13, 0, 0});
}

std::shared_ptr<ILRemoteImageActivityIndicator> indicatorWithStyle(
    UIActivityIndicatorViewStyle style) {
  auto indicator = std::make_shared<ILRemoteImageActivityIndicator>();
  indicator->activityIndicatorView()->setActivityIndicatorViewStyle(style);
  return indicator;
}

}  // namespace

ILRemoteImageActivityIndicator::ILRemoteImageActivityIndicator()
    : view_(std::make_shared<UIActivityIndicatorView>(
          atLeastIOS13() ? UIActivityIndicatorViewStyleMedium : UIActivityIndicatorViewStyleWhite)) {
  view_->setAutoresizingMask(kFlexibleMargins);
}

std::shared_ptr<ILRemoteImageActivityIndicator> ILRemoteImageActivityIndicator::grayIndicator() {
  return indicatorWithStyle(UIActivityIndicatorViewStyleGray);
}

std::shared_ptr<ILRemoteImageActivityIndicator>
ILRemoteImageActivityIndicator::grayLargeIndicator() {
  auto indicator = grayIndicator();
  auto& view = indicator->activityIndicatorView();
  // The large style names white: keep the gray.
  UIColorPtr gray = view->color();
  view->setActivityIndicatorViewStyle(UIActivityIndicatorViewStyleWhiteLarge);
  view->setColor(gray);
  view->sizeToFit();
  return indicator;
}

std::shared_ptr<ILRemoteImageActivityIndicator> ILRemoteImageActivityIndicator::whiteIndicator() {
  return indicatorWithStyle(UIActivityIndicatorViewStyleWhite);
}

std::shared_ptr<ILRemoteImageActivityIndicator>
ILRemoteImageActivityIndicator::whiteLargeIndicator() {
  auto indicator = whiteIndicator();
  indicator->activityIndicatorView()->setActivityIndicatorViewStyle(
      UIActivityIndicatorViewStyleWhiteLarge);
  return indicator;
}

std::shared_ptr<ILRemoteImageActivityIndicator> ILRemoteImageActivityIndicator::largeIndicator() {
  return indicatorWithStyle(atLeastIOS13() ? UIActivityIndicatorViewStyleLarge
                                           : UIActivityIndicatorViewStyleWhiteLarge);
}

std::shared_ptr<ILRemoteImageActivityIndicator> ILRemoteImageActivityIndicator::mediumIndicator() {
  return indicatorWithStyle(atLeastIOS13() ? UIActivityIndicatorViewStyleMedium
                                           : UIActivityIndicatorViewStyleWhite);
}

std::shared_ptr<UIView> ILRemoteImageActivityIndicator::indicatorView() const { return view_; }

void ILRemoteImageActivityIndicator::startAnimatingIndicator() {
  view_->startAnimating();
  view_->setHidden(false);
}

void ILRemoteImageActivityIndicator::stopAnimatingIndicator() {
  view_->stopAnimating();
  view_->setHidden(true);
}

ILRemoteImageProgressIndicator::ILRemoteImageProgressIndicator()
    : view_(std::make_shared<UIProgressView>(UIProgressViewStyleDefault)) {
  view_->setAutoresizingMask(kFlexibleMargins);
}

std::shared_ptr<ILRemoteImageProgressIndicator> ILRemoteImageProgressIndicator::defaultIndicator() {
  return std::make_shared<ILRemoteImageProgressIndicator>();
}

std::shared_ptr<ILRemoteImageProgressIndicator> ILRemoteImageProgressIndicator::barIndicator() {
  auto indicator = std::make_shared<ILRemoteImageProgressIndicator>();
  auto bar = std::make_shared<UIProgressView>(UIProgressViewStyleBar);
  bar->setAutoresizingMask(kFlexibleMargins);
  indicator->setIndicatorView(std::move(bar));
  return indicator;
}

std::shared_ptr<UIView> ILRemoteImageProgressIndicator::indicatorView() const { return view_; }

bool ILRemoteImageProgressIndicator::followsObservedProgress() const {
  return view_->observedProgress() != nullptr;
}

void ILRemoteImageProgressIndicator::startAnimatingIndicator() {
  view_->setHidden(false);
  if (!followsObservedProgress()) view_->setProgress(0);
}

void ILRemoteImageProgressIndicator::stopAnimatingIndicator() {
  view_->setHidden(true);
  if (!followsObservedProgress()) view_->setProgress(1);
}

void ILRemoteImageProgressIndicator::updateIndicatorProgress(double progress) {
  if (!followsObservedProgress()) view_->setProgress(float(progress), true);
}
