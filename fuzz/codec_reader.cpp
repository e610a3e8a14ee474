// Feeds arbitrary bytes to the standard codec's readers: message decoding,
// method-call decoding and envelope decoding must either succeed or throw the
// codec's own exception, never crash or allocate beyond the input.
#include <cstdint>

#include "platform/flutter/FlutterCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto messageCodec = FlutterStandardMessageCodec::sharedInstance();
  static auto methodCodec = FlutterStandardMethodCodec::sharedInstance();
  try {
    Value v = messageCodec->decode(data, size);
    // What decodes must encode again to bytes that decode to an equal value.
    Bytes again = messageCodec->encode(v);
    if (!(messageCodec->decode(again) == v)) __builtin_trap();
  } catch (const FlutterCodecException&) {
  }
  try {
    methodCodec->decodeMethodCall(data, size);
  } catch (const FlutterCodecException&) {
  }
  try {
    methodCodec->decodeEnvelope(data, size);
  } catch (const FlutterCodecException&) {
  }
  return 0;
}
