#include "platform/coregraphics/internal/CGRasterizer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

CGPixelBox CGPixelBox::intersect(const CGPixelBox& o) const {
  return {std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
}

namespace {

constexpr int kSubScanlines = 16;
constexpr double kHuge = 1e7;  // beyond any bitmap; keeps int conversions defined

struct Edge {
  double x0, y0, x1, y1, dxdy;
  int dir;
};

// Where an edge crosses a sub-scanline, as a row accumulator's fixed-point
// position.
struct Crossing {
  int64_t x;
  int dir;
};

std::vector<Edge> buildEdges(const std::vector<CGPolygon>& polygons) {
  std::vector<Edge> edges;
  for (const CGPolygon& poly : polygons) {
    const auto& pts = poly.points;
    size_t n = pts.size();
    if (n < 2) continue;
    for (size_t i = 0; i < n; ++i) {
      CGPoint a = pts[i], b = pts[(i + 1) % n];
      if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(b.x) ||
          !std::isfinite(b.y) || a.y == b.y)
        continue;
      int dir = 1;
      if (a.y > b.y) {
        std::swap(a, b);
        dir = -1;
      }
      a.x = std::clamp(a.x, -kHuge, kHuge);
      b.x = std::clamp(b.x, -kHuge, kHuge);
      a.y = std::clamp(a.y, -kHuge, kHuge);
      b.y = std::clamp(b.y, -kHuge, kHuge);
      if (a.y == b.y) continue;
      edges.push_back({a.x, a.y, b.x, b.y, (b.x - a.x) / (b.y - a.y), dir});
    }
  }
  std::sort(edges.begin(), edges.end(), [](const Edge& l, const Edge& r) { return l.y0 < r.y0; });
  return edges;
}

// Crossings are placed to 1/65536 of a pixel; a pixel wholly covered on
// every sub-scanline sums to kFullCell.
constexpr int kFractionBits = 16;
constexpr int32_t kCellUnit = int32_t(1) << kFractionBits;  // one sub-scanline
constexpr int32_t kFullCell = kCellUnit * kSubScanlines;

// Accumulates the coverage of one pixel row in integers. A span [xa, xb)
// adds its weight from xa on and takes it away from xb on, each split
// between the cell it starts in and the next by where in the cell it
// starts; a cell's coverage is the running sum up to it. Only the cells
// edges cross change that sum, so the row is summed cell by cell only
// there and read out as one run of constant coverage in between (the
// inside of a shape).
struct RowAccumulator {
  int x0, x1;
  int64_t limit;             // the row's right end, fixed-point
  std::vector<int32_t> acc;  // one past each end for the share carried on
  struct Cells {
    int from, to;  // inclusive, relative to x0
  };
  std::vector<Cells> edgeCells;  // where edges cross this row, unsorted

  RowAccumulator(int left, int right)
      : x0(left),
        x1(right),
        limit(int64_t(right - left) << kFractionBits),
        acc(size_t(right - left) + 2, 0) {}

  // A position as a fixed-point offset from x0, rounded to nearest; not
  // yet held inside the row. Edge ends are finite and within kHuge, so
  // their crossings are too, and the bias keeps the sum positive.
  int64_t unclamped(double x) const {
    constexpr int64_t kBias = int64_t(1) << 42;
    return static_cast<int64_t>((x - x0) * kCellUnit + (0.5 + double(kBias))) - kBias;
  }
  int64_t clamp(int64_t f) const { return std::clamp<int64_t>(f, 0, limit); }

  // Cells crossed by an edge whose crossings in this row lie in [fmin,
  // fmax] (held inside the row), the cell after included (spans carry
  // into it).
  void addEdge(int64_t fmin, int64_t fmax) {
    edgeCells.push_back({int(fmin >> kFractionBits), int(fmax >> kFractionBits) + 1});
  }

  // Adds w sub-scanlines' worth of [fa, fb) (fixed-point positions inside
  // the row).
  void addSpan(int64_t fa, int64_t fb, int32_t w) {
    if (fb <= fa) return;
    const int64_t ia = fa >> kFractionBits, ib = fb >> kFractionBits;
    const int32_t ra = int32_t(fa) & (kCellUnit - 1), rb = int32_t(fb) & (kCellUnit - 1);
    acc[size_t(ia)] += (kCellUnit - ra) * w;
    acc[size_t(ia) + 1] += ra * w;
    acc[size_t(ib)] -= (kCellUnit - rb) * w;
    acc[size_t(ib) + 1] -= rb * w;
  }

  // Reads out the cells from the first to the last an edge crosses, in
  // order: `out.cell(at, sum)` for a cell near an edge and `out.run(from,
  // to, sum)` for cells [from, to) of one coverage between edges, the
  // coverage being sum / kFullCell; then clears the row. Answers whether
  // any cell had coverage.
  template <typename Out>
  bool readOut(Out& out) {
    if (edgeCells.empty()) return false;
    if (edgeCells.size() <= 16) {
      // Few edges a row: an insertion sort beats the general one.
      for (size_t i = 1; i < edgeCells.size(); ++i) {
        Cells c = edgeCells[i];
        size_t j = i;
        for (; j > 0 && edgeCells[j - 1].from > c.from; --j) edgeCells[j] = edgeCells[j - 1];
        edgeCells[j] = c;
      }
    } else {
      std::sort(edgeCells.begin(), edgeCells.end(),
                [](const Cells& a, const Cells& b) { return a.from < b.from; });
    }
    const int width = x1 - x0;
    int32_t sum = 0, most = 0;
    int next = edgeCells[0].from;  // the first cell not yet read out
    for (size_t k = 0; k < edgeCells.size();) {
      // Overlapping or adjoining ranges of cells are summed as one.
      const int from = edgeCells[k].from;
      int to = edgeCells[k].to;
      for (++k; k < edgeCells.size() && edgeCells[k].from <= to + 1; ++k) {
        to = std::max(to, edgeCells[k].to);
      }
      if (from > next && next < width) {
        out.run(next, std::min(from, width), clampSum(sum));
        most = std::max(most, sum);
      }
      for (int i = from; i <= to; ++i) {
        sum += acc[size_t(i)];
        acc[size_t(i)] = 0;
        if (i >= width) continue;
        out.cell(i, clampSum(sum));
        most = std::max(most, sum);
      }
      next = std::max(next, to + 1);
    }
    edgeCells.clear();
    return most > 0;
  }

  static int32_t clampSum(int32_t sum) { return std::clamp(sum, 0, kFullCell); }
};

// A running sum as the coverage it stands for, 0...1 (exactly: the sum and
// the scale are powers of two short of 2^24).
inline float coverageOf(int32_t sum) { return static_cast<float>(sum) * (1.0f / kFullCell); }

// Coverage as floats, for a row sink.
struct FloatRow {
  float* coverage;
  int first = -1, last = -1;
  void run(int from, int to, int32_t sum) {
    if (first < 0) first = from;
    last = to;
    std::fill(coverage + from, coverage + to, coverageOf(sum));
  }
  void cell(int at, int32_t sum) { run(at, at + 1, sum); }
};

// Coverage as bytes straight into a mask row, remembering the cells written
// and the widest run of full coverage.
struct ByteRow {
  uint8_t* out;
  int first = -1, last = -1;     // the cells written
  int fullFrom = 0, fullTo = 0;  // the widest full run so far
  int runFrom = 0, runTo = 0;    // the one being extended

  // The same rounding as a float row scaled to bytes.
  static uint8_t byteOf(int32_t sum) { return static_cast<uint8_t>(coverageOf(sum) * 255 + 0.5f); }
  void run(int from, int to, int32_t sum) {
    const uint8_t b = byteOf(sum);
    std::memset(out + from, b, size_t(to - from));
    wrote(from, to, b);
  }
  void cell(int at, int32_t sum) {
    const uint8_t b = byteOf(sum);
    out[at] = b;
    wrote(at, at + 1, b);
  }
  void wrote(int from, int to, uint8_t b) {
    if (first < 0) first = from;
    last = to;
    if (b != 255) return;
    if (from != runTo) runFrom = from;
    runTo = to;
    if (runTo - runFrom > fullTo - fullFrom) fullFrom = runFrom, fullTo = runTo;
  }
};

// Scan-converts the polygons inside `box`, handing each row's accumulator to
// `emit(y, row)` to be read out.
template <typename Emit>
void scanConvert(const std::vector<CGPolygon>& polygons, CGFillRule rule, CGPixelBox box,
                 bool antialias, Emit emit);

}  // namespace

CGPixelBox CGRasterizer::bounds(const std::vector<CGPolygon>& polygons) {
  double x0 = kHuge, y0 = kHuge, x1 = -kHuge, y1 = -kHuge;
  for (const CGPolygon& poly : polygons)
    for (const CGPoint& p : poly.points) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
      x0 = std::min(x0, p.x);
      y0 = std::min(y0, p.y);
      x1 = std::max(x1, p.x);
      y1 = std::max(y1, p.y);
    }
  if (x1 < x0) return {};
  auto lo = [](double v) { return static_cast<int>(std::floor(std::clamp(v, -kHuge, kHuge))); };
  auto hi = [](double v) { return static_cast<int>(std::ceil(std::clamp(v, -kHuge, kHuge))); };
  return {lo(x0), lo(y0), hi(x1), hi(y1)};
}

namespace {

// For one convex outline (turning one way only, going down and up once
// each), the sign that makes its left side's edges add coverage: every
// sub-scanline crosses it twice or not at all, once on each side, so its
// inside is between the two under either rule. 0 for any other shape.
int convexOutlineSign(const std::vector<CGPolygon>& polygons) {
  if (polygons.size() != 1) return 0;
  const std::vector<CGPoint>& pts = polygons[0].points;
  const size_t n = pts.size();
  if (n < 3) return 0;
  int turn = 0, firstDy = 0, lastDy = 0, reversals = 0;
  for (size_t i = 0; i < n; ++i) {
    const CGPoint a = pts[i], b = pts[(i + 1) % n], c = pts[(i + 2) % n];
    // Points the edges would move (clamped or dropped) leave the general
    // path to decide.
    if (!(std::fabs(a.x) <= kHuge && std::fabs(a.y) <= kHuge)) return 0;
    const double cross = (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
    const int t = cross > 0 ? 1 : cross < 0 ? -1 : 0;
    if (t != 0) {
      if (turn != 0 && t != turn) return 0;
      turn = t;
    }
    const int dy = b.y > a.y ? 1 : b.y < a.y ? -1 : 0;
    if (dy != 0) {
      if (lastDy != 0 && dy != lastDy) ++reversals;
      if (firstDy == 0) firstDy = dy;
      lastDy = dy;
    }
  }
  if (lastDy != firstDy) ++reversals;  // around the corner back to the start
  if (turn == 0 || reversals != 2) return 0;
  // Turning clockwise on the screen (y down), the left side runs up.
  return -turn;
}

// An edge's crossings of one row's samples: `count` of them from sample
// `first` on, the k-th at fixed-point x + k * step (not yet held inside the
// row). Stepping in integers gives every crossing the same position
// whichever way the row is summed.
struct RowCrossings {
  int first = 0, count = 0;
  int64_t x = 0, step = 0;
  int64_t at(int k) const { return x + k * step; }
  int64_t lowest() const { return std::min(x, at(count - 1)); }
  int64_t highest() const { return std::max(x, at(count - 1)); }
};

template <typename Emit>
void scanConvert(const std::vector<CGPolygon>& polygons, CGFillRule rule, CGPixelBox box,
                 bool antialias, Emit emit) {
  std::vector<Edge> edges = buildEdges(polygons);
  if (edges.empty()) return;
  // A convex outline's edges add their crossings on their own: +1 from
  // those on its left, -1 from those on its right (the sign of its
  // turning tells which way its edges run on the left).
  const int convexSign = convexOutlineSign(polygons);
  RowAccumulator row(box.x0, box.x1);
  int32_t* const cells = row.acc.data();
  std::vector<const Edge*> active;
  // Sub-scanline s's crossings sit at s * active.size(): an edge crosses
  // each sub-scanline at most once, so they never spill into the next.
  std::vector<Crossing> crossingRows;
  size_t counts[kSubScanlines];
  const int samples = antialias ? kSubScanlines : 1;
  double offsets[kSubScanlines], sampleY[kSubScanlines];
  for (int s = 0; s < samples; ++s) offsets[s] = (s + 0.5) / samples;
  // The largest step kept: an edge steeper than this crosses at most one
  // sub-scanline inside ±kHuge, so its step is never taken.
  constexpr double kMaxStep = double(int64_t(1) << 44);
  size_t next = 0;
  auto crossingsOf = [&](const Edge* e, int rowSamples) {
    RowCrossings c;
    int s = 0, end = rowSamples;
    if (!(e->y0 <= sampleY[0])) {
      while (s < rowSamples && !(e->y0 <= sampleY[s])) ++s;
    }
    if (!(sampleY[rowSamples - 1] < e->y1)) {
      end = s;
      while (end < rowSamples && sampleY[end] < e->y1) ++end;
    }
    if (s >= end) return c;
    double at = e->x0 + (sampleY[s] - e->y0) * e->dxdy;
    // Without antialiasing a span takes the whole pixels whose centres it
    // holds (one sample a row).
    if (!antialias) at = std::ceil(at - 0.5);
    c.first = s, c.count = end - s, c.x = row.unclamped(at);
    if (c.count > 1) {
      const double step = e->dxdy * (double(kCellUnit) / rowSamples);
      c.step =
          static_cast<int64_t>(std::clamp(step, -kMaxStep, kMaxStep) + (step < 0 ? -0.5 : 0.5));
    }
    row.addEdge(row.clamp(c.lowest()), row.clamp(c.highest()));
    return c;
  };
  for (int y = box.y0; y < box.y1; ++y) {
    // Edges touching [y, y + 1).
    active.erase(
        std::remove_if(active.begin(), active.end(), [y](const Edge* e) { return e->y1 <= y; }),
        active.end());
    while (next < edges.size() && edges[next].y0 < y + 1) {
      if (edges[next].y1 > y) active.push_back(&edges[next]);
      ++next;
    }
    if (active.empty()) continue;
    // Vertical edges crossing the whole row cut every sub-scanline alike:
    // one sample stands for all of them (the straight sides of rectangles
    // and rounded rectangles).
    const bool uniform = std::all_of(active.begin(), active.end(), [y](const Edge* e) {
      return e->x0 == e->x1 && e->y0 <= y && e->y1 >= y + 1;
    });
    const int rowSamples = uniform ? 1 : samples;
    // Each sample's share of kSubScanlines.
    const int32_t rowWeight = kSubScanlines / rowSamples;
    if (uniform) {
      sampleY[0] = y + 0.5;
    } else {
      for (int s = 0; s < rowSamples; ++s) sampleY[s] = y + offsets[s];
    }
    if (convexSign != 0) {
      for (const Edge* e : active) {
        const RowCrossings c = crossingsOf(e, rowSamples);
        if (c.count == 0) continue;
        const int32_t w = rowWeight * e->dir * convexSign;
        // Crossings in one cell (most edges: all but the flattest) add up
        // in closed form: count in the cell, their offsets into the next.
        auto addCell = [&](int64_t cell, int64_t n, int64_t offsets) {
          cells[cell] += int32_t(n * kCellUnit - offsets) * w;
          cells[cell + 1] += int32_t(offsets) * w;
        };
        const int64_t lowest = c.lowest(), highest = c.highest();
        if (lowest >= 0 && highest <= row.limit &&
            lowest >> kFractionBits == highest >> kFractionBits) {
          const int64_t cell = lowest >> kFractionBits, n = c.count;
          addCell(cell, n, n * (c.x - (cell << kFractionBits)) + c.step * (n * (n - 1) / 2));
          continue;
        }
        int64_t cell = row.clamp(c.x) >> kFractionBits, n = 0, offsets = 0;
        for (int k = 0; k < c.count; ++k) {
          const int64_t x = row.clamp(c.at(k));
          if (x >> kFractionBits != cell) {
            addCell(cell, n, offsets);
            cell = x >> kFractionBits, n = 0, offsets = 0;
          }
          ++n, offsets += x & (kCellUnit - 1);
        }
        addCell(cell, n, offsets);
      }
      emit(y, row);
      continue;
    }
    // Each edge's crossings, sub-scanline by sub-scanline, go to that
    // sub-scanline's list (the same positions as testing each sub-scanline
    // against every edge, with fewer branches).
    const size_t stride = active.size();
    if (crossingRows.size() < stride * size_t(rowSamples)) {
      crossingRows.resize(stride * size_t(rowSamples));
    }
    for (int s = 0; s < rowSamples; ++s) counts[s] = 0;
    for (const Edge* e : active) {
      const RowCrossings c = crossingsOf(e, rowSamples);
      for (int k = 0; k < c.count; ++k) {
        const int s = c.first + k;
        crossingRows[size_t(s) * stride + counts[s]++] = {row.clamp(c.at(k)), e->dir};
      }
    }
    for (int s = 0; s < rowSamples; ++s) {
      Crossing* crossings = crossingRows.data() + size_t(s) * stride;
      const size_t n = counts[s];
      if (n == 2) {
        // Two crossings: inside between them under either rule.
        row.addSpan(std::min(crossings[0].x, crossings[1].x),
                    std::max(crossings[0].x, crossings[1].x), rowWeight);
        continue;
      }
      // Few crossings a sub-scanline: an insertion sort beats the general
      // one.
      for (size_t i = 1; i < n; ++i) {
        Crossing c = crossings[i];
        size_t j = i;
        for (; j > 0 && crossings[j - 1].x > c.x; --j) crossings[j] = crossings[j - 1];
        crossings[j] = c;
      }
      int winding = 0;
      for (size_t i = 0; i + 1 < n; ++i) {
        winding += rule == CGFillRule::NonZero ? crossings[i].dir : 1;
        bool inside = rule == CGFillRule::NonZero ? winding != 0 : (winding & 1) != 0;
        if (!inside) continue;
        row.addSpan(crossings[i].x, crossings[i + 1].x, rowWeight);
      }
    }
    emit(y, row);
  }
}

}  // namespace

void CGRasterizer::fill(const std::vector<CGPolygon>& polygons, CGFillRule rule, CGPixelBox clip,
                        bool antialias, const RowSink& sink) {
  CGPixelBox box = bounds(polygons).intersect(clip);
  if (box.isEmpty()) return;
  std::vector<float> coverage(size_t(box.x1 - box.x0) + 1, 0);
  scanConvert(polygons, rule, box, antialias, [&](int y, RowAccumulator& row) {
    FloatRow out{coverage.data()};
    if (!row.readOut(out)) return;
    sink(y, box.x0 + out.first, box.x0 + out.last, coverage.data() + out.first);
  });
}

bool CGRasterizer::fillMask(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                            CGPixelBox box, bool antialias, uint8_t* mask, int stride,
                            std::vector<FullRun>* fullRuns) {
  if (box.isEmpty()) return false;
  if (fullRuns) fullRuns->assign(size_t(box.y1 - box.y0), FullRun{});
  const int width = box.x1 - box.x0;
  auto rowAt = [&](int y) { return mask + size_t(y - box.y0) * size_t(stride); };
  // Rows above `written` are written across the box; the rest are cleared
  // once something is covered.
  int written = box.y0;
  auto clearTo = [&](int y) {
    for (; written < y; ++written) std::memset(rowAt(written), 0, size_t(width));
  };
  scanConvert(polygons, rule, box, antialias, [&](int y, RowAccumulator& row) {
    ByteRow out{rowAt(y)};
    if (!row.readOut(out)) return;
    clearTo(y);
    std::memset(out.out, 0, size_t(out.first));
    std::memset(out.out + out.last, 0, size_t(width - out.last));
    written = y + 1;
    if (fullRuns && out.fullTo > out.fullFrom) {
      (*fullRuns)[size_t(y - box.y0)] = {box.x0 + out.fullFrom, box.x0 + out.fullTo};
    }
  });
  if (written == box.y0) return false;
  clearTo(box.y1);
  return true;
}
