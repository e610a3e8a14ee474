#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "NSError.h"
#include "NSObject.h"
#include "ValueFwd.h"

class FileIO;
// Immutable bytes with identity, as the platform's data object.
class NSData : public NSObject {
 public:
  NSData() = default;
  explicit NSData(Bytes bytes) : bytes_(std::move(bytes)) {}
  NSData(const void* p, size_t n)
      : bytes_(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n) {}

  static std::shared_ptr<NSData> dataWithBytes(const void* p, size_t n) {
    return std::make_shared<NSData>(p, n);
  }
  static std::shared_ptr<NSData> dataWithBytes(Bytes b) {
    return std::make_shared<NSData>(std::move(b));
  }
  // nullptr when the file cannot be read (ReadFileContents); error filled
  // when asked for.
  static std::shared_ptr<NSData> dataWithContentsOfFile(const std::string& path,
                                                        NSErrorPtr* error = nullptr);

  const uint8_t* bytes() const { return bytes_.data(); }
  size_t length() const { return bytes_.size(); }
  const Bytes& vector() const { return bytes_; }

  // Atomic: written to a temporary file in the same folder, flushed to disk,
  // then renamed over the destination, so readers see the old or new file only.
  bool writeToFile(const std::string& path, bool atomically, NSErrorPtr* error = nullptr) const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  Bytes bytes_;
};

using NSDataPtr = std::shared_ptr<NSData>;

// The atomic file replacement used by every writer that must never leave a
// half-written file behind.
bool WriteFileAtomically(const std::string& path, const void* data, size_t length,
                         NSErrorPtr* error = nullptr);
// The same with the temporary file named by a mkstemp template ("...XXXXXX")
// in the destination's folder, for names too long to take a suffix.
bool WriteFileAtomically(const std::string& path, std::string tempTemplate, const void* data,
                         size_t length, NSErrorPtr* error = nullptr);
// The same through the given system calls. A failed write, sync or rename
// removes the temporary file and leaves the destination as it was.
bool WriteFileAtomically(FileIO& io, const std::string& path, std::string tempTemplate,
                         const void* data, size_t length, NSErrorPtr* error = nullptr);
// The whole contents of the file at `path`. A regular file is read through
// FileIO::current() with CopyOpenFile's check (ReadOpenFile): one that keeps
// changing while it is read fails with EAGAIN rather than arriving torn.
bool ReadFileContents(const std::string& path, Bytes& out, NSErrorPtr* error = nullptr);

// Standard base64 with padding, through OpenSSL's EVP block coder. Decoding
// skips spaces, tabs and line ends anywhere and answers nullopt for any other
// character outside the alphabet, an alphabet character after '=', more than
// two '=', or a group of a single character; a missing or short padding and
// set bits past the last byte are accepted.
std::string Base64Encode(const uint8_t* data, size_t length);
std::optional<Bytes> Base64Decode(std::string_view text);

// Appends `length` bytes from `from` to `to` in slices, giving the source's
// whole pages back to the system once they are copied: for a buffer that its
// only holder drops right after, so that a large payload moving from one
// buffer to the next is resident once, not twice. The source reads as zeros
// where pages went back; `to` should have its capacity reserved. Copies of
// less than a MiB give nothing back: their pages are not worth the calls.
void AppendReleasingSource(Bytes& to, const uint8_t* from, size_t length);
