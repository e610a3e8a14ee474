#pragma once

// A codec extended with one custom type, written the way generated channels
// do: a Point is type 129 followed by the list [x].

#include <memory>

#include "platform/flutter/FlutterCodec.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"

struct Point : NSObject {
  explicit Point(int32_t x = 0) : x(x) {}
  int32_t x;
};

class PointWriter : public FlutterStandardWriter {
 public:
  using FlutterStandardWriter::FlutterStandardWriter;
  void writeValue(const Value& v) override {
    if (auto p = v.objectAs<Point>()) {
      writeByte(129);
      writeValue(Value::list({Value(p->x)}));
      return;
    }
    FlutterStandardWriter::writeValue(v);
  }
};

class PointReader : public FlutterStandardReader {
 public:
  using FlutterStandardReader::FlutterStandardReader;
  Value readValueOfType(uint8_t type) override {
    if (type != 129) return FlutterStandardReader::readValueOfType(type);
    Value list = readValue();
    const Value* x = list.at(0);
    auto p = std::make_shared<Point>(x && x->isInteger() ? static_cast<int32_t>(x->asInt64()) : 0);
    return Value(std::shared_ptr<NSObject>(p));
  }
};

class PointReaderWriter : public FlutterStandardReaderWriter {
 public:
  std::unique_ptr<FlutterStandardWriter> writerWithData(Bytes& d) const override {
    return std::make_unique<PointWriter>(d);
  }
  std::unique_ptr<FlutterStandardReader> readerWithData(const uint8_t* d, size_t n) const override {
    return std::make_unique<PointReader>(d, n);
  }
};
