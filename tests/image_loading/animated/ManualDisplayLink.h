#pragma once

// A scripted platform display link: the test decides when each refresh
// happens and at what time, and the clocks made while it is installed use it.

#include <memory>
#include <vector>

#include "image_loading/animated/ILDisplayLink.h"

class ManualDisplayLink : public ILPlatformDisplayLink {
 public:
  ManualDisplayLink(std::function<void()> onRefresh, double interval)
      : onRefresh_(std::move(onRefresh)), interval_(interval) {}
  bool isPaused() const override { return paused_; }
  void setPaused(bool paused) override { paused_ = paused; }
  double timestamp() const override { return timestamp_; }
  double targetTimestamp() const override { return timestamp_ + interval_; }
  double duration() const override { return interval_; }
  void addToRunLoopMode(const std::string& mode) override { modes.push_back("+" + mode); }
  void removeFromRunLoopMode(const std::string& mode) override { modes.push_back("-" + mode); }
  void invalidate() override { invalidated = true; }

  // A refresh at `time`, delivered only while running.
  void refreshAt(double time) {
    timestamp_ = time;
    if (!paused_ && !invalidated && onRefresh_) onRefresh_();
  }

  std::vector<std::string> modes;
  bool invalidated = false;

 private:
  std::function<void()> onRefresh_;
  double interval_;
  double timestamp_ = 0;
  bool paused_ = true;
};

// Installs the factory; the links made are kept here (the clocks own them).
class ManualDisplayLinks {
 public:
  explicit ManualDisplayLinks(double interval) {
    ILSetPlatformDisplayLinkFactory([this, interval](std::function<void()> onRefresh) {
      auto link = std::make_unique<ManualDisplayLink>(std::move(onRefresh), interval);
      made.push_back(link.get());
      return link;
    });
  }
  ~ManualDisplayLinks() { ILSetPlatformDisplayLinkFactory(nullptr); }
  ManualDisplayLink& last() { return *made.back(); }
  std::vector<ManualDisplayLink*> made;
};
