// Pieces of the encoder shared by its files (encoder.cpp plans, encoder_emit.cpp
// writes the bits). Not for the tool's other parts.
#pragma once

#include <bit>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>
#include <string>
#include <vector>

#include "3ppack/encoder.h"

// A byte and a repeat count, with how many groups of the input have it: a
// group is a maximal stretch of one byte within an entry; its first byte is
// always a literal and the repeat copies after it may go into a run.
struct RepeatGroup {
  uint8_t byte;
  uint64_t repeat;   // copies after the group's first byte, >= 1
  uint64_t groups;   // how many groups have this byte and repeat
};

struct GroupStats {
  uint64_t groups[256];              // groups per byte value (each one literal at least)
  std::vector<RepeatGroup> repeats;  // groups longer than one byte
};

// Per symbol (256 bytes, then the escape): how often it is coded, and the run
// count bytes that go with the runs.
struct SymbolPlan {
  uint64_t frequency[kCodeSymbols];
  uint64_t count_bytes;
};

// Bit t of the result is set when data[base + t] equals data[base + t - 1],
// for base + t below size (base >= 1): where the repeat copies lie.
inline uint64_t RepeatMask(const uint8_t* data, uint64_t base, uint64_t size) {
  uint64_t mask = 0;
  if (base + 64 <= size) {
#if defined(__SSE2__)
    for (int part = 0; part < 4; ++part) {
      const uint8_t* at = data + base + 16 * part;
      __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at - 1));
      uint64_t equal = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before)));
      mask |= equal << (16 * part);
    }
    return mask;
#endif
  }
  uint64_t end = size - base < 64 ? size - base : 64;
  for (uint64_t t = 0; t < end; ++t) {
    if (data[base + t] == data[base + t - 1]) mask |= uint64_t{1} << t;
  }
  return mask;
}

// Calls take(j, k) for every stretch of repeat copies in data, in order:
// data[j..k-1] all equal data[j - 1], and neither neighbour of the stretch
// does. Both passes over the data walk the groups this way: the repeat masks
// find them 64 bytes at a time, with few branches that depend on the data.
template <typename Take>
void ForEachRepeatStretch(const uint8_t* data, uint64_t size, Take take) {
  bool open = false;     // a stretch runs on from the mask before
  uint64_t open_at = 0;  // where it began
  for (uint64_t base = 1; base < size; base += 64) {
    uint64_t mask = RepeatMask(data, base, size);
    if (open) {
      int ones = std::countr_one(mask);
      if (ones == 64) continue;
      take(open_at, base + ones);
      open = false;
      mask &= ~uint64_t{0} << ones;
    }
    while (mask != 0) {
      int start = std::countr_zero(mask);
      int length = std::countr_one(mask >> start);
      if (start + length == 64) {
        open = true;
        open_at = base + start;
        break;
      }
      take(base + start, base + start + length);
      mask &= ~uint64_t{0} << (start + length);
    }
  }
  if (open) take(open_at, size);
}

// Fills stats from every entry's data.
void CollectGroups(const std::vector<PackEntry>& entries, GroupStats* stats);

// Counts what the data costs when each group takes its cheapest run under
// lengths (lengths[256] is the escape's).
void PlanSymbols(const GroupStats& stats, const uint8_t* lengths, SymbolPlan* plan);

// Canonical codes for lengths (0 = no code): codes[s] holds symbol s's code
// right-aligned; rows receives the byte symbols with a code, shortest code
// first, then by byte value.
void AssignCanonicalCodes(const uint8_t* lengths, uint32_t* codes, std::vector<int>* rows);

// Writes the archive with the given lengths into result (bytes, entry_bits,
// total_bits, header_bits). planned_bits is the exact total, used to size
// the output once.
void EmitArchive(const std::string& version, const std::vector<PackEntry>& entries,
                 const uint8_t* lengths, uint64_t planned_bits, PackResult* result);
