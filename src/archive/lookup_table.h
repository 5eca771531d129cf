// The decoder's lookup table: indexed by the next kLookupBits bits of the
// stream, each entry holds the finished item those bits decide (a literal,
// a pair of literals, the escape, or no match), or says that they cannot
// decide it and names the short list of codes that can still match.
//
// Every entry gives the same item as testing the escape first and then the
// rows in table order, first match wins, on any word that starts with the
// entry's bits: the table is a cache of that search, never a different rule.
#pragma once

#include <cstdint>

#include "archive/archive_header.h"

constexpr int kLookupBits = 12;
constexpr int kLookupSize = 1 << kLookupBits;
constexpr uint16_t kScanEnd = 0xFFFF;  // closes each candidate list
// Each row longer than kLookupBits and the escape sit in at most one list;
// each list also holds at most one row that surely matches, and its end mark.
constexpr int kScanListSize = kMaxRows + 1 + 2 * kLookupSize;

constexpr int kMaxLiteralsPerEntry = 3;

enum LookupKind : uint8_t {
  kItemNoMatch,   // no code can match: a decoding failure (an empty table)
  kItemLiterals,  // one to three literals
  kItemEscape,    // the escape code: length bits
  kItemScan,      // undecided: test the candidates from scan_start on
};

// For literals, all of bytes are always stored and literals added to the
// fill index, so one literal or three take the same branch-free path; the
// places after the last literal repeat it.
struct LookupEntry {
  uint8_t kind;                          // a LookupKind
  uint8_t literals;                      // 1..kMaxLiteralsPerEntry (kItemLiterals)
  uint8_t length;                        // bits of all the literals, or of the escape
  uint8_t first_length;                  // bits of the first literal alone
  uint8_t bytes[kMaxLiteralsPerEntry];   // the literals' bytes, in order
  uint8_t unused;
};
static_assert(sizeof(LookupEntry) == 8, "eight entries to a cache line");

struct LookupTable {
  LookupEntry entries[kLookupSize];     // indexed by the next kLookupBits bits
  uint16_t scan_start[kLookupSize];     // kItemScan: where the entry's candidates start in scan
  uint16_t scan[kScanListSize];         // candidate lists: row numbers, kEscapeIndex, kScanEnd
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
  Settled shorter[kLookupSize];  // the same for 1..kLookupBits-1 known bits: r at (1 << r) - 2
  int head[kLookupSize];         // candidate list of each undecided index: first node
  int tail[kLookupSize];         // and last node
  uint16_t node_code[kMaxCandidates];  // a candidate: row number or kEscapeIndex
  int node_next[kMaxCandidates];       // the next candidate of the same index
  int nodes;                           // nodes in use
};

// Builds lookup for code_table, in space. Called by the header parser once
// the table is read.
void BuildLookupTable(const CodeTable& code_table, LookupTable* lookup, LookupBuildSpace* space);
// Empties the table: every entry a decoding failure. The header parser
// calls it when a header is rejected, so no stale table outlives it.
void ClearLookupTable(LookupTable* lookup);
