#pragma once

// Keeps a file mapping from killing the process when another process cuts
// the file short while it is read (a program rewriting it in place, a shell
// redirection over it): touching a page past the file's new end raises
// SIGBUS. A process-wide handler, installed with the first watched mapping
// and chaining to the handler it found, maps zeros over the rest of a
// watched mapping from the faulting page on and marks it cut short, so the
// read goes on over zeros; whoever decodes from the mapping asks afterwards
// and throws away what it made. A SIGBUS anywhere else goes where it went
// before (the handler found, or the default: the process dies).
//
// The watched ranges live in a fixed table of atomics the handler reads
// while other threads add and remove ranges.

#include <cstddef>
#include <cstdint>

struct MappedRange {
  size_t slot = 0;
  uint64_t generation = 0;  // 0: not watched
};

// How many mappings can be watched at once.
inline constexpr size_t kMappedRangeSlots = 1024;

// Watches [data, data + size), a mapping just made; false when the handler
// cannot be installed or every slot is taken (read the file instead).
bool MappedRangeWatch(const void* data, size_t size, MappedRange& range);
// Stops watching; before the range is unmapped.
void MappedRangeUnwatch(MappedRange& range);
// Whether a read of the range has gone past the file's end.
bool MappedRangeCutShort(const MappedRange& range);
