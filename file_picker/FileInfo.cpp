#include "internal/FileInfo.h"

FileInfo::FileInfo(std::string path, NSURLPtr url, std::string name, int64_t size,
                   std::optional<Bytes> bytes)
    : path_(std::move(path)),
      url_(std::move(url)),
      name_(std::move(name)),
      size_(size),
      bytes_(std::move(bytes)) {}

Value FileInfo::toData() && {
  ValueMap map;
  map.emplace_back(Value("path"), Value(path_));
  if (url_) map.emplace_back(Value("identifier"), Value(url_->absoluteString()));
  map.emplace_back(Value("name"), Value(name_));
  map.emplace_back(Value("size"), Value::integer(size_));
  if (bytes_) map.emplace_back(Value("bytes"), Value::bytes(std::move(*bytes_)));
  bytes_.reset();
  return Value(std::move(map));
}
