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

// Fills entry with a literal of row and, while the bits after it settle
// further literals, adds those too, up to kMaxLiteralsPerEntry.
void FillLiterals(const CodeTable& table, const LookupBuildSpace& space, int index, int row,
                  LookupEntry* entry) {
  entry->kind = kItemLiterals;
  entry->literals = 1;
  entry->first_length = static_cast<uint8_t>(table.lengths[row]);
  entry->bytes[0] = table.symbols[row];
  int used = table.lengths[row];
  for (int n = 1; n < kMaxLiteralsPerEntry; ++n) {
    entry->bytes[n] = entry->bytes[n - 1];
    int rest = kLookupBits - used;
    if (rest <= 0 || entry->literals < n) continue;
    const Settled& next = space.shorter[(1 << rest) - 2 + (index & ((1 << rest) - 1))];
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
void BuildLookupTable(const CodeTable& table, LookupTable* lookup, LookupBuildSpace* space) {
  space->nodes = 0;
  for (int i = 0; i < kLookupSize; ++i) space->head[i] = kNoNode;
  SettleLevel(table, kLookupBits, space->first, space);
  for (int known = 1; known < kLookupBits; ++known) {
    SettleLevel(table, known, space->shorter + (1 << known) - 2, nullptr);
  }
  int scan_size = 0;
  for (int index = 0; index < kLookupSize; ++index) {
    const Settled& slot = space->first[index];
    LookupEntry entry = {};
    if (slot.settlement == kUndecided) {
      entry.kind = kItemScan;
      lookup->scan_start[index] = static_cast<uint16_t>(scan_size);
      for (int node = space->head[index]; node != kNoNode; node = space->node_next[node]) {
        lookup->scan[scan_size++] = space->node_code[node];
      }
      lookup->scan[scan_size++] = kScanEnd;
    } else if (slot.settlement == kSettledNone) {
      entry.kind = kItemNoMatch;
    } else if (slot.code_index == kEscapeIndex) {
      entry.kind = kItemEscape;
      entry.length = static_cast<uint8_t>(table.lengths[kEscapeIndex]);
    } else {
      FillLiterals(table, *space, index, slot.code_index, &entry);
    }
    lookup->entries[index] = entry;
  }
}

void ClearLookupTable(LookupTable* lookup) { std::memset(lookup, 0, sizeof *lookup); }
