// The encoder's plan: the groups of repeated bytes, the run choice under a
// set of code lengths, and the refinement of lengths and runs in turn.
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "3ppack/encoder.h"
#include "3ppack/encoder_internal.h"

namespace {

// Repeats shorter than this are counted in a table, longer ones in a list:
// long groups are rare (at most one per kShortRepeat input bytes).
constexpr uint64_t kShortRepeat = 1024;

// Bits of everything but the data items and the code bits: the fixed parts
// of the header, the rows' symbol and length bytes, the version string, the
// entry records' fields.
uint64_t FixedBits(const std::string& version, const std::vector<PackEntry>& entries, int rows) {
  uint64_t bits = 8 + 8 + 16ull * rows + 8 + 8ull * version.size() + 8;
  for (const PackEntry& e : entries) bits += kEntryFixedBits + 8ull * e.name.size();
  return bits;
}

// The whole archive in bits under lengths for the symbol counts of plan.
uint64_t PlannedBits(const SymbolPlan& plan, const uint8_t* lengths, uint64_t fixed_bits) {
  uint64_t bits = fixed_bits + 8 * plan.count_bytes;
  for (int s = 0; s < kCodeSymbols; ++s) {
    if (lengths[s] != 0) bits += (plan.frequency[s] + 1) * lengths[s];  // + 1: the code in the table
  }
  return bits;
}

// Lengths for the symbols in use (rows plus the escape). Each symbol weighs
// its frequency plus one, since its code is also stored once in the table:
// so the lengths minimise data and table bits together.
bool LengthsFor(const SymbolPlan& plan, const bool* in_table, int limit, uint8_t* lengths) {
  uint64_t weights[kCodeSymbols];
  int symbols[kCodeSymbols];
  int count = 0;
  for (int s = 0; s < kCodeSymbols; ++s) {
    if (!in_table[s]) continue;
    weights[count] = plan.frequency[s] + 1;
    symbols[count++] = s;
  }
  uint8_t chosen[kCodeSymbols];
  if (!BuildLimitedLengths(weights, count, limit, chosen)) return false;
  memset(lengths, 0, kCodeSymbols);
  for (int i = 0; i < count; ++i) lengths[symbols[i]] = chosen[i];
  return true;
}

}  // namespace

// One pass over the data; a group ends where the byte changes or the entry
// ends, since every entry's data starts with a literal. Every byte is counted
// in a histogram (four of them, so that equal neighbours do not wait on each
// other's increments) in the same walk that finds the repeat copies; the
// copies are then taken off, which leaves one count per group.
void CollectGroups(const std::vector<PackEntry>& entries, GroupStats* stats) {
  stats->repeats.clear();
  std::vector<uint64_t> short_counts(256 * kShortRepeat, 0);
  uint64_t histogram[4][256] = {};
  uint64_t copies[256] = {};
  for (const PackEntry& e : entries) {
    const uint8_t* data = e.data;
    uint64_t size = e.size;
    if (size != 0) ++histogram[0][data[0]];
    auto count_bytes = [&](uint64_t i, uint64_t end) {
      for (; i + 4 <= end; i += 4) {
        ++histogram[0][data[i]];
        ++histogram[1][data[i + 1]];
        ++histogram[2][data[i + 2]];
        ++histogram[3][data[i + 3]];
      }
      for (; i < end; ++i) ++histogram[0][data[i]];
    };
    auto take = [&](uint64_t j, uint64_t k) {
      uint8_t b = data[j];
      uint64_t repeat = k - j;  // copies after the group's first byte, data[j - 1]
      copies[b] += repeat;
      if (repeat >= kShortRepeat) {
        stats->repeats.push_back({b, repeat, 1});
      } else {
        ++short_counts[b * kShortRepeat + repeat];
      }
    };
    ForEachRepeatStretch(data, size, take, count_bytes);
  }
  for (int b = 0; b < 256; ++b) {
    stats->groups[b] = histogram[0][b] + histogram[1][b] + histogram[2][b] + histogram[3][b] - copies[b];
    for (uint64_t r = 1; r < kShortRepeat; ++r) {
      uint64_t n = short_counts[b * kShortRepeat + r];
      if (n != 0) stats->repeats.push_back({static_cast<uint8_t>(b), r, n});
    }
  }
}

void PlanSymbols(const GroupStats& stats, const uint8_t* lengths, SymbolPlan* plan) {
  memset(plan, 0, sizeof(*plan));
  for (int b = 0; b < 256; ++b) plan->frequency[b] = stats.groups[b];
  for (const RepeatGroup& g : stats.repeats) {
    uint64_t cover = ChooseRunCover(g.repeat, lengths[g.byte], lengths[kEscapeIndex]);
    plan->frequency[g.byte] += g.groups * (g.repeat - cover);
    if (cover != 0) {
      plan->frequency[kEscapeIndex] += g.groups;
      plan->count_bytes += g.groups * RunCountBytes(cover);
    }
  }
}

// Checks the limits, then alternates: runs chosen under the current lengths,
// lengths made optimal for the resulting counts. Neither step can raise the
// total, so the loop ends when a round no longer lowers it; the best lengths
// are then emitted with their own run choice.
bool EncodeArchive(const std::string& version, const std::vector<PackEntry>& entries,
                   int length_limit, PackResult* result, std::string* error) {
  if (version.size() > static_cast<size_t>(kMaxTextLength)) {
    *error = "the version is longer than 255 bytes";
    return false;
  }
  if (entries.size() > static_cast<size_t>(kMaxEntries)) {
    *error = "more than 255 entries";
    return false;
  }
  for (const PackEntry& e : entries) {
    if (e.name.empty() || e.name.size() > static_cast<size_t>(kMaxTextLength)) {
      *error = "entry name '" + e.name + "' is empty or longer than 255 bytes";
      return false;
    }
    if (e.size > kPackMaxEntrySize) {
      *error = "entry '" + e.name + "' is 4 GiB or larger";
      return false;
    }
  }
  if (length_limit < 1 || length_limit > kMaxCodeLength) {
    *error = "the code length limit must be 1 to 32";
    return false;
  }

  GroupStats stats;
  CollectGroups(entries, &stats);
  bool in_table[kCodeSymbols] = {};
  int rows = 0;
  for (int b = 0; b < 256; ++b) {
    in_table[b] = stats.groups[b] != 0;
    rows += in_table[b] ? 1 : 0;
  }
  if (rows == 0) {  // only empty entries: the table still needs one row
    in_table[0] = true;
    rows = 1;
  }
  in_table[kEscapeIndex] = true;
  if (length_limit < 31 && (1 << length_limit) < rows + 1) {
    *error = "the code length limit " + std::to_string(length_limit) + " is too small for " +
             std::to_string(rows + 1) + " codes";
    return false;
  }
  uint64_t fixed_bits = FixedBits(version, entries, rows);

  // Start from flat 8-bit codes: runs of three or more are worth taking.
  uint8_t current[kCodeSymbols];
  for (int s = 0; s < kCodeSymbols; ++s) current[s] = in_table[s] ? 8 : 0;
  uint8_t best[kCodeSymbols];
  uint64_t best_bits = UINT64_MAX;
  SymbolPlan plan;
  int rounds = 0;
  for (; rounds < 64; ++rounds) {
    PlanSymbols(stats, current, &plan);
    uint8_t next[kCodeSymbols];
    LengthsFor(plan, in_table, length_limit, next);
    SymbolPlan next_plan;
    PlanSymbols(stats, next, &next_plan);
    uint64_t bits = PlannedBits(next_plan, next, fixed_bits);
    if (bits >= best_bits) break;
    best_bits = bits;
    memcpy(best, next, sizeof(best));
    memcpy(current, next, sizeof(current));
  }

  memcpy(result->lengths, best, sizeof(best));
  result->rows = rows;
  result->iterations = rounds + 1;
  result->planned_bits = best_bits;
  EmitArchive(version, entries, best, best_bits, result);
  if (result->total_bits != best_bits) {  // the emitter and the plan disagree: a bug
    *error = "internal error: the archive came out at " + std::to_string(result->total_bits) +
             " bits, planned " + std::to_string(best_bits);
    return false;
  }
  return true;
}
