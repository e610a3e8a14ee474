#pragma once
// Shared libraries opened by file name when a road first needs them, for the
// rest of the process. Libraries that only some roads use (the media stack,
// the HEIF codec) are loaded this way rather than linked, so that they and
// everything they bring cost a start nothing (see docs/ARCHITECTURE.md).
//
// The users keep a table of function pointers resolved through `find`, a
// member per function, declared from the library's own header:
//   decltype(&::heif_init) heif_init = nullptr;
// and load it once through a `LazyLibrary`.

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"

class SharedLibraries {
 public:
  // Opens each library in turn, resolving all its symbols at once; false with
  // `why` (the dynamic loader's message) at the first that cannot be opened.
  // Libraries already opened stay open.
  bool open(const std::vector<std::string>& names, std::string& why);
  // The symbol as the library opened `index`th (counting from 0) finds it,
  // itself or through what it links; null when it has none or was not opened.
  void* find(size_t index, const char* symbol) const;

 private:
  std::vector<void*> handles_;
};

// A library loaded on first use for the rest of the process, as a table of
// its functions. The first `load` runs the loader while later callers wait;
// once published the table is read without the lock (it is on every decode
// or transfer step). A load that fails is kept with its reason and answered
// again to every later caller, never retried: the library a process found
// missing stays missing, so every road is refused alike and none pays for a
// second search of the loader's path.
template <class Table>
class LazyLibrary {
 public:
  // Fills the table and answers true, or answers false with why not. Runs
  // at most once, with this library's lock held (and no other's).
  using Loader = std::function<bool(Table& table, std::string& why)>;

  explicit LazyLibrary(Loader loader) : loader_(std::move(loader)) {}
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // The table, loaded first if need be; null, with the reason in `why` when
  // given, where the library cannot be loaded.
  const Table* load(std::string* why = nullptr) EXCLUDES(mutex_) {
    if (const Table* table = published_.load(std::memory_order_acquire)) return table;
    MutexLock lock(mutex_);
    if (!tried_) {
      tried_ = true;
      // Filled aside: a loader that fails halfway hands out nothing.
      Table fresh;
      if (loader_(fresh, why_)) {
        table_ = fresh;
        published_.store(&table_, std::memory_order_release);
      }
    }
    const Table* table = published_.load(std::memory_order_relaxed);
    if (!table && why) *why = why_;
    return table;
  }

  // The table when it is loaded, null otherwise; never loads.
  const Table* loaded() const { return published_.load(std::memory_order_acquire); }

 private:
  const Loader loader_;
  Mutex mutex_;
  bool tried_ GUARDED_BY(mutex_) = false;
  std::string why_ GUARDED_BY(mutex_);
  Table table_{};  // written once, before it is published
  std::atomic<const Table*> published_{nullptr};
};
