#include "FlutterCodec.h"

#include <cstring>
#include <algorithm>

#include "FlutterChannels.h"
#include "platform/foundation/NSData.h"

namespace {

template <class T>
void writeTypedList(FlutterStandardWriter& w, uint8_t type, const std::vector<T>& v) {
  w.writeByte(type);
  w.writeSize(static_cast<uint32_t>(v.size()));
  // Padded even when empty: the Dart side's reader always skips to the alignment.
  w.writeAlignment(sizeof(T));
  w.writeBytes(v.data(), v.size() * sizeof(T));
}

// At least what the standard writer makes of a value, so that a message
// holding large payloads is written into one buffer: left to double as it
// fills, the buffer would be copied while its old one is still held. Values a
// custom writer writes count as nothing; the buffer grows for them as it
// goes. A message of many small values is not worth the walk (its values
// outweigh its bytes): the walk gives up, answering 0, once it has seen many
// values of a few bytes each on average.
class EncodedSizeBound {
 public:
  static size_t of(const Value& value) {
    EncodedSizeBound bound;
    bound.add(value);
    return bound.gaveUp_ ? 0 : bound.bytes_;
  }

 private:
  static constexpr size_t kHead = 1 + 5 + 7;   // type, longest size, widest padding
  static constexpr size_t kCheckEvery = 1024;  // values
  static constexpr size_t kWorthBytes = 64;    // per value, on average

  void add(const Value& value) {
    if (gaveUp_) return;
    if (++values_ % kCheckEvery == 0 && bytes_ < values_ * kWorthBytes) {
      gaveUp_ = true;
      return;
    }
    switch (value.type()) {
      case Value::Type::Null:
      case Value::Type::Bool:
        bytes_ += 1;
        return;
      case Value::Type::Int32:
      case Value::Type::Int64:
        bytes_ += 1 + 8;
        return;
      case Value::Type::Double:
        bytes_ += 1 + 7 + 8;
        return;
      case Value::Type::String:
        bytes_ += kHead + value.asString().size();
        return;
      case Value::Type::Bytes:
        bytes_ += kHead + value.asBytes().size();
        return;
      case Value::Type::Int32List:
        bytes_ += kHead + value.asInt32List().size() * 4;
        return;
      case Value::Type::Float32List:
        bytes_ += kHead + value.asFloat32List().size() * 4;
        return;
      case Value::Type::Int64List:
        bytes_ += kHead + value.asInt64List().size() * 8;
        return;
      case Value::Type::Float64List:
        bytes_ += kHead + value.asFloat64List().size() * 8;
        return;
      case Value::Type::List:
        bytes_ += kHead;
        for (const Value& v : value.asList()) add(v);
        return;
      case Value::Type::Map:
        bytes_ += kHead;
        for (const auto& [k, v] : value.asMap()) {
          add(k);
          add(v);
        }
        return;
      case Value::Type::Object:
        return;
    }
  }

  size_t bytes_ = 0;
  size_t values_ = 0;
  bool gaveUp_ = false;
};

}  // namespace

void FlutterStandardWriter::writeBytes(const void* bytes, size_t length) {
  if (length == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  data_.insert(data_.end(), p, p + length);
}

void FlutterStandardWriter::writeSize(uint32_t size) {
  if (size < 254) {
    writeByte(static_cast<uint8_t>(size));
  } else if (size <= 0xffff) {
    writeByte(254);
    uint16_t s = static_cast<uint16_t>(size);
    writeBytes(&s, 2);
  } else {
    writeByte(255);
    writeBytes(&size, 4);
  }
}

void FlutterStandardWriter::writeAlignment(uint8_t alignment) {
  size_t mod = data_.size() % alignment;
  if (mod) data_.insert(data_.end(), alignment - mod, 0);
}

void FlutterStandardWriter::writeUTF8(const std::string& value) {
  writeSize(static_cast<uint32_t>(value.size()));
  writeBytes(value.data(), value.size());
}

void FlutterStandardWriter::writeValue(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      writeByte(FlutterStandardFieldNil);
      return;
    case Value::Type::Bool:
      writeByte(value.asBool() ? FlutterStandardFieldTrue : FlutterStandardFieldFalse);
      return;
    case Value::Type::Int32:
    case Value::Type::Int64: {
      int64_t i = value.asInt64();
      if (i >= INT32_MIN && i <= INT32_MAX) {
        writeByte(FlutterStandardFieldInt32);
        int32_t v = static_cast<int32_t>(i);
        writeBytes(&v, 4);
      } else {
        writeByte(FlutterStandardFieldInt64);
        writeBytes(&i, 8);
      }
      return;
    }
    case Value::Type::Double: {
      writeByte(FlutterStandardFieldFloat64);
      writeAlignment(8);
      double d = value.asDouble();
      writeBytes(&d, 8);
      return;
    }
    case Value::Type::String:
      writeByte(FlutterStandardFieldString);
      writeUTF8(value.asString());
      return;
    case Value::Type::Bytes: {
      const Bytes& b = value.asBytes();
      writeByte(FlutterStandardFieldUInt8Data);
      writeSize(static_cast<uint32_t>(b.size()));
      if (releasing_ && value.holdsPayloadAlone()) {
        AppendReleasingSource(data_, b.data(), b.size());
      } else {
        writeBytes(b.data(), b.size());
      }
      return;
    }
    case Value::Type::Int32List:
      writeTypedList(*this, FlutterStandardFieldInt32Data, value.asInt32List());
      return;
    case Value::Type::Int64List:
      writeTypedList(*this, FlutterStandardFieldInt64Data, value.asInt64List());
      return;
    case Value::Type::Float32List:
      writeTypedList(*this, FlutterStandardFieldFloat32Data, value.asFloat32List());
      return;
    case Value::Type::Float64List:
      writeTypedList(*this, FlutterStandardFieldFloat64Data, value.asFloat64List());
      return;
    case Value::Type::List: {
      const ValueList& l = value.asList();
      writeByte(FlutterStandardFieldList);
      writeSize(static_cast<uint32_t>(l.size()));
      // A payload is held alone only when every container around it is.
      const bool outer = std::exchange(releasing_, releasing_ && value.holdsPayloadAlone());
      for (const Value& v : l) writeValue(v);
      releasing_ = outer;
      return;
    }
    case Value::Type::Map: {
      const ValueMap& m = value.asMap();
      writeByte(FlutterStandardFieldMap);
      writeSize(static_cast<uint32_t>(m.size()));
      const bool outer = std::exchange(releasing_, releasing_ && value.holdsPayloadAlone());
      for (const auto& [k, v] : m) {
        writeValue(k);
        writeValue(v);
      }
      releasing_ = outer;
      return;
    }
    case Value::Type::Object:
      // Named by class: the message may reach a client, an address must not.
      throw FlutterCodecException(
          "Unsupported value: <" +
          (value.asObject() ? value.asObject()->className() : std::string("null object")) + ">");
  }
}

void FlutterStandardReader::need(size_t n) const {
  if (n > length_ - pos_) throw FlutterCodecException("Message truncated");
}

uint8_t FlutterStandardReader::readByte() {
  need(1);
  return data_[pos_++];
}

void FlutterStandardReader::readBytes(void* out, size_t length) {
  need(length);
  if (length) std::memcpy(out, data_ + pos_, length);
  pos_ += length;
}

uint32_t FlutterStandardReader::readSize() {
  uint8_t b = readByte();
  if (b < 254) return b;
  if (b == 254) {
    uint16_t s;
    readBytes(&s, 2);
    return s;
  }
  uint32_t s;
  readBytes(&s, 4);
  return s;
}

void FlutterStandardReader::readAlignment(uint8_t alignment) {
  size_t mod = pos_ % alignment;
  if (mod) {
    need(alignment - mod);
    pos_ += alignment - mod;
  }
}

std::string FlutterStandardReader::readUTF8() {
  uint32_t n = readSize();
  need(n);
  std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
  pos_ += n;
  return s;
}

namespace {

// Keys are unique, as in a dictionary: a repeated key keeps the position of its
// first entry and the value of its last. Found through sorted key hashes, so a
// map without repeats (the usual case) costs one hash per key and no copies.
void KeepOneEntryPerKey(ValueMap& m) {
  if (m.size() < 2) return;
  std::vector<std::pair<size_t, uint32_t>> hashes(m.size());
  for (size_t i = 0; i < m.size(); ++i) hashes[i] = {m[i].first.hash(), static_cast<uint32_t>(i)};
  // Fast check first: distinct hashes mean distinct keys.
  size_t slots = 4;
  while (slots < m.size() * 2) slots *= 2;
  std::vector<size_t> table(slots, 0);
  std::vector<bool> used(slots, false);
  bool collision = false;
  for (const auto& [h, i] : hashes) {
    size_t slot = (h * 0x9E3779B97F4A7C15ULL) >> 20 & (slots - 1);
    while (used[slot] && table[slot] != h) slot = (slot + 1) & (slots - 1);
    if (used[slot]) {
      collision = true;
      break;
    }
    used[slot] = true;
    table[slot] = h;
  }
  if (!collision) return;
  std::sort(hashes.begin(), hashes.end());
  std::vector<bool> dropped(m.size(), false);
  bool any = false;
  for (size_t a = 0; a < hashes.size();) {
    size_t b = a + 1;
    while (b < hashes.size() && hashes[b].first == hashes[a].first) ++b;
    for (size_t i = a; i < b; ++i) {
      if (dropped[hashes[i].second]) continue;
      for (size_t j = i + 1; j < b; ++j) {
        uint32_t keep = hashes[i].second, later = hashes[j].second;
        if (dropped[later] || !(m[keep].first == m[later].first)) continue;
        m[keep].second = std::move(m[later].second);
        dropped[later] = true;
        any = true;
      }
    }
    a = b;
  }
  if (!any) return;
  size_t out = 0;
  for (size_t i = 0; i < m.size(); ++i) {
    if (dropped[i]) continue;
    if (out != i) m[out] = std::move(m[i]);
    ++out;
  }
  m.resize(out);
}

template <class T>
std::vector<T> readTypedList(FlutterStandardReader& r, size_t remaining) {
  uint32_t n = r.readSize();
  r.readAlignment(sizeof(T));
  if (static_cast<uint64_t>(n) * sizeof(T) > remaining) {
    throw FlutterCodecException("Typed list larger than the message");
  }
  std::vector<T> v(n);
  r.readBytes(v.data(), static_cast<size_t>(n) * sizeof(T));
  return v;
}

}  // namespace

Value FlutterStandardReader::readValue() {
  if (++depth_ > kMaxDepth) throw FlutterCodecException("Message nested too deeply");
  uint8_t type = readByte();
  Value v = readValueOfType(type);
  --depth_;
  return v;
}

Value FlutterStandardReader::readValueOfType(uint8_t type) {
  const size_t remaining = length_ - pos_;
  switch (type) {
    case FlutterStandardFieldNil:
      return Value();
    case FlutterStandardFieldTrue:
      return Value(true);
    case FlutterStandardFieldFalse:
      return Value(false);
    case FlutterStandardFieldInt32: {
      int32_t v;
      readBytes(&v, 4);
      return Value(v);
    }
    case FlutterStandardFieldInt64: {
      int64_t v;
      readBytes(&v, 8);
      return Value(v);
    }
    case FlutterStandardFieldIntHex:
    case FlutterStandardFieldString:
      return Value(readUTF8());
    case FlutterStandardFieldFloat64: {
      readAlignment(8);
      double d;
      readBytes(&d, 8);
      return Value(d);
    }
    case FlutterStandardFieldUInt8Data: {
      uint32_t n = readSize();
      need(n);
      Value v;
      if (releasing_) {
        Bytes b;
        b.reserve(n);
        AppendReleasingSource(b, data_ + pos_, n);
        v = Value::bytes(std::move(b));
      } else {
        v = Value::bytes(data_ + pos_, n);
      }
      pos_ += n;
      return v;
    }
    case FlutterStandardFieldInt32Data:
      return Value::int32List(readTypedList<int32_t>(*this, remaining));
    case FlutterStandardFieldInt64Data:
      return Value::int64List(readTypedList<int64_t>(*this, remaining));
    case FlutterStandardFieldFloat32Data:
      return Value::float32List(readTypedList<float>(*this, remaining));
    case FlutterStandardFieldFloat64Data:
      return Value::float64List(readTypedList<double>(*this, remaining));
    case FlutterStandardFieldList: {
      uint32_t n = readSize();
      // Every element takes at least one byte: refuse counts the message cannot hold.
      if (n > length_ - pos_) throw FlutterCodecException("List larger than the message");
      ValueList l;
      l.reserve(n);
      for (uint32_t i = 0; i < n; ++i) l.push_back(readValue());
      return Value(std::move(l));
    }
    case FlutterStandardFieldMap: {
      uint32_t n = readSize();
      if (static_cast<uint64_t>(n) * 2 > length_ - pos_) {
        throw FlutterCodecException("Map larger than the message");
      }
      ValueMap m;
      m.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        Value k = readValue();
        Value v = readValue();
        m.emplace_back(std::move(k), std::move(v));
      }
      KeepOneEntryPerKey(m);
      return Value(std::move(m));
    }
    default:
      throw FlutterCodecException("Corrupted standard message: unknown type " +
                                  std::to_string(type));
  }
}

std::unique_ptr<FlutterStandardWriter> FlutterStandardReaderWriter::writerWithData(
    Bytes& data) const {
  return std::make_unique<FlutterStandardWriter>(data);
}

std::unique_ptr<FlutterStandardReader> FlutterStandardReaderWriter::readerWithData(
    const uint8_t* data, size_t length) const {
  return std::make_unique<FlutterStandardReader>(data, length);
}

FlutterStandardMessageCodec::FlutterStandardMessageCodec(
    std::shared_ptr<const FlutterStandardReaderWriter> rw)
    : rw_(rw ? std::move(rw) : std::make_shared<FlutterStandardReaderWriter>()) {}

std::shared_ptr<FlutterStandardMessageCodec> FlutterStandardMessageCodec::sharedInstance() {
  static auto codec = std::make_shared<FlutterStandardMessageCodec>(nullptr);
  return codec;
}

std::shared_ptr<FlutterStandardMessageCodec> FlutterStandardMessageCodec::codecWithReaderWriter(
    std::shared_ptr<const FlutterStandardReaderWriter> rw) {
  return std::make_shared<FlutterStandardMessageCodec>(std::move(rw));
}

Bytes FlutterStandardMessageCodec::encode(const Value& message) const {
  Bytes data;
  if (message.isNull()) return data;
  data.reserve(EncodedSizeBound::of(message));
  auto w = rw_->writerWithData(data);
  w->writeValue(message);
  return data;
}

Value FlutterStandardMessageCodec::decode(const uint8_t* data, size_t length) const {
  if (length == 0) return Value();
  auto r = rw_->readerWithData(data, length);
  Value v = r->readValue();
  if (r->hasMore()) throw FlutterCodecException("Corrupted standard message: trailing bytes");
  return v;
}

FlutterStandardMethodCodec::FlutterStandardMethodCodec(
    std::shared_ptr<const FlutterStandardReaderWriter> rw)
    : rw_(rw ? std::move(rw) : std::make_shared<FlutterStandardReaderWriter>()) {}

std::shared_ptr<FlutterStandardMethodCodec> FlutterStandardMethodCodec::sharedInstance() {
  static auto codec = std::make_shared<FlutterStandardMethodCodec>(nullptr);
  return codec;
}

Bytes FlutterStandardMethodCodec::encodeMethodCall(const FlutterMethodCall& call) const {
  Bytes data;
  data.reserve(1 + 5 + call.method.size() + EncodedSizeBound::of(call.arguments));
  auto w = rw_->writerWithData(data);
  w->writeValue(Value(call.method));
  w->writeValue(call.arguments);
  return data;
}

FlutterMethodCall FlutterStandardMethodCodec::decodeMethodCall(const uint8_t* data,
                                                               size_t length) const {
  auto r = rw_->readerWithData(data, length);
  Value method = r->readValue();
  Value args = r->hasMore() ? r->readValue() : Value();
  if (!method.isString()) throw FlutterCodecException("Method call without a method name");
  if (r->hasMore()) throw FlutterCodecException("Corrupted method call: trailing bytes");
  return FlutterMethodCall{method.asString(), std::move(args)};
}

Bytes FlutterStandardMethodCodec::encodeSuccessEnvelope(const Value& result) const {
  Bytes data;
  data.reserve(1 + EncodedSizeBound::of(result));
  auto w = rw_->writerWithData(data);
  w->writeByte(0);
  w->writeValue(result);
  return data;
}

Bytes FlutterStandardMethodCodec::encodeSuccessEnvelope(Value&& result) const {
  const Value held = std::exchange(result, Value());
  Bytes data;
  data.reserve(1 + EncodedSizeBound::of(held));
  auto w = rw_->writerWithData(data);
  w->releasePayloadsAsWritten();
  w->writeByte(0);
  w->writeValue(held);
  return data;
}

Bytes FlutterStandardMethodCodec::encodeErrorEnvelope(const std::string& code,
                                                      const std::optional<std::string>& message,
                                                      const Value& details) const {
  Bytes data;
  data.reserve(1 + 2 * (1 + 5) + code.size() + (message ? message->size() : 0) +
               EncodedSizeBound::of(details));
  auto w = rw_->writerWithData(data);
  w->writeByte(1);
  w->writeValue(Value(code));
  w->writeValue(message ? Value(*message) : Value());
  w->writeValue(details);
  return data;
}

Bytes FlutterStandardMethodCodec::encodeErrorEnvelope(const FlutterError& error) const {
  return encodeErrorEnvelope(error.code(), error.message(), error.details());
}

FlutterEnvelope FlutterStandardMethodCodec::decodeEnvelope(
    std::shared_ptr<const Bytes>&& message) const {
  const auto held = std::exchange(message, nullptr);
  if (!held) return decodeEnvelope(nullptr, 0);
  return decodeEnvelope(held->data(), held->size(), held.use_count() == 1);
}

FlutterEnvelope FlutterStandardMethodCodec::decodeEnvelope(const uint8_t* data,
                                                           size_t length) const {
  return decodeEnvelope(data, length, false);
}

FlutterEnvelope FlutterStandardMethodCodec::decodeEnvelope(const uint8_t* data, size_t length,
                                                           bool releasing) const {
  auto r = rw_->readerWithData(data, length);
  if (releasing) r->releasePayloadsAsRead();
  FlutterEnvelope env;
  uint8_t flag = r->readByte();
  if (flag == 0) {
    env.result = r->readValue();
  } else if (flag == 1) {
    env.isError = true;
    Value code = r->readValue();
    Value message = r->readValue();
    env.details = r->readValue();
    // The Dart side may append its stack trace; the host has no use for it.
    if (r->hasMore()) {
      Value stacktrace = r->readValue();
      if (!stacktrace.isNull() && !stacktrace.isString()) {
        throw FlutterCodecException("Corrupted envelope: stack trace is not a string");
      }
    }
    if (!code.isString()) throw FlutterCodecException("Error envelope without a code");
    env.code = code.asString();
    if (message.isString()) env.message = message.asString();
  } else {
    throw FlutterCodecException("Corrupted envelope");
  }
  if (r->hasMore()) throw FlutterCodecException("Corrupted envelope: trailing bytes");
  return env;
}
