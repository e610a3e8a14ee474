#include "image_loading/animated/internal/ILDisplayLink.h"

#include "image_loading/animated/internal/ILWeakProxy.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/quartzcore/CADisplayLink.h"

ILDisplayLink::ILDisplayLink(std::weak_ptr<void> target, Action action)
    : target_(std::move(target)), action_(std::move(action)) {}

std::shared_ptr<ILDisplayLink> ILDisplayLink::displayLinkWithTarget(std::weak_ptr<void> target,
                                                                    Action action) {
  auto clock = std::make_shared<ILDisplayLink>(std::move(target), std::move(action));
  // The platform link keeps what it calls; it is given a proxy, and
  // invalidates itself at the first frame after the clock has gone.
  auto proxy = ILWeakProxy::proxyWithTarget(clock);
  clock->displayLink_ = std::make_shared<CADisplayLink>([proxy](CADisplayLink&) {
    return proxy->send<ILDisplayLink>([](ILDisplayLink& c) {
      c.displayLinkDidRefresh();
      return true;
    });
  });
  clock->displayLink_->setDrivesPlayback(true);
  return clock;
}

ILDisplayLink::~ILDisplayLink() {
  if (displayLink_) displayLink_->invalidate();
}

void ILDisplayLink::addToRunLoop(NSRunLoop* runLoop, const std::string& mode) {
  if (runLoop && !mode.empty()) displayLink_->addToRunLoop(*runLoop, mode);
}

void ILDisplayLink::removeFromRunLoop(NSRunLoop* runLoop, const std::string& mode) {
  if (runLoop && !mode.empty()) displayLink_->removeFromRunLoop(*runLoop, mode);
}

void ILDisplayLink::start() {
  QX_DCHECK_MAIN_THREAD();
  displayLink_->setPaused(false);
}

void ILDisplayLink::stop() {
  QX_DCHECK_MAIN_THREAD();
  displayLink_->setPaused(true);
  nextFireTime_ = 0;
}

bool ILDisplayLink::isRunning() const { return !displayLink_->isPaused(); }

double ILDisplayLink::duration() const {
  const double nominal = displayLink_->duration();
  const double elapsed =
      nextFireTime_ != 0 ? displayLink_->targetTimestamp() - nextFireTime_ : nominal;
  return elapsed < 0 ? nominal : elapsed;
}

void ILDisplayLink::displayLinkDidRefresh() {
  QX_DCHECK_MAIN_THREAD();
  if (!target_.expired() && action_) action_(*this);
  // The action may have stopped the clock, which forgets the fire time.
  if (isRunning()) nextFireTime_ = displayLink_->targetTimestamp();
}
