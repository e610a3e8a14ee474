#include "platform/imageio/internal/PNGBandWriter.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/PNGDecoder.h"

namespace {

// About this much filtered data per band: large enough that restarting the
// compressor's window costs nothing measurable, small enough that every
// worker gets several bands of a large image.
constexpr size_t kBandBytes = size_t{2} << 20;
constexpr uint8_t kPaethFilter = 4;

struct Band {
  Bytes deflated;
  uLong adler = 1;
  size_t length = 0;  // filtered bytes
  bool ok = false;
};

struct BandJob {
  PNGBandWriterRows rows;
  uint32_t bytesPerPixel = 3;
  uint32_t rowsPerBand = 1;
  std::vector<Band> bands;
  std::atomic<size_t> next{0};
};

// The row in the file's pixel layout: RGBA as it is, RGB without the fourth byte.
void PackRow(const PNGBandWriterRows& rows, uint32_t y, uint32_t bytesPerPixel, uint8_t* out) {
  const uint8_t* src = rows.base + size_t(y) * rows.stride;
  if (bytesPerPixel == 4) {
    std::copy(src, src + size_t(rows.width) * 4, out);
    return;
  }
  for (uint32_t x = 0; x < rows.width; ++x, src += 4, out += 3) {
    out[0] = src[0];
    out[1] = src[1];
    out[2] = src[2];
  }
}

uint8_t PaethPredictor(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  if (pa <= pb && pa <= pc) return uint8_t(a);
  return uint8_t(pb <= pc ? b : c);
}

// One filtered row: the filter byte, then each byte less its Paeth prediction
// from the left, upper and upper-left neighbours (0 outside the image).
void PaethRow(const uint8_t* row, const uint8_t* above, size_t length, uint32_t bpp, uint8_t* out) {
  out[0] = kPaethFilter;
  ++out;
  if (!above) {
    for (size_t i = 0; i < length; ++i) out[i] = uint8_t(row[i] - (i >= bpp ? row[i - bpp] : 0));
    return;
  }
  for (size_t i = 0; i < bpp && i < length; ++i) out[i] = uint8_t(row[i] - above[i]);
  for (size_t i = bpp; i < length; ++i) {
    out[i] = uint8_t(row[i] - PaethPredictor(row[i - bpp], above[i], above[i - bpp]));
  }
}

// Filters and deflates one band into a raw deflate stream that ends on a
// byte boundary (sync flush) and, for the last band, with the final block.
bool EncodeBand(const BandJob& job, size_t index, Band& band) {
  const PNGBandWriterRows& rows = job.rows;
  const uint32_t first = uint32_t(index * job.rowsPerBand);
  const uint32_t end = std::min<uint32_t>(rows.height, first + job.rowsPerBand);
  const bool last = end == rows.height;
  const size_t rowBytes = size_t(rows.width) * job.bytesPerPixel;

  Bytes packed[2] = {Bytes(rowBytes), Bytes(rowBytes)};
  Bytes filtered(size_t(end - first) * (rowBytes + 1));
  bool haveAbove = first > 0;
  if (haveAbove) PackRow(rows, first - 1, job.bytesPerPixel, packed[1].data());
  for (uint32_t y = first; y < end; ++y) {
    Bytes& row = packed[(y - first) % 2];
    const Bytes& above = packed[(y - first + 1) % 2];
    PackRow(rows, y, job.bytesPerPixel, row.data());
    PaethRow(row.data(), haveAbove ? above.data() : nullptr, rowBytes, job.bytesPerPixel,
             filtered.data() + size_t(y - first) * (rowBytes + 1));
    haveAbove = true;
  }
  band.length = filtered.size();
  band.adler = adler32(1, filtered.data(), uInt(filtered.size()));

  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  band.deflated.resize(deflateBound(&z, filtered.size()) + 16);
  z.next_in = filtered.data();
  z.avail_in = uInt(filtered.size());
  z.next_out = band.deflated.data();
  z.avail_out = uInt(band.deflated.size());
  const int status = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  const bool done = last ? status == Z_STREAM_END : (status == Z_OK && z.avail_in == 0);
  band.deflated.resize(z.total_out);
  // Kept until every band is done: at its bound, each would hold about as
  // much as its filtered rows (the pages the allocator hands out again are
  // resident), and a large image's bands as much as the image.
  band.deflated.shrink_to_fit();
  deflateEnd(&z);
  return done && z.avail_out > 0;
}

void RunBands(BandJob& job) {
  for (;;) {
    const size_t index = job.next.fetch_add(1);
    if (index >= job.bands.size()) return;
    Band& band = job.bands[index];
    band.ok = EncodeBand(job, index, band);
  }
}

// Every band encoded, by this thread and by helpers on the dispatch pool;
// returns once all are done. The calling thread works too, so a busy pool
// only slows the write down.
void EncodeAllBands(const std::shared_ptr<BandJob>& job) {
  const size_t cpus = std::max(1u, std::thread::hardware_concurrency());
  const size_t helpers = std::min(job->bands.size(), cpus) - 1;
  auto group = dispatch_group_create();
  auto queue = dispatch_get_global_queue(DispatchQoS::UserInitiated);
  for (size_t i = 0; i < helpers; ++i) {
    dispatch_group_async(group, queue, [job] { RunBands(*job); });
  }
  RunBands(*job);
  dispatch_group_wait(group, DISPATCH_TIME_FOREVER);
}

void AppendHeader(const PNGBandWriterRows& rows, const PNGBandWriterHead& head, Bytes& out) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  out.assign(kSignature, kSignature + 8);
  Bytes ihdr;
  AppendBE32(ihdr, rows.width);
  AppendBE32(ihdr, rows.height);
  // 8 bits per sample, RGB or RGBA, deflate, adaptive filtering, no interlace.
  ihdr.insert(ihdr.end(), {8, uint8_t(head.alpha ? 6 : 2), 0, 0, 0});
  AppendPNGChunk(out, "IHDR", ihdr.data(), ihdr.size());
  if (head.dpmX && head.dpmY) {
    Bytes phys;
    AppendBE32(phys, head.dpmX);
    AppendBE32(phys, head.dpmY);
    phys.push_back(1);  // metres
    AppendPNGChunk(out, "pHYs", phys.data(), phys.size());
  }
  if (head.exif && !head.exif->empty()) {
    AppendPNGChunk(out, "eXIf", head.exif->data(), head.exif->size());
  }
}

}  // namespace

bool PNGBandWriterWrite(const PNGBandWriterRows& rows, const PNGBandWriterHead& head, Bytes& out) {
  if (rows.width == 0 || rows.height == 0 || !rows.base) return false;
  auto job = std::make_shared<BandJob>();
  job->rows = rows;
  job->bytesPerPixel = head.alpha ? 4 : 3;
  const size_t rowBytes = size_t(rows.width) * job->bytesPerPixel + 1;
  job->rowsPerBand = uint32_t(std::clamp<size_t>(kBandBytes / rowBytes, 1, rows.height));
  job->bands.resize((rows.height + job->rowsPerBand - 1) / job->rowsPerBand);
  EncodeAllBands(job);

  AppendHeader(rows, head, out);
  size_t total = out.size() + 12;  // IEND
  for (const Band& band : job->bands) total += band.deflated.size() + 12 + 6;
  out.reserve(total);
  // The zlib stream: its header (deflate, 32 KiB window, fastest level), the
  // bands in order, one IDAT each, and the checksum of all filtered bytes.
  uLong adler = 1;
  for (size_t i = 0; i < job->bands.size(); ++i) {
    Band& band = job->bands[i];
    if (!band.ok) return false;
    adler = adler32_combine(adler, band.adler, z_off_t(band.length));
    if (i == 0) band.deflated.insert(band.deflated.begin(), {0x78, 0x01});
    if (i + 1 == job->bands.size()) AppendBE32(band.deflated, uint32_t(adler));
    AppendPNGChunk(out, "IDAT", band.deflated.data(), band.deflated.size());
    Bytes().swap(band.deflated);
  }
  AppendPNGChunk(out, "IEND", nullptr, 0);
  return true;
}
