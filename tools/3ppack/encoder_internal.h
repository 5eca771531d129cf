// Pieces of the encoder shared by its files (encoder.cpp plans, encoder_emit.cpp
// writes the bits). Not for the tool's other parts.
#pragma once

#include <bit>
#include <cstdint>
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

// The first index j in (from, size) where data[j] equals data[j - 1], or size
// when there is none: where the next group longer than one byte repeats. The
// two passes over the data spend most of their time here on data with few
// repeats, so it compares eight neighbours at once: a zero byte in
// word(j) XOR word(j - 1) marks a repeat, and the lowest one is exact.
inline uint64_t FindNextRepeat(const uint8_t* data, uint64_t from, uint64_t size) {
  uint64_t j = from + 1;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    for (; j + 8 <= size; j += 8) {
      uint64_t here, before;
      memcpy(&here, data + j, 8);
      memcpy(&before, data + j - 1, 8);
      uint64_t x = here ^ before;
      uint64_t zero = (x - kOnes) & ~x & kHighs;
      if (zero != 0) return j + static_cast<uint64_t>(std::countr_zero(zero)) / 8;
    }
  }
  for (; j < size; ++j) {
    if (data[j] == data[j - 1]) return j;
  }
  return size;
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
