#pragma once

// Shared helpers of the foundation tests: a latch for awaiting background work
// with a bounded wait, and the scratch folder.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void countDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--count_ <= 0) cv_.notify_all();
  }
  bool wait(double seconds = kTestTimeoutSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [this] { return count_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
};

// Sets (or, with nullptr, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_.empty() ? ::unsetenv(name_) : ::setenv(name_, old_.c_str(), 1); }

 private:
  const char* name_;
  std::string old_;
};

// The shared scratch folder, with `dir / "name"` for paths inside it.
class TempDir : public TempFolder {
 public:
  std::string operator/(const std::string& name) const { return path() + "/" + name; }
};

// The whole file as text; empty when it cannot be read.
inline std::string readText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
