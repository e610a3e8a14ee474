#include "PasteboardPlugin.h"

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIPasteboard.h"

namespace {

void answerError(FlutterResult& result, const char* message) {
  result(FlutterError::errorWithCode("0", std::string(message)));
}

bool isStringList(const Value& v) {
  if (!v.isList()) return false;
  for (const auto& element : v.asList()) {
    if (!element.isString()) return false;
  }
  return true;
}

}  // namespace

void PasteboardPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<PasteboardPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("pasteboard", registrar->messenger()));
}

void PasteboardPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method == "image") {
    readImage(result);
  } else if (call.method == "files") {
    result(nullptr);
  } else if (call.method == "writeFiles") {
    writeFiles(call.arguments, result);
  } else if (call.method == "writeImage") {
    writeImage(call.arguments, result);
  } else {
    result(FlutterMethodNotImplemented);
  }
}

// Whatever format the image came in, the Dart side gets PNG.
void PasteboardPlugin::readImage(FlutterResult& result) {
  auto png = UIImagePNGRepresentation(UIPasteboard::generalPasteboard()->image());
  if (!png) return result(nullptr);
  result(FlutterStandardTypedData::typedDataWithBytes(png->vector()));
}

void PasteboardPlugin::writeFiles(const Value& arguments, FlutterResult& result) {
  if (!isStringList(arguments)) return answerError(result, "arguments is not String list.");
  result(nullptr);
}

// Bytes that are no image are refused and leave the pasteboard as it was,
// rather than emptying it under a success reply.
void PasteboardPlugin::writeImage(const Value& arguments, FlutterResult& result) {
  if (!arguments.isBytes()) return answerError(result, "arguments is not data");
  auto image = UIImage::imageWithData(NSData::dataWithBytes(arguments.asBytes()));
  if (!image) return answerError(result, "data is not a decodable image");
  UIPasteboard::generalPasteboard()->setImage(image);
  result(nullptr);
}
