#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/downloader/internal/ILImageLoaderDecoding.h"
#include "image_loading/downloader/ILRemoteImageDownloaderDecryptor.h"
#include "image_loading/downloader/ILRemoteImageDownloaderRequestModifier.h"
#include "image_loading/downloader/ILRemoteImageDownloaderResponseModifier.h"
#include "image_loading/cache/ILRemoteImageCacheKeyFilter.h"
#include "image_loading/manager/ILRemoteImageOptionsProcessor.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace hooks_test {

namespace {

class HooksTest : public PlatformTest {};

TEST_F(HooksTest, RequestModifierSetsMethodAndHeadersOverTheRequest) {
  auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString("https://h/a.png"));
  request->setHTTPMethod("POST");
  request->setValueForHTTPHeaderField("keep", "Kept");
  request->setValueForHTTPHeaderField("old", "X-Replaced");
  auto modifier = ILRemoteImageDownloaderRequestModifier::modifierWithHeaders({{"X-Replaced", "new"}});
  NSURLRequestPtr modified = modifier->modifiedRequestWithRequest(request);
  ASSERT_NE(modified, nullptr);
  EXPECT_EQ(modified->HTTPMethod(), "GET");
  EXPECT_EQ(modified->valueForHTTPHeaderField("X-Replaced"), "new");
  EXPECT_EQ(modified->valueForHTTPHeaderField("Kept"), "keep");
  EXPECT_EQ(request->HTTPMethod(), "POST");  // the original stays as it was
  EXPECT_EQ(ILRemoteImageDownloaderRequestModifier::modifierWithMethod("HEAD")
                ->modifiedRequestWithRequest(request)
                ->HTTPMethod(),
            "HEAD");
  EXPECT_EQ(ILRemoteImageDownloaderRequestModifier(nullptr).modifiedRequestWithRequest(request),
            nullptr);
}

TEST_F(HooksTest, ResponseModifierKeepsTheReceivedHeaders) {
  auto response = std::make_shared<NSHTTPURLResponse>(
      NSURL::URLWithString("https://h/a.png"), 200,
      NSHTTPHeaderFields{{"Content-Type", "image/png"}, {"ETag", "\"1\""}});
  auto notModified = ILRemoteImageDownloaderResponseModifier::modifierWithStatusCode(304)
                         ->modifiedResponseWithResponse(response);
  ASSERT_NE(notModified, nullptr);
  EXPECT_EQ(notModified->statusCode(), 304);
  EXPECT_EQ(notModified->valueForHTTPHeaderField("ETag"), "\"1\"");
  EXPECT_EQ(notModified->MIMEType(), "image/png");
  auto retyped = ILRemoteImageDownloaderResponseModifier::modifierWithHeaders(
                     {{"Content-Type", "image/gif"}})
                     ->modifiedResponseWithResponse(response);
  EXPECT_EQ(retyped->statusCode(), 200);
  EXPECT_EQ(retyped->MIMEType(), "image/gif");
  EXPECT_EQ(retyped->valueForHTTPHeaderField("ETag"), "\"1\"");
}

TEST_F(HooksTest, Base64DecryptorSkipsStrayCharacters) {
  auto decryptor = ILRemoteImageDownloaderDecryptor::base64Decryptor();
  EXPECT_EQ(decryptor, ILRemoteImageDownloaderDecryptor::base64Decryptor());
  const std::string text = "aGVs\r\nbG8s*IHdv\ncmxk";
  NSDataPtr data = decryptor->decryptedDataWithData(NSData::dataWithBytes(text.data(), text.size()),
                                                    nullptr);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data->bytes()), data->length()), "hello, world");
  const std::string broken = "aGVsb";
  EXPECT_EQ(decryptor->decryptedDataWithData(NSData::dataWithBytes(broken.data(), broken.size()),
                                             nullptr),
            nullptr);
}

TEST_F(HooksTest, CacheKeysAndOptionsFromTheContext) {
  const auto url = NSURL::URLWithString("https://h/a.png?token=123");
  EXPECT_EQ(ILCacheKeyForURL(url, Value()), url->absoluteString());
  EXPECT_EQ(ILCacheKeyForURL(nullptr, Value()), "");
  auto filter = ILRemoteImageCacheKeyFilter::cacheKeyFilterWithBlock(
      [](const NSURLPtr& u) { return u->path(); });
  EXPECT_EQ(ILCacheKeyForURL(url, Value::map({{ILRemoteImageContextCacheKeyFilter,
                                                Value(std::static_pointer_cast<NSObject>(filter))}})),
            "/a.png");
  EXPECT_EQ(ILRemoteImageOptionsProcessor(nullptr).processedResultForURL(url, 1, Value()), nullptr);

  // Decode options back into a context and option word.
  ValueMap context;
  ILRemoteImageOptions options = ILLoadDecodeFirstFrameOnly | ILLoadRetryFailed;
  ILImageContextFromDecodeOptions(
      context, options,
      Value::map({{kILImageCoderDecodeFirstFrameOnly, Value(false)},
                  {kILImageCoderDecodeScaleFactor, Value(2.0)},
                  {kILImageCoderDecodeFileExtensionHint, Value("png")}}));
  EXPECT_EQ(options, ILLoadRetryFailed);
  const Value result(context);
  EXPECT_EQ(result.find(ILRemoteImageContextImageScaleFactor)->asDouble(), 2.0);
  EXPECT_EQ(result.find(ILRemoteImageContextImageTypeIdentifierHint)->asString(), "public.png");
  EXPECT_EQ(result.find(ILRemoteImageContextImageThumbnailPixelSize), nullptr);
}

TEST_F(HooksTest, DecodingWithoutDataOrURLIsAProgrammingError) {
  const auto url = NSURL::URLWithString("https://h/a.png");
  const auto data = NSData::dataWithBytes(Bytes{1, 2, 3});
  EXPECT_DEATH(ILImageLoaderDecodeImageData(nullptr, url, 0, Value()),
               "Invalid parameter not satisfying: imageData");
  EXPECT_DEATH(ILImageLoaderDecodeImageData(data, nullptr, 0, Value()),
               "Invalid parameter not satisfying: imageURL");
  EXPECT_DEATH(ILImageLoaderDecodeProgressiveImageData(data, url, false, nullptr, 0, Value()),
               "Invalid parameter not satisfying: operation");
  EXPECT_EQ(ILImageLoaderDecodeImageData(data, url, 0, Value()), nullptr);
}

}  // namespace

}  // namespace hooks_test
