#pragma once

// The host's driver: newline-delimited JSON requests in, JSON replies and
// stream events out. Each request becomes codec values sent as real standard
// codec bytes through the engine; each reply is decoded back. See README.md
// for the line format.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "FlutterDartSide.h"
#include "FlutterEngine.h"
#include "platform/foundation/Mutex.h"

// A value of a generated channel's custom type, carried opaquely by the driver:
// the type byte and the payload value that follows it on the wire.
class FlutterDriverCustomValue : public NSObject {
 public:
  FlutterDriverCustomValue(uint8_t type, Value payload) : type_(type), payload_(std::move(payload)) {}
  uint8_t type() const { return type_; }
  const Value& payload() const { return payload_; }
  bool isEqual(const NSObject& other) const override;
  size_t hash() const override { return type_ ^ payload_.hash(); }

 private:
  uint8_t type_;
  Value payload_;
};

// The driver's JSON form of values (tagged objects for the kinds JSON lacks).
namespace FlutterDriverJSON {
// nullopt and `error` when a tagged object is malformed.
std::optional<Value> toValue(const Value& json, std::string* error);
// Appends the JSON text of a channel value in that form to `out`. Whenever
// `out` has reached `pieceBytes`, `spill` (when given) may hand on what has
// gathered and empty it, so a large value never stands whole as text.
void appendText(const Value& value, std::string& out, size_t pieceBytes = SIZE_MAX,
                const std::function<void(std::string&)>& spill = nullptr);
}  // namespace FlutterDriverJSON

// Owned through shared_ptr (see create()): the blocks it hands to the run
// loop, the clock and plugins may outlive it and hold it weakly.
class FlutterJSONDriver : public std::enable_shared_from_this<FlutterJSONDriver> {
 public:
  // Copyable: it writes every line.
  using LineWriter = std::function<void(const std::string& line)>;
  // Receives each output line in pieces, the newline not included; the last
  // piece of a line comes with `lineEnds`. A line's pieces all come from one
  // thread, one line at a time.
  using PieceWriter = std::function<void(std::string_view piece, bool lineEnds)>;

  // A line longer than this reaches the writer in several pieces of about
  // this size, so a large reply is never held whole as text.
  static constexpr size_t kPieceBytes = size_t{256} << 10;

  // Longest request line read (newline not counted). A longer line is
  // answered with badRequest without being parsed or even kept whole.
  static constexpr size_t kMaxLineBytes = size_t{16} << 20;

  // `write` receives each output line without the newline; it is called from
  // whatever thread produced the line, one line at a time.
  static std::shared_ptr<FlutterJSONDriver> create(std::shared_ptr<FlutterEngine> engine,
                                                   LineWriter write);
  static std::shared_ptr<FlutterJSONDriver> create(std::shared_ptr<FlutterEngine> engine,
                                                   PieceWriter write);
  ~FlutterJSONDriver();

  // Handles one request line. Must run on the main thread. No exception from
  // the codec or a plugin leaves it: the request is answered instead.
  void handleLine(const std::string& line);
  // Requests still waiting for their reply.
  int pending() const { return pending_.load(); }

  // Reads `in` on a reader thread, hands each line to the main run loop, and at
  // end of input calls `finished` on the main thread once every pending reply
  // has been written (or `drainSeconds` have passed).
  void serve(std::istream& in, std::function<void()> finished, double drainSeconds = 30);

 private:
  FlutterJSONDriver(std::shared_ptr<FlutterEngine> engine, PieceWriter write);
  // How a value is written: a JSON value as it stands (one JSON cannot hold
  // is answered badReply), or a channel value in the driver's JSON form.
  enum class Form { JSON, Channel };
  class Line;
  // `idText` is the request's id as it came, JSON text ("null" for none).
  void reply(const std::string& idText, const std::string& key, const Value& value,
             Form form = Form::JSON);
  // An event line: the channel value `event`, a map, in the driver's JSON form.
  void writeEvent(const Value& event);
  struct RequestState;
  // Writes a request's reply (under `key`) unless it was answered already.
  using Answer = std::function<void(const std::string& key, const Value& value, Form form)>;
  // Answers a plugin's outcome: its values are channel values.
  static void answerOutcome(const Answer& answer, const FlutterMethodOutcome& o);
  Answer answerOnce(const std::shared_ptr<RequestState>& state);
  void countPending(RequestState& state);
  // The request's `key` converted from JSON, the request dropped; nullopt
  // after answering a bad request.
  std::optional<Value> takeArgument(Value& request, const char* key, const std::string& idText);
  void dispatchRequest(Value request, const std::shared_ptr<RequestState>& state);
  void dispatchMethodCall(const std::string& channel, Value request,
                          const std::shared_ptr<RequestState>& state);
  void dispatchStreamRequest(const std::string& channel, const char* verb, Value request,
                             const std::shared_ptr<RequestState>& state);
  void dispatchMessage(const std::string& channel, Value request,
                       const std::shared_ptr<RequestState>& state);
  // The requests about the screen (snapshot, view tree, touch, idle); false
  // for any other request. They run one at a time in the order they came.
  bool dispatchScreenRequest(const Value& request, const std::shared_ptr<RequestState>& state);
  void startNextScreenRequest();
  void finishIfDone();

  std::shared_ptr<FlutterEngine> engine_;
  std::unique_ptr<FlutterDartSide> dart_;
  std::shared_ptr<FlutterMessageCodec> customCodec_;
  PieceWriter write_ GUARDED_BY(writeMutex_);
  Mutex writeMutex_;  // one line at a time, from its first piece to its last
  static constexpr double kSettleSeconds = 0.2;
  std::atomic<int> pending_{0};
  std::atomic<uint64_t> linesWritten_{0};
  bool settling_ = false;
  struct ScreenRequest {
    Value request;
    std::shared_ptr<RequestState> state;
  };
  std::deque<ScreenRequest> screenRequests_;  // waiting for the one running
  bool screenRequestRunning_ = false;
  bool inputEnded_ = false;
  std::function<void()> finished_;
};
