#include "platform/webkit/WKPageLoader.h"

#include <atomic>
#include <map>
#include <mutex>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLSession.h"

namespace {

Mutex gLoaderMutex;
std::shared_ptr<WKPageLoader> gLoader GUARDED_BY(gLoaderMutex);

class SessionLoad : public WKPageLoad {
 public:
  explicit SessionLoad(std::shared_ptr<WKPageLoadClient> client) : client(std::move(client)) {}
  void cancel() override {
    cancelled = true;
    if (auto t = task()) t->cancel();
  }
  NSURLSessionDataTaskPtr task() {
    MutexLock lock(mutex);
    return task_;
  }
  void setTask(NSURLSessionDataTaskPtr task) {
    MutexLock lock(mutex);
    task_ = std::move(task);
  }

  const std::shared_ptr<WKPageLoadClient> client;
  std::atomic<bool> cancelled{false};
  // Touched on the session's delegate queue only.
  uint64_t received = 0;
  bool tooLarge = false;

 private:
  Mutex mutex;  // guards task_
  NSURLSessionDataTaskPtr task_ GUARDED_BY(mutex);
};

// Routes each task's session events to its load.
class SessionLoads : public NSURLSessionDataDelegate {
 public:
  void add(uint64_t task, std::shared_ptr<SessionLoad> load) {
    MutexLock lock(mutex_);
    loads_[task] = std::move(load);
  }

  void willPerformHTTPRedirection(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                                  const NSHTTPURLResponsePtr&, const NSURLRequestPtr& newRequest,
                                  NSURLSessionRedirectHandler handler) override {
    auto load = find(task->taskIdentifier());
    if (!load || load->cancelled) {
      handler(newRequest);
      return;
    }
    std::weak_ptr<SessionLoad> weakLoad = load;
    load->client->willRedirect(
        newRequest, [weakLoad, task, newRequest, handler = std::move(handler)](bool follow) mutable {
          if (!follow) {
            if (auto l = weakLoad.lock()) l->cancelled = true;
            task->cancel();
          }
          handler(newRequest);
        });
  }

  void didReceiveResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                          const NSHTTPURLResponsePtr& response,
                          NSURLSessionResponseHandler handler) override {
    auto load = find(task->taskIdentifier());
    if (!load || load->cancelled) {
      handler(NSURLSessionResponseDisposition::Cancel);
      return;
    }
    load->client->didReceiveResponse(response);
    handler(NSURLSessionResponseDisposition::Allow);
  }

  void didReceiveData(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                      const NSDataPtr& data) override {
    auto load = find(task->taskIdentifier());
    if (!load || load->cancelled || load->tooLarge || !data) return;
    uint64_t room = WKURLSessionPageLoader::kMaxPageBytes - load->received;
    size_t length = size_t(std::min<uint64_t>(room, data->length()));
    load->received += length;
    if (length > 0) load->client->didReceiveData(data->bytes(), length);
    if (length < data->length()) {
      load->tooLarge = true;
      task->cancel();
    }
  }

  void didCompleteWithError(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override {
    std::shared_ptr<SessionLoad> load;
    {
      MutexLock lock(mutex_);
      auto it = loads_.find(task->taskIdentifier());
      if (it == loads_.end()) return;
      load = std::move(it->second);
      loads_.erase(it);
    }
    if (load->cancelled) return;
    if (load->tooLarge) {
      const NSURLPtr url = task->currentRequest() ? task->currentRequest()->URL() : nullptr;
      load->client->didFinish(NSURLErrorMake(NSURLErrorDataLengthExceedsMaximum,
                                             url ? url->absoluteString() : "",
                                             "The page is larger than " +
                                                 std::to_string(WKURLSessionPageLoader::kMaxPageBytes >> 20) +
                                                 " MB, the most a page may hold here."));
      return;
    }
    load->client->didFinish(error);
  }

 private:
  std::shared_ptr<SessionLoad> find(uint64_t task) {
    MutexLock lock(mutex_);
    auto it = loads_.find(task);
    return it == loads_.end() ? nullptr : it->second;
  }

  Mutex mutex_;  // guards loads_
  std::map<uint64_t, std::shared_ptr<SessionLoad>> loads_ GUARDED_BY(mutex_);
};

struct PageSession {
  std::shared_ptr<SessionLoads> loads = std::make_shared<SessionLoads>();
  NSURLSessionPtr session;
};

// Made once and never destroyed, as the shared session is: its thread must
// not be torn down while the process exits.
PageSession& Pages() {
  static PageSession* pages = [] {
    auto* p = new PageSession;
    p->session = NSURLSession::sessionWithConfiguration(
        NSURLSessionConfiguration::defaultSessionConfiguration(), p->loads);
    return p;
  }();
  return *pages;
}

}  // namespace

void WKPageLoader::setDefaultLoader(std::shared_ptr<WKPageLoader> loader) {
  MutexLock lock(gLoaderMutex);
  gLoader = std::move(loader);
}

std::shared_ptr<WKPageLoader> WKPageLoader::defaultLoader() {
  static std::once_flag registered;
  std::call_once(registered, [] { SingletonResets::add([] { setDefaultLoader(nullptr); }); });
  MutexLock lock(gLoaderMutex);
  if (!gLoader) gLoader = std::make_shared<WKURLSessionPageLoader>();
  return gLoader;
}

std::shared_ptr<WKPageLoad> WKURLSessionPageLoader::load(const NSURLRequestPtr& request,
                                                         std::shared_ptr<WKPageLoadClient> client) {
  auto load = std::make_shared<SessionLoad>(std::move(client));
  PageSession& pages = Pages();
  auto task = pages.session->dataTaskWithRequest(request);
  load->setTask(task);
  pages.loads->add(task->taskIdentifier(), load);
  task->resume();
  return load;
}
