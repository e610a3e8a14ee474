#pragma once

// The built host binary run as a client runs it: requests written to its
// standard input as JSON lines, its standard output read line by line with
// bounded waits (poll, never sleep), replies kept by id and events in order.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class HostSession {
 public:
  // `environment` entries ("NAME=value") replace the process's own. With
  // `user`, the host runs as that user and the group of that number, with
  // no other groups and no capabilities (through setpriv).
  explicit HostSession(const std::vector<std::string>& environment, const std::string& errPath,
                       std::optional<uid_t> user = std::nullopt);
  ~HostSession();

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  bool send(const std::string& line);
  // The reply to the request with this integer id, waiting at most
  // `timeoutSeconds` of real time for it.
  std::optional<Value> reply(int64_t id, double timeoutSeconds);
  // How many replies to the request with this integer id were read so far.
  int replyCount(int64_t id) const {
    auto it = replyCounts_.find(id);
    return it == replyCounts_.end() ? 0 : it->second;
  }
  // Stream event values received so far, in order.
  const std::vector<Value>& events() const { return events_; }
  // Closes standard input and waits (bounded) for the host to exit; its
  // status, or -1.
  int finish(double timeoutSeconds);
  // Waits (bounded) for the host to end, its standard input left open (a
  // host sent a signal, say); its status, or -1.
  int waitForExit(double timeoutSeconds);

 private:
  bool readLine(double timeoutSeconds);

  pid_t pid_ = 0;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
  std::map<int64_t, Value> replies_;
  std::map<int64_t, int> replyCounts_;
  std::vector<Value> events_;
};
