// Building the decoder's lookup table from the code table. See lookup_table.h.
#include "archive/lookup_table.h"

#include <cstring>

namespace {

enum Settlement : uint8_t {
  kSettledNone,   // no code can match
  kSettledMatch,  // code_index surely matches, and nothing before it may
  kUndecided,     // a longer code may match first: the candidate list decides
};

struct Slot {
  Settlement settlement;
  bool closed;          // a sure match was seen: later codes cannot matter
  uint16_t code_index;  // kSettledMatch: the row, or kEscapeIndex
};

constexpr int kNoNode = -1;
constexpr int kMaxNodes =
    kMaxRows + 1 + kLookupSize;  // each long code once, one sure match per index

struct BuildState {
  Slot first[kLookupSize];    // the settlement of every value of the index bits
  Slot shorter[kLookupSize];  // the same for 1..kLookupBits-1 known bits, level r at (1 << r) - 2
  int head[kLookupSize];      // candidate list of each undecided index: first node
  int tail[kLookupSize];      // and last node
  uint16_t node_code[kMaxNodes];  // a candidate: row number or kEscapeIndex
  int node_next[kMaxNodes];       // the next candidate of the same index
  int nodes;                      // nodes in use
};

LookupTable g_lookup;
BuildState g_build;

void AppendCandidate(int index, int code_index) {
  int node = g_build.nodes++;
  g_build.node_code[node] = static_cast<uint16_t>(code_index);
  g_build.node_next[node] = kNoNode;
  if (g_build.head[index] == kNoNode) {
    g_build.head[index] = node;
  } else {
    g_build.node_next[g_build.tail[index]] = node;
  }
  g_build.tail[index] = node;
}

// Settles every value of the next known bits (1..kLookupBits) at once, as
// the decoder would with only those bits known: codes are tried in the
// decoder's order, the escape first and then the rows in table order. A
// code no longer than known matches a range of values outright; a longer
// one may match the one value that its first known bits spell. A value is
// settled by its first sure match unless a possible match came before it.
// With lists, each undecided value collects its possible matches in order,
// then its first sure match.
void SettleLevel(const CodeTable& table, int known, Slot* slots, bool lists) {
  int size = 1 << known;
  for (int i = 0; i < size; ++i) slots[i] = Slot{kSettledNone, false, 0};
  int closed = 0;
  for (int i = -1; i < table.symbol_count && closed < size; ++i) {
    int code_index = i < 0 ? kEscapeIndex : i;
    int length = table.lengths[code_index];
    int start = static_cast<int>(table.codes[code_index] >> (32 - known));
    if (length > known) {
      if (slots[start].closed) continue;
      slots[start].settlement = kUndecided;
      if (lists) AppendCandidate(start, code_index);
      continue;
    }
    for (int value = start; value < start + (1 << (known - length)); ++value) {
      Slot& slot = slots[value];
      if (slot.closed) continue;
      slot.closed = true;
      ++closed;
      if (lists && slot.settlement == kUndecided) AppendCandidate(value, code_index);
      if (slot.settlement != kUndecided)
        slot = Slot{kSettledMatch, true, static_cast<uint16_t>(code_index)};
    }
  }
}

// Fills entry with a literal of row and, while the bits after it settle
// further literals, adds those too, up to kMaxLiteralsPerEntry.
void FillLiterals(const CodeTable& table, int index, int row, LookupEntry* entry) {
  entry->kind = kItemLiterals;
  entry->literals = 1;
  entry->first_length = static_cast<uint8_t>(table.lengths[row]);
  entry->bytes[0] = table.symbols[row];
  int used = table.lengths[row];
  for (int n = 1; n < kMaxLiteralsPerEntry; ++n) {
    entry->bytes[n] = entry->bytes[n - 1];
    int rest = kLookupBits - used;
    if (rest <= 0 || entry->literals < n) continue;
    const Slot& next = g_build.shorter[(1 << rest) - 2 + (index & ((1 << rest) - 1))];
    if (next.settlement != kSettledMatch || next.code_index == kEscapeIndex) continue;
    entry->bytes[n] = table.symbols[next.code_index];
    entry->literals = static_cast<uint8_t>(n + 1);
    used += table.lengths[next.code_index];
  }
  entry->length = static_cast<uint8_t>(used);
}

}  // namespace

// Settles every value of the index bits, recording for the undecided ones
// the list of codes that can still match, so the decoder tests only those.
void BuildLookupTable(const CodeTable& table) {
  g_build.nodes = 0;
  for (int i = 0; i < kLookupSize; ++i) g_build.head[i] = kNoNode;
  SettleLevel(table, kLookupBits, g_build.first, true);
  for (int known = 1; known < kLookupBits; ++known) {
    SettleLevel(table, known, g_build.shorter + (1 << known) - 2, false);
  }
  int scan_size = 0;
  for (int index = 0; index < kLookupSize; ++index) {
    const Slot& slot = g_build.first[index];
    LookupEntry entry = {};
    if (slot.settlement == kUndecided) {
      entry.kind = kItemScan;
      g_lookup.scan_start[index] = static_cast<uint16_t>(scan_size);
      for (int node = g_build.head[index]; node != kNoNode; node = g_build.node_next[node]) {
        g_lookup.scan[scan_size++] = g_build.node_code[node];
      }
      g_lookup.scan[scan_size++] = kScanEnd;
    } else if (slot.settlement == kSettledNone) {
      entry.kind = kItemNoMatch;
    } else if (slot.code_index == kEscapeIndex) {
      entry.kind = kItemEscape;
      entry.length = static_cast<uint8_t>(table.lengths[kEscapeIndex]);
    } else {
      FillLiterals(table, index, slot.code_index, &entry);
    }
    g_lookup.entries[index] = entry;
  }
}

void ClearLookupTable() { std::memset(&g_lookup, 0, sizeof g_lookup); }

const LookupTable& CurrentLookupTable() { return g_lookup; }
