#include "PasteboardPlugin.h"

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/Dispatch.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIPasteboard.h"

namespace {

// Decoding and encoding images can take seconds for large ones: that work runs
// here, one request after the other so that a read sees the write before it,
// and each reply is sent from the main thread once its work is done.
const dispatch_queue_t& imageQueue() {
  static const dispatch_queue_t queue = dispatch_queue_create("pasteboard.images");
  return queue;
}

void replyOnMain(FlutterResult result, Value value) {
  dispatch_async(dispatch_get_main_queue(),
                 [result = std::move(result), value = std::move(value)]() mutable { result(value); });
}

// The image of the data with every pixel decoded, so that data whose header
// reads but whose pixels do not (a JPEG without a scan, a TIFF strip past the
// end) is refused rather than shown black; nullptr then.
UIImagePtr decodeCompletely(const Bytes& bytes) {
  auto source = CGImageSourceCreateWithData(NSData::dataWithBytes(bytes));
  if (!source || CGImageSourceGetStatusAtIndex(source, 0) != kCGImageStatusComplete) return nullptr;
  CGImageRef bitmap = CGImageSourceCreateImageAtIndex(
      source, 0, Value::map({{kCGImageSourceShouldCacheImmediately, Value(true)}}));
  if (!bitmap) return nullptr;
  const Value properties = CGImageSourceCopyPropertiesAtIndex(source, 0);
  const Value* exif = properties.find(kCGImagePropertyOrientation);
  return UIImage::imageWithCGImage(
      bitmap, 1,
      exif && exif->isNumber() ? UIImageOrientationFromEXIF(exif->asInt64()) : UIImageOrientationUp);
}

// The PNG stored with the first image on the pasteboard, when it has one.
std::optional<Value> storedPNG(const UIPasteboard& pasteboard) {
  for (const auto& item : pasteboard.items()) {
    const Value* png = ValueMapFind(item, "public.png");
    if (png && png->isBytes()) return *png;
    for (const auto& [type, value] : item) {
      if (value.objectAs<UIImage>() || (value.isBytes() && type.isString() &&
                                        type.asString().rfind("public.", 0) == 0)) {
        return std::nullopt;  // the first image is in another form
      }
    }
  }
  return std::nullopt;
}

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

// Whatever format the image came in, the Dart side gets PNG: the one encoded
// when the image was written, or one made now for an image put there in
// another form.
void PasteboardPlugin::readImage(FlutterResult& result) {
  dispatch_async(imageQueue(), [result = std::move(result)]() mutable {
    auto pasteboard = UIPasteboard::generalPasteboard();
    if (auto png = storedPNG(*pasteboard)) return replyOnMain(std::move(result), *png);
    auto png = UIImagePNGRepresentation(pasteboard->image());
    replyOnMain(std::move(result), png ? Value::bytes(png->vector()) : Value());
  });
}

void PasteboardPlugin::writeFiles(const Value& arguments, FlutterResult& result) {
  if (!isStringList(arguments)) return answerError(result, "arguments is not String list.");
  result(nullptr);
}

// Bytes that are no image are refused and leave the pasteboard as it was,
// rather than emptying it under a success reply.
// The image is encoded as PNG once, here, and kept in that form, so reads
// hand out the same bytes without decoding or encoding again.
void PasteboardPlugin::writeImage(const Value& arguments, FlutterResult& result) {
  if (!arguments.isBytes()) return answerError(result, "arguments is not data");
  dispatch_async(imageQueue(), [arguments, result = std::move(result)]() mutable {
    auto image = decodeCompletely(arguments.asBytes());
    auto png = image ? UIImagePNGRepresentation(image) : nullptr;
    image = nullptr;  // the whole bitmap goes before the reply
    if (!png) {
      dispatch_async(dispatch_get_main_queue(), [result = std::move(result)]() mutable {
        answerError(result, "data is not a decodable image");
      });
      return;
    }
    UIPasteboard::generalPasteboard()->setItems(
        {{{Value("public.png"), Value::bytes(png->vector())}}});
    replyOnMain(std::move(result), Value());
  });
}
