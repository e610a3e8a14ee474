#pragma once

// Turns the downloaded bytes into the image bytes before decoding (for
// servers that send images encoded or encrypted); nullptr fails the download.

#include <functional>
#include <memory>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/network/NSURLRequest.h"

class ILRemoteImageDownloaderDecryptorProtocol : public NSObject {
 public:
  virtual NSDataPtr decryptedDataWithData(const NSDataPtr& data,
                                          const NSHTTPURLResponsePtr& response) = 0;
};
using ILRemoteImageDownloaderDecryptorPtr =
    std::shared_ptr<ILRemoteImageDownloaderDecryptorProtocol>;

class ILRemoteImageDownloaderDecryptor : public ILRemoteImageDownloaderDecryptorProtocol {
 public:
  using Block = std::function<NSDataPtr(const NSDataPtr&, const NSHTTPURLResponsePtr&)>;

  explicit ILRemoteImageDownloaderDecryptor(Block block) : block_(std::move(block)) {}
  static std::shared_ptr<ILRemoteImageDownloaderDecryptor> decryptorWithBlock(Block block);
  // Base64 text to bytes, skipping what is outside the alphabet (line breaks
  // and the like); nullptr when what remains does not decode. Made once.
  static std::shared_ptr<ILRemoteImageDownloaderDecryptor> base64Decryptor();

  const Block& block() const { return block_; }
  NSDataPtr decryptedDataWithData(const NSDataPtr& data,
                                  const NSHTTPURLResponsePtr& response) override;

 private:
  Block block_;
};
