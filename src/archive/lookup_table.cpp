// Building the decoder's lookup table from the code table. See lookup_table.h.
#include "archive/lookup_table.h"

#include <cstring>

namespace {

constexpr int kNoNode = -1;

void AppendCandidate(LookupBuildSpace* space, int index, int code_index) {
  int node = space->nodes++;
  space->node_code[node] = static_cast<uint16_t>(code_index);
  space->node_next[node] = kNoNode;
  if (space->head[index] == kNoNode) {
    space->head[index] = node;
  } else {
    space->node_next[space->tail[index]] = node;
  }
  space->tail[index] = node;
}

// Settles every value of the next known bits (1..kLookupBits) at once, as
// the decoder would with only those bits known: codes are tried in the
// decoder's order, the escape first and then the rows in table order. A
// code no longer than known matches a range of values outright; a longer
// one may match the one value that its first known bits spell. A value is
// settled by its first sure match unless a possible match came before it.
// With lists (the build space; nullptr for none), each undecided value
// collects its possible matches in order, then its first sure match.
void SettleLevel(const CodeTable& table, int known, Settled* slots, LookupBuildSpace* lists) {
  int size = 1 << known;
  for (int i = 0; i < size; ++i) slots[i] = Settled{kSettledNone, false, 0};
  int closed = 0;
  for (int i = -1; i < table.symbol_count && closed < size; ++i) {
    int code_index = i < 0 ? kEscapeIndex : i;
    int length = table.lengths[code_index];
    int start = static_cast<int>(table.codes[code_index] >> (32 - known));
    if (length > known) {
      if (slots[start].closed) continue;
      slots[start].settlement = kUndecided;
      if (lists != nullptr) AppendCandidate(lists, start, code_index);
      continue;
    }
    for (int value = start; value < start + (1 << (known - length)); ++value) {
      Settled& slot = slots[value];
      if (slot.closed) continue;
      slot.closed = true;
      ++closed;
      if (lists != nullptr && slot.settlement == kUndecided) {
        AppendCandidate(lists, value, code_index);
      }
      if (slot.settlement != kUndecided)
        slot = Settled{kSettledMatch, true, static_cast<uint16_t>(code_index)};
    }
  }
}

LookupEntry MakeEntry(int length, int literals, int kind, int first_length, uint32_t bytes) {
  return static_cast<LookupEntry>(length) | static_cast<LookupEntry>(literals) << 8 |
         static_cast<LookupEntry>(kind) << 16 | static_cast<LookupEntry>(first_length) << 24 |
         static_cast<LookupEntry>(bytes) << 32;
}

// The entry of one decided code: a single literal, or the escape.
LookupEntry DecidedEntry(const CodeTable& table, int code_index) {
  int length = table.lengths[code_index];
  if (code_index == kEscapeIndex) return MakeEntry(length, 0, kItemEscape, 0, 0);
  return MakeEntry(length, 1, kItemLiterals, length, table.symbols[code_index] * 0x01010101u);
}

// The entry for index whose first code is row: that literal and, while the
// bits after it settle further literals, those too, up to
// kMaxLiteralsPerEntry.
LookupEntry LiteralsEntry(const CodeTable& table, const LookupBuildSpace& space, int index,
                          int row) {
  int used = table.lengths[row];
  int literals = 1;
  uint8_t bytes[kMaxLiteralsPerEntry];
  bytes[0] = table.symbols[row];
  for (int n = 1; n < kMaxLiteralsPerEntry; ++n) {
    bytes[n] = bytes[n - 1];
    int rest = kLookupBits - used;
    if (rest <= 0 || literals < n) continue;
    const Settled& next = space.shorter[(1 << rest) - 2 + (index & ((1 << rest) - 1))];
    if (next.settlement != kSettledMatch || next.code_index == kEscapeIndex) continue;
    bytes[n] = table.symbols[next.code_index];
    literals = n + 1;
    used += table.lengths[next.code_index];
  }
  uint32_t packed = 0;
  for (int n = kMaxLiteralsPerEntry - 1; n >= 0; --n) packed = packed << 8 | bytes[n];
  return MakeEntry(used, literals, kItemLiterals, table.lengths[row], packed);
}

// Fills the second-level table of the undecided index from its candidate
// list (in the decoder's order, closed by kScanEnd): every value of the sub
// bits after the index bits is settled as SettleLevel settles a level, with
// the index bits and the sub bits known. A value that a longer code may
// still match before any sure match is left to the candidate list (kItemScan).
void BuildSubTable(const CodeTable& table, const uint16_t* list, int bits, LookupEntry* sub,
                   LookupBuildSpace* space) {
  int size = 1 << bits;
  int known = kLookupBits + bits;
  for (int v = 0; v < size; ++v) {
    space->first_sub[v] = Settled{kSettledNone, false, 0};
  }
  for (; *list != kScanEnd; ++list) {
    int code_index = *list;
    int length = table.lengths[code_index];
    int start = 0, count = size;
    if (length > kLookupBits) {
      int shown = length < known ? length : known;  // code bits the index and sub bits show
      start = static_cast<int>(table.codes[code_index] >> (32 - known)) & (size - 1);
      count = 1 << (known - shown);
    }
    for (int v = start; v < start + count; ++v) {
      Settled& slot = space->first_sub[v];
      if (slot.closed) continue;
      if (length > known) {
        slot.settlement = kUndecided;
        continue;
      }
      slot.closed = true;
      if (slot.settlement != kUndecided)
        slot = Settled{kSettledMatch, true, static_cast<uint16_t>(code_index)};
    }
  }
  for (int v = 0; v < size; ++v) {
    const Settled& slot = space->first_sub[v];
    sub[v] = slot.settlement == kUndecided ? MakeEntry(0, 0, kItemScan, 0, 0)
             : slot.settlement == kSettledNone ? MakeEntry(0, 0, kItemNoMatch, 0, 0)
                                               : DecidedEntry(table, slot.code_index);
  }
}

// The bits a second-level table for list needs: enough for its longest
// code, at most kSubBits.
int SubBitsFor(const CodeTable& table, const uint16_t* list) {
  int longest = kLookupBits;
  for (; *list != kScanEnd; ++list) {
    if (table.lengths[*list] > longest) longest = table.lengths[*list];
  }
  int bits = longest - kLookupBits;
  return bits < kSubBits ? bits : kSubBits;
}

}  // namespace

// Settles every value of the index bits, recording for the undecided ones
// the list of codes that can still match, and, while the pool has room, a
// second-level table that settles the bits after them.
void BuildLookupTable(const CodeTable& table, LookupTable* lookup, LookupBuildSpace* space) {
  space->nodes = 0;
  for (int i = 0; i < kLookupSize; ++i) space->head[i] = kNoNode;
  SettleLevel(table, kLookupBits, space->first, space);
  for (int known = 1; known < kLookupBits; ++known) {
    SettleLevel(table, known, space->shorter + (1 << known) - 2, nullptr);
  }
  int scan_size = 0;
  int sub_size = 0;
  for (int index = 0; index < kLookupSize; ++index) {
    const Settled& slot = space->first[index];
    LookupEntry entry;
    if (slot.settlement == kUndecided) {
      const uint16_t* list = lookup->scan + scan_size;
      lookup->scan_start[index] = static_cast<uint16_t>(scan_size);
      for (int node = space->head[index]; node != kNoNode; node = space->node_next[node]) {
        lookup->scan[scan_size++] = space->node_code[node];
      }
      lookup->scan[scan_size++] = kScanEnd;
      int bits = SubBitsFor(table, list);
      entry = MakeEntry(0, 0, kItemScan, 0, 0);
      if (sub_size + (1 << bits) <= kSubPoolSize) {
        BuildSubTable(table, list, bits, lookup->sub + sub_size, space);
        entry = MakeEntry(0, 0, kItemSub, 0, static_cast<uint32_t>(sub_size)) |
                static_cast<LookupEntry>(bits) << 48;
        sub_size += 1 << bits;
      }
    } else if (slot.settlement == kSettledNone) {
      entry = MakeEntry(0, 0, kItemNoMatch, 0, 0);
    } else if (slot.code_index == kEscapeIndex) {
      entry = DecidedEntry(table, kEscapeIndex);
    } else {
      entry = LiteralsEntry(table, *space, index, slot.code_index);
    }
    lookup->entries[index] = entry;
  }
}

void ClearLookupTable(LookupTable* lookup) { std::memset(lookup, 0, sizeof *lookup); }
