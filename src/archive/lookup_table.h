// The decoder's lookup table: indexed by the next kLookupBits bits of the
// stream, each entry holds the finished item those bits decide (one to four
// literals, the escape, or no match), or points to a second-level table
// indexed by the bits that follow, for codes longer than the first lookup.
// What neither level decides is found by testing the short list of codes
// that can still match.
//
// Every entry gives the same item as testing the escape first and then the
// rows in table order, first match wins, on any word that starts with the
// entry's bits: the tables are a cache of that search, never a different rule.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "archive/archive_header.h"

constexpr int kLookupBits = 12;
constexpr int kLookupSize = 1 << kLookupBits;
constexpr int kSubBits = 8;            // the most bits a second-level table is indexed by
constexpr int kSubPoolSize = 4096;     // second-level entries of all the tables together
constexpr uint16_t kScanEnd = 0xFFFF;  // closes each candidate list
// Each row longer than kLookupBits and the escape sit in at most one list;
// each list also holds at most one row that surely matches, and its end mark.
constexpr int kScanListSize = kMaxRows + 1 + 2 * kLookupSize;

constexpr int kMaxLiteralsPerEntry = 4;

enum LookupKind : uint8_t {
  kItemNoMatch,   // no code can match: a decoding failure (an empty table)
  kItemLiterals,  // one to four literals
  kItemEscape,    // the escape code
  kItemScan,      // undecided: test the candidates of the first-level index
  kItemSub,       // decided by the second-level table at sub_start
};

// One entry is one 64-bit word (two 32-bit loads on a 32-bit target), so the
// hot loop does one lookup per item and shifts the bit buffer by the entry's
// low byte:
//   byte 0     bits the item takes: all the literals, or the escape (the full
//              code length in a second-level entry)
//   byte 1     number of literals, 0 for the other kinds
//   byte 2     the kind
//   byte 3     bits of the first literal alone
//   bytes 4-7  the literals' bytes, in order; the places after the last
//              literal repeat it, so all four are stored at once and the
//              number of literals is added to the fill index. For kItemSub:
//              bytes 4-5 the second-level table's first entry in the pool,
//              byte 6 the number of bits that index it.
using LookupEntry = uint64_t;
static_assert(std::endian::native == std::endian::little,
              "the hot loop stores an entry's literal bytes as one little-endian word");

// The decoder reads an entry as its two 32-bit halves (the store is
// little-endian: the low half first), so that a 32-bit target holds it in two
// registers and its hot loop keeps no 64-bit value at all.
struct EntryHalves {
  uint32_t low;   // bytes 0-3: length, literals, kind, first length
  uint32_t high;  // bytes 4-7: the literals' bytes, or the second-level table
};
inline EntryHalves ReadEntry(const LookupEntry* entry) {
  EntryHalves halves;
  std::memcpy(&halves, entry, sizeof halves);
  return halves;
}
static_assert(sizeof(EntryHalves) == sizeof(LookupEntry), "an entry is its two halves");

inline int EntryLength(EntryHalves e) { return static_cast<int>(e.low & 0xFF); }
inline int EntryLiterals(EntryHalves e) { return static_cast<int>((e.low >> 8) & 0xFF); }
inline int EntryKind(EntryHalves e) { return static_cast<int>((e.low >> 16) & 0xFF); }
inline int EntryFirstLength(EntryHalves e) { return static_cast<int>(e.low >> 24); }
inline uint8_t EntryByte(EntryHalves e, int n) { return static_cast<uint8_t>(e.high >> (8 * n)); }
inline uint32_t EntryLiteralBytes(EntryHalves e) { return e.high; }
inline int EntrySubStart(EntryHalves e) { return static_cast<int>(e.high & 0xFFFF); }
inline int EntrySubBits(EntryHalves e) { return static_cast<int>((e.high >> 16) & 0xFF); }

struct LookupTable {
  LookupEntry entries[kLookupSize];  // indexed by the next kLookupBits bits
  LookupEntry sub[kSubPoolSize];     // the second-level tables, one after another
  uint16_t scan_start[kLookupSize];  // where each undecided index's candidates start in scan
  uint16_t scan[kScanListSize];      // candidate lists: row numbers, kEscapeIndex, kScanEnd
};

// ---- building the table ----

enum Settlement : uint8_t {
  kSettledNone,   // no code can match
  kSettledMatch,  // code_index surely matches, and nothing before it may
  kUndecided,     // a longer code may match first: the candidate list decides
};

struct Settled {
  Settlement settlement;
  bool closed;          // a sure match was seen: later codes cannot matter
  uint16_t code_index;  // kSettledMatch: the row, or kEscapeIndex
};

// Each long code once, one sure match per index.
constexpr int kMaxCandidates = kMaxRows + 1 + kLookupSize;

// The builder's working space: kept with the table's owner so that building
// needs neither a large stack frame nor memory of its own.
struct LookupBuildSpace {
  Settled first[kLookupSize];    // the settlement of every value of the index bits
  Settled first_sub[1 << kSubBits];  // the same for one second-level table's values
  Settled shorter[kLookupSize];  // the same for 1..kLookupBits-1 known bits: r at (1 << r) - 2
  int head[kLookupSize];         // candidate list of each undecided index: first node
  int tail[kLookupSize];         // and last node
  uint16_t node_code[kMaxCandidates];  // a candidate: row number or kEscapeIndex
  int node_next[kMaxCandidates];       // the next candidate of the same index
  int nodes;                           // nodes in use
};

// Builds lookup for code_table, in space. Called by the header parser once
// the table is read. The work is bounded whatever the table holds: each level
// settles every index value once per code at most, and the second-level
// tables together never exceed kSubPoolSize entries.
void BuildLookupTable(const CodeTable& code_table, LookupTable* lookup, LookupBuildSpace* space);
// Empties the table: every entry a decoding failure. The header parser
// calls it when a header is rejected, so no stale table outlives it.
void ClearLookupTable(LookupTable* lookup);
