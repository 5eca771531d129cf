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
// find them 64 bytes at a time. Per word, the first copies of its stretches
// and their last copies are two masks, taken pairwise lowest bit first; a
// stretch still open at the word's end is closed by the first last copy of a
// later word. visit(base, end) is called for each word's bytes
// data[base..end-1] before its stretches are taken (base from 1 on), so that
// a pass can look at the bytes while they are at hand.
template <typename Take, typename Visit>
void ForEachRepeatStretch(const uint8_t* data, uint64_t size, Take take, Visit visit) {
  bool open = false;     // a stretch runs on from a word before
  uint64_t open_at = 0;  // where it began
  uint64_t previous = 0;  // the repeat mask of the word before
  uint64_t mask = size > 1 ? RepeatMask(data, 1, size) : 0;
  for (uint64_t base = 1; base < size; base += 64) {
    visit(base, size - base < 64 ? size : base + 64);
    uint64_t next = size - base > 64 ? RepeatMask(data, base + 64, size) : 0;
    uint64_t firsts = mask & ~((mask << 1) | (previous >> 63));
    uint64_t lasts = mask & ~((mask >> 1) | (next << 63));
    previous = mask;
    mask = next;
    if (open) {
      if (lasts == 0) continue;  // the whole word repeats
      take(open_at, base + std::countr_zero(lasts) + 1);
      lasts &= lasts - 1;
      open = false;
    }
    while (firsts != 0) {
      uint64_t j = base + std::countr_zero(firsts);
      firsts &= firsts - 1;
      if (lasts == 0) {
        open = true;
        open_at = j;
        break;
      }
      take(j, base + std::countr_zero(lasts) + 1);
      lasts &= lasts - 1;
    }
  }
}

template <typename Take>
void ForEachRepeatStretch(const uint8_t* data, uint64_t size, Take take) {
  ForEachRepeatStretch(data, size, take, [](uint64_t, uint64_t) {});
}

// Calls take(j, k) for every stretch of repeat copies data[j..k-1] (as
// ForEachRepeatStretch) that holds shortest (1..8) copies or more, in order.
// Such a stretch shows as shortest set bits in a row of the repeat masks,
// the word before included: bit t of a word's ends is set when the
// shortest copies up to base + t are all repeats. Each long stretch is then
// one row of ends, from its first copy's bit + shortest - 1 to its last
// copy's bit, so the rows' first and last bits are taken pairwise. No row
// comes from the word before: a stretch that reaches a word's end is
// followed to its own end there, and the search goes on after it. Where
// long stretches are rare, this looks at little more than the masks.
template <typename Take>
void ForEachLongRepeatStretch(const uint8_t* data, uint64_t size, int shortest, Take take) {
  uint64_t previous = 0;  // the repeat mask of the 64 bytes before base
  for (uint64_t base = 1; base < size;) {
    uint64_t mask = RepeatMask(data, base, size);
    uint64_t ends = mask;
    for (int s = 1; s < shortest; ++s) ends &= (mask << s) | (previous >> (64 - s));
    previous = mask;
    uint64_t firsts = ends & ~(ends << 1);
    uint64_t lasts = ends & ~(ends >> 1);
    uint64_t next_base = base + 64;
    while (firsts != 0) {
      uint64_t j = base + std::countr_zero(firsts) + 1 - shortest;
      uint64_t k = base + std::countr_zero(lasts) + 1;
      firsts &= firsts - 1;
      lasts &= lasts - 1;
      if (k == base + 64) {  // it may go on into the next word
        while (k < size) {
          int ones = std::countr_one(RepeatMask(data, k, size));
          k += ones;
          if (ones < 64) break;
        }
        take(j, k);
        // data[k] differs from data[k - 1]: no stretch reaches back over k.
        next_base = k;
        previous = 0;
        break;
      }
      take(j, k);
    }
    base = next_base;
  }
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
