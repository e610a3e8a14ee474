#pragma once

// Indicators a view shows while it loads an image: the view categories add
// the indicator's view to the loading view, start it when a load begins,
// feed it progress when it takes progress, and stop it when the load ends.

#include <memory>

#include "platform/foundation/NSObject.h"

class UIView;
class UIActivityIndicatorView;
class UIProgressView;

class ILRemoteImageIndicator {
 public:
  virtual ~ILRemoteImageIndicator() = default;
  virtual std::shared_ptr<UIView> indicatorView() const = 0;
  virtual void startAnimatingIndicator() = 0;
  virtual void stopAnimatingIndicator() = 0;
  // Progress is optional: an indicator that takes it answers true and gets
  // values between 0 and 1.
  virtual bool respondsToUpdateIndicatorProgress() const { return false; }
  virtual void updateIndicatorProgress(double /*progress*/) {}
};

using ILRemoteImageIndicatorPtr = std::shared_ptr<ILRemoteImageIndicator>;

// A spinning activity indicator, shown while it spins.
class ILRemoteImageActivityIndicator : public NSObject, public ILRemoteImageIndicator {
 public:
  ILRemoteImageActivityIndicator();

  static std::shared_ptr<ILRemoteImageActivityIndicator> grayIndicator();
  // The gray colour on the large style.
  static std::shared_ptr<ILRemoteImageActivityIndicator> grayLargeIndicator();
  static std::shared_ptr<ILRemoteImageActivityIndicator> whiteIndicator();
  static std::shared_ptr<ILRemoteImageActivityIndicator> whiteLargeIndicator();
  static std::shared_ptr<ILRemoteImageActivityIndicator> largeIndicator();
  static std::shared_ptr<ILRemoteImageActivityIndicator> mediumIndicator();

  const std::shared_ptr<UIActivityIndicatorView>& activityIndicatorView() const { return view_; }
  void setIndicatorView(std::shared_ptr<UIActivityIndicatorView> view) { view_ = std::move(view); }

  std::shared_ptr<UIView> indicatorView() const override;
  void startAnimatingIndicator() override;
  void stopAnimatingIndicator() override;

  std::string className() const override { return "ILRemoteImageActivityIndicator"; }

 private:
  std::shared_ptr<UIActivityIndicatorView> view_;
};

// A progress bar, shown while a load runs. A bar bound to a progress object
// (observedProgress) follows that object and is never set directly.
class ILRemoteImageProgressIndicator : public NSObject, public ILRemoteImageIndicator {
 public:
  ILRemoteImageProgressIndicator();

  static std::shared_ptr<ILRemoteImageProgressIndicator> defaultIndicator();
  static std::shared_ptr<ILRemoteImageProgressIndicator> barIndicator();

  const std::shared_ptr<UIProgressView>& progressView() const { return view_; }
  void setIndicatorView(std::shared_ptr<UIProgressView> view) { view_ = std::move(view); }

  std::shared_ptr<UIView> indicatorView() const override;
  void startAnimatingIndicator() override;
  void stopAnimatingIndicator() override;
  bool respondsToUpdateIndicatorProgress() const override { return true; }
  void updateIndicatorProgress(double progress) override;

  std::string className() const override { return "ILRemoteImageProgressIndicator"; }

 private:
  bool followsObservedProgress() const;

  std::shared_ptr<UIProgressView> view_;
};
