// Standard codec throughput against a memcpy of the same payload, and the cost
// of one small method call through a channel and back.
#include <benchmark/benchmark.h>

#include <cstring>

#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterCodec.h"
#include "platform/flutter/FlutterDartSide.h"
#include "platform/flutter/FlutterEngine.h"

namespace {

constexpr size_t kBufferBytes = 4 << 20;
constexpr size_t kFloatCount = 1 << 20;

Value bigBytes() {
  Bytes b(kBufferBytes);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 31);
  return Value::bytes(std::move(b));
}

Value bigFloats() {
  std::vector<double> v(kFloatCount);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i) * 0.5;
  return Value::float64List(std::move(v));
}

Value mixedMap() {
  ValueMap m;
  m.reserve(10000);
  for (int i = 0; i < 10000; ++i) {
    Value v;
    switch (i % 4) {
      case 0: v = Value(int32_t{i}); break;
      case 1: v = Value(i * 0.25); break;
      case 2: v = Value("value-" + std::to_string(i)); break;
      default: v = Value(i % 8 == 3); break;
    }
    m.emplace_back(Value("key-" + std::to_string(i)), std::move(v));
  }
  return Value(std::move(m));
}

void BM_MemcpyBaseline(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> src(n, 7), dst(n);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), n);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_MemcpyBaseline)->Arg(kBufferBytes)->Arg(kFloatCount * 8);

void encodeBench(benchmark::State& state, const Value& v, size_t payload) {
  auto codec = FlutterStandardMessageCodec::sharedInstance();
  for (auto _ : state) {
    Bytes out = codec->encode(v);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload));
}

void decodeBench(benchmark::State& state, const Value& v, size_t payload) {
  auto codec = FlutterStandardMessageCodec::sharedInstance();
  Bytes encoded = codec->encode(v);
  for (auto _ : state) {
    Value back = codec->decode(encoded);
    benchmark::DoNotOptimize(&back);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload));
}

void BM_EncodeBytes4MiB(benchmark::State& s) {
  static Value v = bigBytes();
  encodeBench(s, v, kBufferBytes);
}
void BM_DecodeBytes4MiB(benchmark::State& s) {
  static Value v = bigBytes();
  decodeBench(s, v, kBufferBytes);
}
void BM_EncodeFloat64List1M(benchmark::State& s) {
  static Value v = bigFloats();
  encodeBench(s, v, kFloatCount * 8);
}
void BM_DecodeFloat64List1M(benchmark::State& s) {
  static Value v = bigFloats();
  decodeBench(s, v, kFloatCount * 8);
}
void BM_EncodeMap10k(benchmark::State& s) {
  static Value v = mixedMap();
  encodeBench(s, v, FlutterStandardMessageCodec::sharedInstance()->encode(v).size());
}
void BM_DecodeMap10k(benchmark::State& s) {
  static Value v = mixedMap();
  decodeBench(s, v, FlutterStandardMessageCodec::sharedInstance()->encode(v).size());
}
BENCHMARK(BM_EncodeBytes4MiB);
BENCHMARK(BM_DecodeBytes4MiB);
BENCHMARK(BM_EncodeFloat64List1M);
BENCHMARK(BM_DecodeFloat64List1M);
BENCHMARK(BM_EncodeMap10k);
BENCHMARK(BM_DecodeMap10k);

class Echo : public FlutterPlugin {
 public:
  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override {
    result(call.arguments);
  }
};

void BM_MethodCallRoundTrip(benchmark::State& state) {
  auto engine = FlutterEngine::create();
  auto registrar = engine->registrarForPlugin("Echo");
  registrar->addMethodCallDelegate(
      std::make_shared<Echo>(),
      FlutterMethodChannel::methodChannelWithName("bench/echo", registrar->messenger()));
  FlutterDartSide dart(engine);
  Value args = Value::map({{"level", Value(int32_t{42})}, {"name", Value("battery")}});
  for (auto _ : state) {
    bool done = false;
    dart.invokeMethod("bench/echo", "echo", args, [&](const FlutterMethodOutcome& o) {
      done = o.kind == FlutterMethodOutcome::Kind::Success;
    });
    if (!done) state.SkipWithError("no reply");
  }
  engine->destroyContext();
}
BENCHMARK(BM_MethodCallRoundTrip);

}  // namespace

BENCHMARK_MAIN();
