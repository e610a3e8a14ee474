#pragma once

// Immutable URLs: scheme, authority (user, password, host, port), path, query
// and fragment, kept in their percent-encoded form as RFC 3986 writes them.
// URLWithString() refuses what is not a URL (nullptr): an empty string, more
// than 64 KiB, spaces, control or non-ASCII characters, characters that no
// URL part allows, a malformed port, and "%" not followed by two hex digits.
// Accessors that answer text for people (path, host, lastPathComponent)
// answer it percent-decoded, as the platform does.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "NSObject.h"

class NSURL;
using NSURLPtr = std::shared_ptr<NSURL>;

class NSURL : public NSObject {
 public:
  static constexpr size_t kMaxLength = 64 * 1024;

  static NSURLPtr URLWithString(std::string_view string);
  // The percent-encoded path URLWithString(string) would hold, a view into
  // `string`, without building the URL; nullopt where it would refuse it.
  static std::optional<std::string_view> percentEncodedPathOfString(std::string_view string);
  // A relative path is taken from the current directory. Without an explicit
  // flag the file system says whether the path names a directory, which
  // then ends in "/".
  static NSURLPtr fileURLWithPath(const std::string& path);
  static NSURLPtr fileURLWithPath(const std::string& path, bool isDirectory);

  const std::string& absoluteString() const { return string_; }
  std::optional<std::string> scheme() const { return scheme_; }
  std::optional<std::string> user() const;
  std::optional<std::string> password() const;
  // Decoded, without the brackets of an IPv6 literal.
  std::optional<std::string> host() const;
  std::optional<int64_t> port() const { return port_; }
  // Decoded; a trailing "/" is dropped except for the root.
  std::string path() const;
  // Encoded, as written.
  const std::string& percentEncodedPath() const { return path_; }
  std::optional<std::string> query() const { return query_; }
  std::optional<std::string> fragment() const { return fragment_; }

  std::string lastPathComponent() const;
  // After the last "." of the last component; "" when there is none, and
  // for names such as ".profile".
  std::string pathExtension() const;
  bool isFileURL() const;
  bool hasDirectoryPath() const;

  // The component is percent-encoded as a path needs. For file URLs without
  // an explicit flag the file system says whether it names a directory.
  NSURLPtr URLByAppendingPathComponent(const std::string& component) const;
  NSURLPtr URLByAppendingPathComponent(const std::string& component, bool isDirectory) const;
  // The parent, ending in "/": "/a/b/c" and "/a/b/c/" give "/a/b/".
  NSURLPtr URLByDeletingLastPathComponent() const;
  // The same URL with the "." and ".." segments of an absolute path resolved
  // (".." at the root stays there); a relative path is left as it is.
  NSURLPtr standardizedURL() const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override { return string_; }

  NSURL() = default;

 private:
  static NSURLPtr fromParts(std::optional<std::string> scheme, std::optional<std::string> authority,
                            std::string path, std::optional<std::string> query,
                            std::optional<std::string> fragment);
  NSURLPtr withPath(std::string path) const;

  std::string string_;
  std::optional<std::string> scheme_;
  std::optional<std::string> authority_;  // raw, between "//" and the path
  std::optional<std::string> userInfo_;
  std::optional<std::string> host_;  // raw
  std::optional<int64_t> port_;
  std::string path_;  // raw
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// Which characters stay as they are when percent-encoding one part of a URL
// (letters, digits and "-._~" always do).
enum class NSURLAllowedCharacters {
  Path,      // and !$&'()*+,/:=@
  Query,     // and !$&'()*+,/:;=?@
  Fragment,  // as Query
  Host,      // and !$&'()*+,:;=[]
  User,      // and !$&'()*+,;=
  Password,  // as User
  Unreserved,
};

// stringByAddingPercentEncodingWithAllowedCharacters: every other byte becomes %XX.
std::string stringByAddingPercentEncodingWithAllowedCharacters(std::string_view string,
                                                               NSURLAllowedCharacters allowed);
// stringByRemovingPercentEncoding: nullopt when a "%" is not followed by two hex digits.
std::optional<std::string> stringByRemovingPercentEncoding(std::string_view string);
