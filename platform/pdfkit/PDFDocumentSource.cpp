#include "platform/pdfkit/PDFDocumentSource.h"

#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/network/NSURLSession.h"

namespace {

Mutex gSourceMutex;
std::shared_ptr<PDFDocumentSource> gSource GUARDED_BY(gSourceMutex);

// One remote read: the body as it arrives, and its end.
struct RemoteRead {
  Mutex mutex;
  std::condition_variable ended;
  Bytes body GUARDED_BY(mutex);
  bool done GUARDED_BY(mutex) = false;
  std::string failure GUARDED_BY(mutex);  // why there is no document, "" while none
};

// Gathers each task's body under the size limit and wakes its reader.
class RemoteReads : public NSURLSessionDataDelegate {
 public:
  void add(uint64_t task, std::shared_ptr<RemoteRead> read) {
    MutexLock lock(mutex_);
    reads_[task] = std::move(read);
  }
  void remove(uint64_t task) {
    MutexLock lock(mutex_);
    reads_.erase(task);
  }

  void didReceiveResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                          const NSHTTPURLResponsePtr& response,
                          NSURLSessionResponseHandler handler) override {
    auto read = find(task->taskIdentifier());
    std::string failure;
    int64_t status = response ? response->statusCode() : 0;
    if (status < 200 || status > 299) {
      failure = "the server answered " + std::to_string(status);
    } else if (response->expectedContentLength() > int64_t(PDFURLSessionSource::kMaxRemoteBytes)) {
      failure = "the document is larger than the limit";
    }
    if (read && !failure.empty()) {
      MutexLock lock(read->mutex);
      read->failure = failure;
    }
    handler(failure.empty() ? NSURLSessionResponseDisposition::Allow
                            : NSURLSessionResponseDisposition::Cancel);
  }

  void didReceiveData(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                      const NSDataPtr& data) override {
    auto read = find(task->taskIdentifier());
    if (!read || !data) return;
    bool tooLarge = false;
    {
      MutexLock lock(read->mutex);
      if (read->body.size() + data->length() > PDFURLSessionSource::kMaxRemoteBytes) {
        read->failure = "the document is larger than the limit";
        tooLarge = true;
      } else {
        read->body.insert(read->body.end(), data->bytes(), data->bytes() + data->length());
      }
    }
    if (tooLarge) task->cancel();
  }

  void didCompleteWithError(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override {
    auto read = find(task->taskIdentifier());
    if (!read) return;
    MutexLock lock(read->mutex);
    if (error && read->failure.empty()) read->failure = error->localizedDescription();
    read->done = true;
    read->ended.notify_all();
  }

 private:
  std::shared_ptr<RemoteRead> find(uint64_t task) {
    MutexLock lock(mutex_);
    auto it = reads_.find(task);
    return it == reads_.end() ? nullptr : it->second;
  }

  Mutex mutex_;  // guards reads_
  std::map<uint64_t, std::shared_ptr<RemoteRead>> reads_ GUARDED_BY(mutex_);
};

struct RemoteSession {
  std::shared_ptr<RemoteReads> reads = std::make_shared<RemoteReads>();
  NSURLSessionPtr session;
};

// Made once and never destroyed, as the shared session is: its thread must
// not be torn down while the process exits.
RemoteSession& Remote() {
  static RemoteSession* remote = [] {
    auto* r = new RemoteSession;
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration.URLCache = nullptr;
    r->session = NSURLSession::sessionWithConfiguration(configuration, r->reads);
    return r;
  }();
  return *remote;
}

NSDataPtr ReadRemote(const NSURLPtr& url) {
  auto request = NSURLRequest::requestWithURL(url);
  auto read = std::make_shared<RemoteRead>();
  RemoteSession& remote = Remote();
  auto task = remote.session->dataTaskWithRequest(request);
  remote.reads->add(task->taskIdentifier(), read);
  task->resume();
  MutexLock lock(read->mutex);
  // The session ends the task by its timeout; the extra margin only guards
  // against a session that never answers.
  auto limit = std::chrono::duration<double>(request->timeoutInterval() + 5);
  if (!lock.waitFor(read->ended, limit, [&]() REQUIRES(read->mutex) { return read->done; })) {
    read->failure = "no answer within the timeout";
    lock.unlock();
    task->cancel();
    lock.lock();
  }
  std::string failure = read->failure;
  Bytes body = std::move(read->body);
  lock.unlock();
  remote.reads->remove(task->taskIdentifier());
  if (!failure.empty()) {
    NSLog("PDFDocument: " + url->absoluteString() + " could not be loaded: " + failure);
    return nullptr;
  }
  return NSData::dataWithBytes(std::move(body));
}

}  // namespace

void PDFDocumentSource::setDefaultSource(std::shared_ptr<PDFDocumentSource> source) {
  MutexLock lock(gSourceMutex);
  gSource = std::move(source);
}

std::shared_ptr<PDFDocumentSource> PDFDocumentSource::defaultSource() {
  static std::once_flag registered;
  std::call_once(registered, [] { SingletonResets::add([] { setDefaultSource(nullptr); }); });
  MutexLock lock(gSourceMutex);
  if (!gSource) gSource = std::make_shared<PDFURLSessionSource>();
  return gSource;
}

NSDataPtr PDFURLSessionSource::read(const NSURLPtr& url) {
  if (!url) return nullptr;
  if (url->isFileURL()) {
    Bytes bytes;
    NSErrorPtr error;
    if (!ReadFileContents(url->path(), bytes, &error)) return nullptr;
    return NSData::dataWithBytes(std::move(bytes));
  }
  const std::string scheme = url->scheme().value_or("");
  if (scheme == "http" || scheme == "https") return ReadRemote(url);
  return nullptr;
}
