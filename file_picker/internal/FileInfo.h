#pragma once

// The record of one picked file and its reply map.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

class FileInfo : public NSObject {
 public:
  // initWithPath:andUrl:andName:andSize:andData:; no bytes is nullopt.
  FileInfo(std::string path, NSURLPtr url, std::string name, int64_t size,
           std::optional<Bytes> bytes);

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  const NSURLPtr& url() const { return url_; }
  int64_t size() const { return size_; }
  const std::optional<Bytes>& bytes() const { return bytes_; }
  // Declared and never set, so never part of a reply.
  const std::optional<bool>& isDirectory() const { return isDirectory_; }

  // "path", "identifier" (the URL's absolute string), "name", "size" and,
  // when there are contents, "bytes". The contents are moved into the map.
  Value toData() &&;

 private:
  std::string path_;
  NSURLPtr url_;
  std::string name_;
  int64_t size_;
  std::optional<Bytes> bytes_;
  std::optional<bool> isDirectory_;
};
