#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> gLive{0};
std::atomic<size_t> gPeak{0};
std::atomic<size_t> gTotal{0};

// Each block carries its size in front, one alignment unit wide.
constexpr size_t kHeader = alignof(std::max_align_t);

void* Allocate(size_t size, size_t align) {
  const size_t header = align > kHeader ? align : kHeader;
  const size_t total = (size + header + header - 1) / header * header;
  void* base = std::aligned_alloc(header, total);
  if (!base) throw std::bad_alloc();
  auto* p = static_cast<unsigned char*>(base) + header;
  reinterpret_cast<size_t*>(p)[-1] = size;
  gTotal.fetch_add(size);
  const size_t live = gLive.fetch_add(size) + size;
  size_t peak = gPeak.load();
  while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void Release(void* p, size_t align) {
  if (!p) return;
  const size_t header = align > kHeader ? align : kHeader;
  auto* bytes = static_cast<unsigned char*>(p);
  gLive.fetch_sub(reinterpret_cast<size_t*>(bytes)[-1]);
  std::free(bytes - header);
}

}  // namespace

void* operator new(size_t size) { return Allocate(size, kHeader); }
void* operator new[](size_t size) { return Allocate(size, kHeader); }
void* operator new(size_t size, std::align_val_t a) { return Allocate(size, size_t(a)); }
void* operator new[](size_t size, std::align_val_t a) { return Allocate(size, size_t(a)); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size, kHeader);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { Release(p, kHeader); }
void operator delete[](void* p) noexcept { Release(p, kHeader); }
void operator delete(void* p, size_t) noexcept { Release(p, kHeader); }
void operator delete[](void* p, size_t) noexcept { Release(p, kHeader); }
void operator delete(void* p, std::align_val_t a) noexcept { Release(p, size_t(a)); }
void operator delete[](void* p, std::align_val_t a) noexcept { Release(p, size_t(a)); }
void operator delete(void* p, size_t, std::align_val_t a) noexcept { Release(p, size_t(a)); }
void operator delete[](void* p, size_t, std::align_val_t a) noexcept { Release(p, size_t(a)); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p, kHeader); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p, kHeader); }

namespace imageio_test {

AllocationCounter::AllocationCounter() : baseline_(gLive.load()), totalBaseline_(gTotal.load()) {
  gPeak.store(baseline_);
}

size_t AllocationCounter::allocatedBytes() const { return gTotal.load() - totalBaseline_; }

size_t AllocationCounter::peakBytes() const {
  const size_t peak = gPeak.load();
  return peak > baseline_ ? peak - baseline_ : 0;
}

}  // namespace imageio_test
