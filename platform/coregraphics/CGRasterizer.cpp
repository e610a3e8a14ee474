#include "platform/coregraphics/internal/CGRasterizer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

struct Crossing {
  double x;
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

// Accumulates the coverage of one pixel row: `area` holds partial cells,
// `delta` starts and ends runs of full cells. Only the cells that spans
// touch are visited when the row is read out: between them coverage is
// constant, so long rows cost little more than their edges.
struct RowAccumulator {
  int x0, x1;
  std::vector<float> area, delta, coverage;
  std::vector<int> events;  // cells whose area or delta a span changed, once each
  std::vector<uint8_t> isEvent;
  int touchedMin, touchedMax;

  RowAccumulator(int left, int right)
      : x0(left),
        x1(right),
        area(right - left + 2, 0),
        delta(right - left + 2, 0),
        coverage(right - left + 1, 0),
        isEvent(right - left + 2, 0) {
    reset();
  }

  void reset() {
    touchedMin = x1 - x0;
    touchedMax = -1;
    events.clear();
  }

  void addSpan(double xa, double xb, float w) {
    xa = std::max(xa, static_cast<double>(x0));
    xb = std::min(xb, static_cast<double>(x1));
    if (!(xb > xa)) return;
    double fa = xa - x0, fb = xb - x0;
    int ia = static_cast<int>(fa), ib = static_cast<int>(fb);
    if (ia == ib) {
      area[ia] += static_cast<float>(fb - fa) * w;
      mark(ia);
    } else {
      area[ia] += static_cast<float>(ia + 1 - fa) * w;
      delta[ia + 1] += w;
      delta[ib] -= w;
      area[ib] += static_cast<float>(fb - ib) * w;
      mark(ia), mark(ia + 1), mark(ib);
    }
    touchedMin = std::min(touchedMin, ia);
    touchedMax = std::max(touchedMax, std::min(ib, x1 - x0 - 1));
  }

  void mark(int cell) {
    if (isEvent[cell]) return;
    isEvent[cell] = 1;
    events.push_back(cell);
  }

  // Reads the row out in runs of one coverage: `out.run(from, to, c)` for
  // cells [from, to) of coverage c, in order, then clears the row.
  template <typename Out>
  bool readOut(Out& out) {
    if (touchedMax < touchedMin) return false;
    std::sort(events.begin(), events.end());
    float run = 0;
    int next = touchedMin;  // the first cell not yet read out
    for (int e : events) {
      if (e > touchedMax) break;
      if (e > next) out.run(next, e, std::clamp(run, 0.0f, 1.0f));
      run += delta[e];
      out.run(e, e + 1, std::clamp(run + area[e], 0.0f, 1.0f));
      area[e] = delta[e] = 0;
      next = e + 1;
    }
    if (touchedMax + 1 > next) out.run(next, touchedMax + 1, std::clamp(run, 0.0f, 1.0f));
    for (int e : events) area[e] = delta[e] = 0, isEvent[e] = 0;
    reset();
    return true;
  }
};

// Coverage as floats, for a row sink.
struct FloatRow {
  float* coverage;
  int first = -1, last = -1;
  void run(int from, int to, float c) {
    if (first < 0) first = from;
    last = to;
    std::fill(coverage + from, coverage + to, c);
  }
};

// Coverage as bytes straight into a mask row, remembering the widest run of
// full coverage.
struct ByteRow {
  uint8_t* out;
  int fullFrom = 0, fullTo = 0;  // the widest so far
  int runFrom = 0, runTo = 0;    // the one being extended
  void run(int from, int to, float c) {
    // The same rounding as a float row scaled to bytes.
    const uint8_t b = static_cast<uint8_t>(c * 255 + 0.5f);
    if (to - from == 1) {
      out[from] = b;
    } else {
      std::memset(out + from, b, size_t(to - from));
    }
    if (b != 255) return;
    if (from == runTo && runTo > runFrom) {
      runTo = to;
    } else {
      runFrom = from, runTo = to;
    }
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

template <typename Emit>
void scanConvert(const std::vector<CGPolygon>& polygons, CGFillRule rule, CGPixelBox box,
                 bool antialias, Emit emit) {
  std::vector<Edge> edges = buildEdges(polygons);
  if (edges.empty()) return;
  RowAccumulator row(box.x0, box.x1);
  std::vector<const Edge*> active;
  // Sub-scanline s's crossings sit at s * active.size(): an edge crosses
  // each sub-scanline at most once, so they never spill into the next.
  std::vector<Crossing> crossingRows;
  size_t counts[kSubScanlines];
  double sampleY[kSubScanlines];
  size_t next = 0;
  const int samples = antialias ? kSubScanlines : 1;
  const float weight = 1.0f / samples;
  auto addSpan = [&](double xa, double xb, float w) {
    if (!antialias) {
      // Whole pixels whose centres fall inside the span.
      xa = std::ceil(xa - 0.5);
      xb = std::ceil(xb - 0.5);
    }
    row.addSpan(xa, xb, w);
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
    const float rowWeight = uniform ? 1.0f : weight;
    // Each edge's crossings, sub-scanline by sub-scanline, go to that
    // sub-scanline's list (the same positions as testing each sub-scanline
    // against every edge, with fewer branches).
    const size_t stride = active.size();
    if (crossingRows.size() < stride * size_t(rowSamples)) {
      crossingRows.resize(stride * size_t(rowSamples));
    }
    for (int s = 0; s < rowSamples; ++s) {
      sampleY[s] = y + (s + 0.5) / rowSamples;
      counts[s] = 0;
    }
    for (const Edge* e : active) {
      int s = 0;
      while (s < rowSamples && !(e->y0 <= sampleY[s])) ++s;
      for (; s < rowSamples && sampleY[s] < e->y1; ++s) {
        crossingRows[size_t(s) * stride + counts[s]++] = {e->x0 + (sampleY[s] - e->y0) * e->dxdy,
                                                          e->dir};
      }
    }
    for (int s = 0; s < rowSamples; ++s) {
      Crossing* crossings = crossingRows.data() + size_t(s) * stride;
      const size_t n = counts[s];
      if (n == 2) {
        // A convex shape's two crossings: inside between them under
        // either rule.
        addSpan(std::min(crossings[0].x, crossings[1].x), std::max(crossings[0].x, crossings[1].x),
                rowWeight);
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
        addSpan(crossings[i].x, crossings[i + 1].x, rowWeight);
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
  bool any = false;
  scanConvert(polygons, rule, box, antialias, [&](int y, RowAccumulator& row) {
    ByteRow out{mask + size_t(y - box.y0) * size_t(stride)};
    if (!row.readOut(out)) return;
    any = true;
    if (fullRuns && out.fullTo > out.fullFrom) {
      (*fullRuns)[size_t(y - box.y0)] = {box.x0 + out.fullFrom, box.x0 + out.fullTo};
    }
  });
  return any;
}
