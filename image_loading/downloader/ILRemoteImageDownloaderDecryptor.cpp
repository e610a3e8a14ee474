#include "image_loading/downloader/ILRemoteImageDownloaderDecryptor.h"

#include <cctype>
#include <string>
#include <utility>

namespace {

bool isBase64Character(unsigned char c) {
  return std::isalnum(c) || c == '+' || c == '/' || c == '=';
}

}  // namespace

std::shared_ptr<ILRemoteImageDownloaderDecryptor>
ILRemoteImageDownloaderDecryptor::decryptorWithBlock(Block block) {
  return std::make_shared<ILRemoteImageDownloaderDecryptor>(std::move(block));
}

std::shared_ptr<ILRemoteImageDownloaderDecryptor>
ILRemoteImageDownloaderDecryptor::base64Decryptor() {
  static const auto shared = decryptorWithBlock(
      [](const NSDataPtr& data, const NSHTTPURLResponsePtr&) -> NSDataPtr {
        if (!data) return nullptr;
        std::string text;
        text.reserve(data->length());
        for (size_t i = 0; i < data->length(); ++i) {
          const unsigned char c = data->bytes()[i];
          if (c < 0x80 && isBase64Character(c)) text.push_back(static_cast<char>(c));
        }
        std::optional<Bytes> bytes = Base64Decode(text);
        return bytes ? NSData::dataWithBytes(std::move(*bytes)) : nullptr;
      });
  return shared;
}

NSDataPtr ILRemoteImageDownloaderDecryptor::decryptedDataWithData(
    const NSDataPtr& data, const NSHTTPURLResponsePtr& response) {
  return block_ ? block_(data, response) : nullptr;
}
