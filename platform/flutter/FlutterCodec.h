#pragma once

// The engine's standard message format: one type byte per value, sizes in one,
// three or five bytes, little-endian numbers aligned to their width from the
// start of the message. Readers and writers are subclassable so that a codec
// can add its own types from 129 up.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/foundation/Value.h"

class FlutterError;

// Thrown by readers on malformed input; codecs turn it into an error result.
class FlutterCodecException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum FlutterStandardField : uint8_t {
  FlutterStandardFieldNil = 0,
  FlutterStandardFieldTrue = 1,
  FlutterStandardFieldFalse = 2,
  FlutterStandardFieldInt32 = 3,
  FlutterStandardFieldInt64 = 4,
  FlutterStandardFieldIntHex = 5,
  FlutterStandardFieldFloat64 = 6,
  FlutterStandardFieldString = 7,
  FlutterStandardFieldUInt8Data = 8,
  FlutterStandardFieldInt32Data = 9,
  FlutterStandardFieldInt64Data = 10,
  FlutterStandardFieldFloat64Data = 11,
  FlutterStandardFieldList = 12,
  FlutterStandardFieldMap = 13,
  FlutterStandardFieldFloat32Data = 14,
};

class FlutterStandardWriter {
 public:
  explicit FlutterStandardWriter(Bytes& data) : data_(data) {}
  virtual ~FlutterStandardWriter() = default;

  void writeByte(uint8_t value) { data_.push_back(value); }
  void writeBytes(const void* bytes, size_t length);
  void writeSize(uint32_t size);
  void writeAlignment(uint8_t alignment);
  void writeUTF8(const std::string& value);
  // Subclasses override to write their own types and call the base for the rest.
  virtual void writeValue(const Value& value);
  // For a writer whose values are handed over, their holder dropping them
  // once written: the large byte payloads that no other value shares are
  // given back to the system as they are copied, and read as zeros after.
  void releasePayloadsAsWritten() { releasing_ = true; }

 protected:
  Bytes& data_;

 private:
  bool releasing_ = false;  // and everything around the value being written is held alone
};

class FlutterStandardReader {
 public:
  static constexpr int kMaxDepth = 128;

  FlutterStandardReader(const uint8_t* data, size_t length) : data_(data), length_(length) {}
  explicit FlutterStandardReader(const Bytes& data) : FlutterStandardReader(data.data(), data.size()) {}
  virtual ~FlutterStandardReader() = default;

  bool hasMore() const { return pos_ < length_; }
  size_t position() const { return pos_; }
  uint8_t readByte();
  void readBytes(void* out, size_t length);
  uint32_t readSize();
  void readAlignment(uint8_t alignment);
  std::string readUTF8();
  Value readValue();
  // Subclasses override to read their own types and call the base for the rest.
  virtual Value readValueOfType(uint8_t type);
  // For a message that its only holder drops once read: the pages of large
  // byte payloads are given back to the system as they are copied out.
  void releasePayloadsAsRead() { releasing_ = true; }

 private:
  void need(size_t n) const;

  const uint8_t* data_;
  size_t length_;
  size_t pos_ = 0;
  int depth_ = 0;
  bool releasing_ = false;
};

class FlutterStandardReaderWriter {
 public:
  virtual ~FlutterStandardReaderWriter() = default;
  virtual std::unique_ptr<FlutterStandardWriter> writerWithData(Bytes& data) const;
  virtual std::unique_ptr<FlutterStandardReader> readerWithData(const uint8_t* data,
                                                                size_t length) const;
};

// A message codec turns values into bytes and back. A nil message (no bytes at
// all) stands for a null value.
class FlutterMessageCodec {
 public:
  virtual ~FlutterMessageCodec() = default;
  virtual Bytes encode(const Value& message) const = 0;
  // Throws FlutterCodecException on malformed bytes.
  virtual Value decode(const uint8_t* data, size_t length) const = 0;
  Value decode(const Bytes& data) const { return decode(data.data(), data.size()); }
};

class FlutterStandardMessageCodec : public FlutterMessageCodec {
 public:
  explicit FlutterStandardMessageCodec(std::shared_ptr<const FlutterStandardReaderWriter> rw);
  static std::shared_ptr<FlutterStandardMessageCodec> sharedInstance();
  static std::shared_ptr<FlutterStandardMessageCodec> codecWithReaderWriter(
      std::shared_ptr<const FlutterStandardReaderWriter> rw);

  Bytes encode(const Value& message) const override;
  Value decode(const uint8_t* data, size_t length) const override;
  using FlutterMessageCodec::decode;
  const FlutterStandardReaderWriter& readerWriter() const { return *rw_; }

 private:
  std::shared_ptr<const FlutterStandardReaderWriter> rw_;
};

struct FlutterMethodCall {
  std::string method;
  Value arguments;
  static FlutterMethodCall methodCallWithMethodName(std::string method, Value arguments) {
    return FlutterMethodCall{std::move(method), std::move(arguments)};
  }
};

// A decoded reply envelope: a result, or an error (code, message, details).
struct FlutterEnvelope {
  bool isError = false;
  Value result;
  std::string code;
  std::optional<std::string> message;
  Value details;
};

class FlutterStandardMethodCodec {
 public:
  explicit FlutterStandardMethodCodec(std::shared_ptr<const FlutterStandardReaderWriter> rw);
  static std::shared_ptr<FlutterStandardMethodCodec> sharedInstance();

  Bytes encodeMethodCall(const FlutterMethodCall& call) const;
  FlutterMethodCall decodeMethodCall(const uint8_t* data, size_t length) const;
  Bytes encodeSuccessEnvelope(const Value& result) const;
  // The same for a result handed over: its large byte payloads that nothing
  // else shares go back to the system as they are written, so a large reply
  // is not resident twice; `result` is null afterwards.
  Bytes encodeSuccessEnvelope(Value&& result) const;
  Bytes encodeErrorEnvelope(const std::string& code, const std::optional<std::string>& message,
                            const Value& details) const;
  Bytes encodeErrorEnvelope(const FlutterError& error) const;
  FlutterEnvelope decodeEnvelope(const uint8_t* data, size_t length) const;
  // The same for a message handed over, which is dropped once read; when the
  // caller held it alone, its large byte payloads' pages go back to the
  // system as they are copied out.
  FlutterEnvelope decodeEnvelope(std::shared_ptr<const Bytes>&& message) const;

 private:
  FlutterEnvelope decodeEnvelope(const uint8_t* data, size_t length, bool releasing) const;

  std::shared_ptr<const FlutterStandardReaderWriter> rw_;
};
