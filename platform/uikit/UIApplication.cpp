#include "UIApplication.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/ProcessReaper.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIDocumentPickerViewController.h"
#include "platform/uikit/UIWindow.h"

extern char** environ;

const char* const UIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
const char* const UIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
const char* const UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
const char* const UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
const char* const UIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
const char* const UIApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";
const char* const UIApplicationOpenURLOptionUniversalLinksOnly =
    "UIApplicationOpenURLOptionUniversalLinksOnly";

namespace {

void completeOnMain(UIApplicationOpenURLCompletion completion, bool success) {
  if (!completion) return;
  NSRunLoop::mainRunLoop().perform(
      [completion = std::move(completion), success]() mutable { completion(success); });
}

// `path` made canonical (links and dot segments resolved) when it names
// something that exists; nullopt otherwise.
std::optional<std::string> realPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::nullopt;
  std::string out = real;
  std::free(real);
  return out;
}

// What an opener is given for `url`, or nullptr when the URL must not reach
// one. Only absolute URLs go, in a normal form that starts with the scheme
// (lower case), so an opener can never read it as an option. A file URL goes
// only when it names something inside the application's container, after
// following links.
NSURLPtr launchableURL(const NSURL& url) {
  const auto scheme = url.scheme();
  if (!scheme || scheme->empty()) return nullptr;
  if (url.isFileURL()) {
    const auto host = url.host();
    if (host && !host->empty() && *host != "localhost") return nullptr;
    const std::string path = url.path();
    if (path.empty() || path[0] != '/') return nullptr;
    const auto real = realPath(path);
    const auto container = realPath(NSFileManager::containerRoot());
    if (!real || !container || real->rfind(*container + "/", 0) != 0) return nullptr;
    return NSURL::fileURLWithPath(*real);
  }
  auto standard = url.standardizedURL();
  if (!standard) return nullptr;
  std::string lowerScheme;
  for (char c : *scheme) lowerScheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return NSURL::URLWithString(lowerScheme + standard->absoluteString().substr(scheme->size()));
}

// Runs QX_OPEN_URL_COMMAND with the URL; see UIApplicationURLOpener. It is
// handed only URLs that launchableURL let through.
class CommandURLOpener : public UIApplicationURLOpener {
 public:
  bool canOpenURL(const NSURL&) override { return !command().empty(); }

  void openURL(const NSURLPtr& url, const Value& options,
               UIApplicationOpenURLCompletion completion) override {
    const Value* universal = options.find(UIApplicationOpenURLOptionUniversalLinksOnly);
    std::string program = command();
    if (program.empty() || (universal && universal->asBool())) {
      NSLog("UIApplication: not opening " + url->absoluteString() +
            (program.empty() ? " (QX_OPEN_URL_COMMAND is not set)" : " (universal links only)"));
      completeOnMain(std::move(completion), false);
      return;
    }
    NSLog("UIApplication: opening " + url->absoluteString() + " with " + program);
    pid_t pid = spawn(program, url->absoluteString());
    if (pid <= 0) {
      completeOnMain(std::move(completion), false);
      return;
    }
    ProcessReaper::watch(pid, dispatch_get_main_queue(),
                         [completion = std::move(completion)](int status) mutable {
                           completion(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                         });
  }

 private:
  static std::string command() {
    const char* c = std::getenv("QX_OPEN_URL_COMMAND");
    return c ? c : "";
  }

  // Standard input from /dev/null and output to standard error, so that the
  // program can never disturb the host's own input and output.
  static pid_t spawn(const std::string& program, const std::string& url) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    std::string arg0 = program, arg1 = url;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    pid_t pid = 0;
    int err = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
      NSLog("UIApplication: cannot run " + program + ": " + std::strerror(err));
      return 0;
    }
    return pid;
  }
};

Mutex& idleTimerSetterMutex() {
  static Mutex m;  // guards currentIdleTimerSetter()
  return m;
}

UIApplication::IdleTimerSetter& currentIdleTimerSetter() REQUIRES(idleTimerSetterMutex()) {
  static UIApplication::IdleTimerSetter setter;
  return setter;
}

}  // namespace

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
  static auto app = [] {
    auto made = std::make_shared<UIApplication>();
    std::weak_ptr<UIApplication> weak = made;
    // Quietly: an application not yet launched has told nobody anything.
    SingletonResets::add([weak] {
      if (auto self = weak.lock()) {
        self->stateProvider_ = std::make_shared<UIHeadlessApplicationState>();
        self->state_ = UIApplicationState::Inactive;
      }
    });
    return made;
  }();
  return app;
}

void UIApplication::setStateProvider(std::shared_ptr<UIApplicationStateProvider> provider) {
  stateProvider_ = provider ? std::move(provider) : std::make_shared<UIHeadlessApplicationState>();
  refreshApplicationState();
}

void UIApplication::refreshApplicationState() {
  QX_DCHECK_MAIN_THREAD();
  const UIApplicationState state = stateProvider_->state();
  if (state == state_) return;
  UIApplicationState old = state_;
  state_ = state;
  auto d = delegate_;
  auto self = std::static_pointer_cast<UIApplication>(shared_from_this());
  auto& center = NSNotificationCenter::defaultCenter();
  if (old == UIApplicationState::Active) {
    if (d) d->applicationWillResignActive(*this);
    center.postNotificationName(UIApplicationWillResignActiveNotification, self);
  }
  if (old == UIApplicationState::Background) {
    if (d) d->applicationWillEnterForeground(*this);
    center.postNotificationName(UIApplicationWillEnterForegroundNotification, self);
  }
  if (state == UIApplicationState::Background) {
    if (d) d->applicationDidEnterBackground(*this);
    center.postNotificationName(UIApplicationDidEnterBackgroundNotification, self);
  }
  if (state == UIApplicationState::Active) {
    if (d) d->applicationDidBecomeActive(*this);
    center.postNotificationName(UIApplicationDidBecomeActiveNotification, self);
  }
}

void UIApplication::simulateMemoryWarning() {
  NSNotificationCenter::defaultCenter().postNotificationName(
      UIApplicationDidReceiveMemoryWarningNotification,
      std::static_pointer_cast<UIApplication>(shared_from_this()));
}

void UIApplication::terminate() {
  if (delegate_) delegate_->applicationWillTerminate(*this);
  NSNotificationCenter::defaultCenter().postNotificationName(
      UIApplicationWillTerminateNotification,
      std::static_pointer_cast<UIApplication>(shared_from_this()));
  NSRunLoop::mainRunLoop().stop();
}

std::shared_ptr<UIApplicationURLOpener> UIApplication::urlOpener() const {
  return urlOpener_ ? urlOpener_ : std::make_shared<CommandURLOpener>();
}

bool UIApplication::canOpenURL(const NSURLPtr& url) {
  auto launchable = url ? launchableURL(*url) : nullptr;
  return launchable && urlOpener()->canOpenURL(*launchable);
}

void UIApplication::openURL(const NSURLPtr& url, const Value& options,
                            UIApplicationOpenURLCompletion completion) {
  auto launchable = url ? launchableURL(*url) : nullptr;
  if (!launchable) {
    NSLog("UIApplication: not opening " + (url ? url->absoluteString() : std::string("(no URL)")) +
          " (not an absolute URL, or a file outside the application's container)");
    completeOnMain(std::move(completion), false);
    return;
  }
  urlOpener()->openURL(launchable, options, std::move(completion));
}

void UIApplication::setURLOpener(std::shared_ptr<UIApplicationURLOpener> opener) {
  urlOpener_ = std::move(opener);
}

void UIApplication::platformSetIdleTimerDisabled(UIApplication& app, bool disabled) {
  app.idleTimerDisabled_ = disabled;
}

void UIApplication::setIdleTimerDisabled(bool disabled) {
  IdleTimerSetter setter;
  {
    MutexLock lock(idleTimerSetterMutex());
    setter = currentIdleTimerSetter();
  }
  if (setter) {
    setter(*this, disabled);
  } else {
    platformSetIdleTimerDisabled(*this, disabled);
  }
}

UIApplication::IdleTimerSetter UIApplication::exchangeIdleTimerSetter(IdleTimerSetter setter) {
  MutexLock lock(idleTimerSetterMutex());
  IdleTimerSetter previous = currentIdleTimerSetter();
  if (!previous) previous = &UIApplication::platformSetIdleTimerDisabled;
  currentIdleTimerSetter() = std::move(setter);
  return previous;
}

int UIApplicationMain(int argc, char** argv, const std::optional<std::string>& principalClassName,
                      const std::string& delegateClassName) {
  return UIApplicationMain(argc, argv, principalClassName, delegateClassName, Value());
}

int UIApplicationMain(int, char**, const std::optional<std::string>&,
                      const std::string& delegateClassName, const Value& launchOptions) {
  auto object = NSClassRegistry::createInstance(delegateClassName);
  auto delegate = std::dynamic_pointer_cast<UIApplicationDelegate>(object);
  if (!delegate) {
    std::fprintf(stderr, "Unable to instantiate the application delegate class %s\n",
                 delegateClassName.c_str());
    return 1;
  }
  auto app = UIApplication::sharedApplication();
  // The application turns with the device, so it follows the device's
  // orientation from launch (as the platform's autorotation does): the
  // device reports how it is held without anyone asking.
  UIDevice::currentDevice()->beginGeneratingDeviceOrientationNotifications();
  app->setDelegate(delegate);
  // What the document picker's saves left when an earlier run died goes,
  // without holding up the launch.
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Utility),
                 [] { UIDocumentPickerViewController::removeAbandonedExports(); });
  delegate->applicationDidFinishLaunchingWithOptions(*app, launchOptions);
  app->refreshApplicationState();
  NSRunLoop::mainRunLoop().run();
  return 0;
}

const char* const UIApplicationOpenSettingsURLString = "app-settings:";

void UIApplication::noteWindow(const std::shared_ptr<UIWindow>& window) {
  QX_DCHECK_MAIN_THREAD();
  std::erase_if(windows_, [](const std::weak_ptr<UIWindow>& w) { return w.expired(); });
  for (auto& w : windows_) {
    if (w.lock() == window) return;
  }
  windows_.push_back(window);
}

std::vector<std::shared_ptr<UIWindow>> UIApplication::windows() const {
  std::vector<std::shared_ptr<UIWindow>> out;
  for (auto& w : windows_) {
    if (auto alive = w.lock()) out.push_back(alive);
  }
  return out;
}

std::shared_ptr<UIWindow> UIApplication::keyWindow() const { return UIWindow::keyWindow(); }

UIInterfaceOrientation UIApplication::statusBarOrientation() const {
  return UIScreen::mainScreen()->interfaceOrientation();
}
