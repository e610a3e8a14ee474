#include "NSData.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
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
  // A regular file comes whole, one version of it, never a mix of what it
  // held before and after a writer changed it in place.
  if (S_ISREG(st.st_mode)) {
    const bool read = ReadOpenFile(*FileIO::current(), fd, path, out, error);
    ::close(fd);
    return read;
  }
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

// EVP's block calls take an int length: longer inputs go through in pieces
// of whole groups (3 bytes in, 4 characters out).
constexpr size_t kBase64Piece = size_t(3) << 24;

bool isBase64Space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes text without white space: alphabet characters, then at most two
// '=' (their number need not match). Whole groups go to EVP, which refuses
// any other character but '=', so '=' inside is looked for first; the last
// two or three characters are decoded here, extra low bits ignored.
std::optional<Bytes> decodeCompact(std::string_view text) {
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == '=') {
    --end;
    ++padding;
  }
  const std::string_view body = text.substr(0, end);
  const size_t tail = body.size() % 4;
  if (padding > 2 || tail == 1 || body.find('=') != std::string_view::npos) return std::nullopt;
  const size_t whole = body.size() - tail;
  Bytes out(whole / 4 * 3 + (tail ? tail - 1 : 0));
  for (size_t done = 0; done < whole;) {
    const size_t piece = std::min(whole - done, kBase64Piece / 3 * 4);
    const int got =
        EVP_DecodeBlock(out.data() + done / 4 * 3,
                        reinterpret_cast<const unsigned char*>(body.data() + done), int(piece));
    // EVP trims white space and line ends at either end: a group short means
    // it found some, which is not base64 here.
    if (got != int(piece / 4 * 3)) return std::nullopt;
    done += piece;
  }
  uint32_t acc = 0;
  for (size_t i = whole; i < body.size(); ++i) {
    const int v = base64Value(body[i]);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | uint32_t(v);
  }
  if (tail == 2) out[whole / 4 * 3] = uint8_t(acc >> 4);
  if (tail == 3) {
    out[whole / 4 * 3] = uint8_t(acc >> 10);
    out[whole / 4 * 3 + 1] = uint8_t(acc >> 2);
  }
  return out;
}

}  // namespace

std::string Base64Encode(const uint8_t* data, size_t length) {
  std::string out((length + 2) / 3 * 4 + 1, '\0');  // EVP ends with a NUL
  size_t written = 0;
  for (size_t done = 0; done < length;) {
    const size_t piece = std::min(length - done, kBase64Piece);
    written += size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()) + written,
                                      data + done, int(piece)));
    done += piece;
  }
  out.resize(written);
  return out;
}

std::optional<Bytes> Base64Decode(std::string_view text) {
  // Most texts have no white space: decoded as they are.
  if (auto bytes = decodeCompact(text)) return bytes;
  if (std::find_if(text.begin(), text.end(), isBase64Space) == text.end()) return std::nullopt;
  std::string compact;
  compact.reserve(text.size());
  std::copy_if(text.begin(), text.end(), std::back_inserter(compact),
               [](char c) { return !isBase64Space(c); });
  return decodeCompact(compact);
}

void AppendReleasingSource(Bytes& to, const uint8_t* from, size_t length) {
  constexpr size_t kSlice = size_t{8} << 20;
  if (length < (size_t{1} << 20)) {
    to.insert(to.end(), from, from + length);
    return;
  }
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t start = reinterpret_cast<uintptr_t>(from);
  // Only pages that lie wholly inside the source go back.
  uintptr_t released = (start + page - 1) & ~(page - 1);
  for (size_t at = 0; at < length;) {
    const size_t n = std::min(kSlice, length - at);
    to.insert(to.end(), from + at, from + at + n);
    at += n;
    const uintptr_t copied = (start + at) & ~(page - 1);
    if (copied > released) {
      ::madvise(reinterpret_cast<void*>(released), copied - released, MADV_DONTNEED);
      released = copied;
    }
  }
}
