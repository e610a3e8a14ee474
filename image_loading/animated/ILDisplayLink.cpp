#include "image_loading/animated/ILDisplayLink.h"

#include <mutex>

#include "platform/foundation/NSTimer.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIScreen.h"

namespace {

// Fires on the main run loop at the screen's frame rate while unpaused; no
// timer is scheduled while paused.
class TimerDisplayLink : public ILPlatformDisplayLink {
 public:
  explicit TimerDisplayLink(std::function<void()> onRefresh)
      : onRefresh_(std::move(onRefresh)),
        interval_(1.0 / std::max<int64_t>(1, UIScreen::mainScreen()->maximumFramesPerSecond())) {}
  ~TimerDisplayLink() override { invalidate(); }

  bool isPaused() const override { return paused_; }
  void setPaused(bool paused) override {
    if (paused == paused_ || invalidated_) return;
    paused_ = paused;
    if (paused) {
      if (timer_) timer_->invalidate();
      timer_.reset();
      return;
    }
    timer_ = NSTimer::scheduledTimerWithTimeInterval(interval_, true, [this](NSTimer&) {
      timestamp_ = PlatformClock::now();
      if (onRefresh_) onRefresh_();
    });
  }
  double timestamp() const override { return timestamp_; }
  double targetTimestamp() const override { return timestamp_ + interval_; }
  double duration() const override { return interval_; }
  void addToRunLoopMode(const std::string&) override {}
  void removeFromRunLoopMode(const std::string&) override {}
  void invalidate() override {
    invalidated_ = true;
    if (timer_) timer_->invalidate();
    timer_.reset();
  }

 private:
  std::function<void()> onRefresh_;
  double interval_;
  double timestamp_ = 0;
  bool paused_ = true;
  bool invalidated_ = false;
  std::shared_ptr<NSTimer> timer_;
};

struct FactorySlot {
  std::mutex mutex;
  ILPlatformDisplayLinkFactory factory;
};

FactorySlot& factorySlot() {
  static FactorySlot* slot = [] {
    auto* created = new FactorySlot;
    SingletonResets::add([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      created->factory = nullptr;
    });
    return created;
  }();
  return *slot;
}

}  // namespace

void ILSetPlatformDisplayLinkFactory(ILPlatformDisplayLinkFactory factory) {
  FactorySlot& slot = factorySlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.factory = std::move(factory);
}

std::unique_ptr<ILPlatformDisplayLink> ILMakePlatformDisplayLink(std::function<void()> onRefresh) {
  ILPlatformDisplayLinkFactory factory;
  {
    FactorySlot& slot = factorySlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    factory = slot.factory;
  }
  if (factory) return factory(std::move(onRefresh));
  return std::make_unique<TimerDisplayLink>(std::move(onRefresh));
}

ILDisplayLink::ILDisplayLink(std::weak_ptr<void> target, Action action)
    : target_(std::move(target)), action_(std::move(action)) {}

std::shared_ptr<ILDisplayLink> ILDisplayLink::displayLinkWithTarget(std::weak_ptr<void> target,
                                                                    Action action) {
  auto clock = std::make_shared<ILDisplayLink>(std::move(target), std::move(action));
  // The platform link holds the clock only weakly, so a running link never
  // keeps its clock (or the clock's target) alive.
  clock->link_ = ILMakePlatformDisplayLink(
      WeakBind(std::weak_ptr<ILDisplayLink>(clock), [](ILDisplayLink& c) { c.displayLinkDidRefresh(); }));
  clock->link_->setPaused(true);
  return clock;
}

ILDisplayLink::~ILDisplayLink() {
  if (link_) link_->invalidate();
}

void ILDisplayLink::addToRunLoop(const std::string& mode) {
  if (!mode.empty()) link_->addToRunLoopMode(mode);
}

void ILDisplayLink::removeFromRunLoop(const std::string& mode) {
  if (!mode.empty()) link_->removeFromRunLoopMode(mode);
}

void ILDisplayLink::start() {
  QX_DCHECK_MAIN_THREAD();
  link_->setPaused(false);
}

void ILDisplayLink::stop() {
  QX_DCHECK_MAIN_THREAD();
  link_->setPaused(true);
  previousFireTime_ = 0;
  nextFireTime_ = 0;
}

bool ILDisplayLink::isRunning() const { return !link_->isPaused(); }

double ILDisplayLink::duration() const {
  const double nominal = link_->duration();
  const double elapsed = nextFireTime_ != 0 ? link_->targetTimestamp() - nextFireTime_ : nominal;
  return elapsed < 0 ? nominal : elapsed;
}

void ILDisplayLink::displayLinkDidRefresh() {
  QX_DCHECK_MAIN_THREAD();
  if (!target_.expired() && action_) action_(*this);
  // The action may have stopped the clock, which forgets the fire times.
  if (isRunning()) {
    previousFireTime_ = link_->timestamp();
    nextFireTime_ = link_->targetTimestamp();
  }
}
