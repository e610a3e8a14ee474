#include "NSData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include "FileIO.h"

namespace {

void setError(NSErrorPtr* error, int err, const std::string& call) {
  if (error) *error = NSError::posixError(err, call);
}

bool writeAll(FileIO& io, int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = io.write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const void* data, size_t length,
                         NSErrorPtr* error) {
  return WriteFileAtomically(path, path + ".tmp-XXXXXX", data, length, error);
}

bool WriteFileAtomically(const std::string& path, std::string tmp, const void* data, size_t length,
                         NSErrorPtr* error) {
  return WriteFileAtomically(*FileIO::system(), path, std::move(tmp), data, length, error);
}

bool WriteFileAtomically(FileIO& io, const std::string& path, std::string tmp, const void* data,
                         size_t length, NSErrorPtr* error) {
  return WriteFileAtomicallyPreparing(io, path, std::move(tmp), data, length, error, {});
}

bool WriteFileAtomicallyPreparing(FileIO& io, const std::string& path, std::string tmp, const void* data,
                                  size_t length, NSErrorPtr* error,
                                  const std::function<void(const std::string& temporary)>& beforeSync) {
  int fd = io.makeTemporary(tmp.data());
  if (fd < 0) {
    setError(error, errno, "mkstemp");
    return false;
  }
  ::fchmod(fd, 0644);
  const bool written = writeAll(io, fd, static_cast<const uint8_t*>(data), length);
  if (written && beforeSync) beforeSync(tmp);
  const bool ok = written && io.sync(fd) == 0;
  int err = errno;
  // A full disk may only show when the data is flushed at close.
  if (io.close(fd) != 0 && ok) {
    err = errno;
    io.unlink(tmp.c_str());
    setError(error, err, "close");
    return false;
  }
  if (!ok) {
    io.unlink(tmp.c_str());
    setError(error, err, written ? "fsync" : "write");
    return false;
  }
  if (io.rename(tmp.c_str(), path.c_str()) != 0) {
    err = errno;
    io.unlink(tmp.c_str());
    setError(error, err, "rename");
    return false;
  }
  // Make the rename itself durable.
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool ReadFileContents(const std::string& path, Bytes& out, NSErrorPtr* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, errno, "open");
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    setError(error, EISDIR, "read");
    return false;
  }
  out.clear();
  if (st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[65536];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      setError(error, err, "read");
      return false;
    }
    if (r == 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  ::close(fd);
  return true;
}

std::shared_ptr<NSData> NSData::dataWithContentsOfFile(const std::string& path, NSErrorPtr* error) {
  Bytes b;
  if (!ReadFileContents(path, b, error)) return nullptr;
  return std::make_shared<NSData>(std::move(b));
}

bool NSData::writeToFile(const std::string& path, bool atomically, NSErrorPtr* error) const {
  if (atomically) return WriteFileAtomically(path, bytes_.data(), bytes_.size(), error);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    setError(error, errno, "open");
    return false;
  }
  bool ok = writeAll(*FileIO::system(), fd, bytes_.data(), bytes_.size());
  int err = errno;
  ::close(fd);
  if (!ok) setError(error, err, "write");
  return ok;
}

bool NSData::isEqual(const NSObject& other) const {
  auto* d = dynamic_cast<const NSData*>(&other);
  return d && d->bytes_ == bytes_;
}

size_t NSData::hash() const {
  return std::hash<std::string_view>()(
      std::string_view(reinterpret_cast<const char*>(bytes_.data()), bytes_.size()));
}

std::string NSData::description() const {
  return "{length = " + std::to_string(bytes_.size()) + "}";
}

namespace {
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

std::string Base64Encode(const uint8_t* data, size_t length) {
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < length; i += 3) {
    uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kBase64Alphabet[v >> 18];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  if (i + 1 == length) {
    uint32_t v = data[i] << 16;
    out += kBase64Alphabet[v >> 18];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == length) {
    uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
    out += kBase64Alphabet[v >> 18];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<Bytes> Base64Decode(std::string_view text) {
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  size_t padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding) return std::nullopt;  // data after padding
    const char* p = std::strchr(kBase64Alphabet, c);
    if (!p || c == '\0') return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(p - kBase64Alphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
    }
  }
  if (padding > 2 || bits >= 6) return std::nullopt;
  return out;
}
