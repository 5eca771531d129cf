// Length-limited prefix code lengths by package-merge, and the run choice
// that the lengths drive.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "3ppack/encoder.h"

namespace {

// One item of a package-merge list: a symbol of its own or a package of two
// items from the level below.
struct MergeItem {
  uint64_t weight;
  bool is_package;
};

}  // namespace

// Package-merge ("coin collector"): level 1 is the symbols sorted by weight;
// each further level merges the symbols with the pairs of the level below.
// The first 2n-2 items of the top level are the solution: a symbol's code
// length is the number of levels on which it is taken. Since every level is a
// merge of two sorted lists, the items taken on a level are a prefix of the
// symbols and a prefix of the packages, so walking down needs only counts.
// Ties put a symbol before a package and follow the symbol order, which keeps
// the result deterministic.
bool BuildLimitedLengths(const uint64_t* weights, int count, int limit, uint8_t* lengths) {
  if (count < 2 || count > kCodeSymbols || limit < 1 || limit > kMaxCodeLength) return false;
  if (limit < 31 && (1 << limit) < count) return false;

  std::vector<int> order(count);
  for (int i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return weights[a] < weights[b]; });

  // levels[j]: the merged list of level j + 1.
  std::vector<std::vector<MergeItem>> levels(limit);
  for (int i = 0; i < count; ++i) levels[0].push_back({weights[order[i]], false});
  for (int j = 1; j < limit; ++j) {
    const std::vector<MergeItem>& below = levels[j - 1];
    std::vector<MergeItem>& level = levels[j];
    size_t pairs = below.size() / 2;
    size_t s = 0, p = 0;
    while (s < static_cast<size_t>(count) || p < pairs) {
      uint64_t package_weight = p < pairs ? below[2 * p].weight + below[2 * p + 1].weight : 0;
      if (p >= pairs || (s < static_cast<size_t>(count) && weights[order[s]] <= package_weight)) {
        level.push_back({weights[order[s]], false});
        ++s;
      } else {
        level.push_back({package_weight, true});
        ++p;
      }
    }
  }

  for (int i = 0; i < count; ++i) lengths[i] = 0;
  size_t take = 2 * static_cast<size_t>(count) - 2;
  for (int j = limit - 1; j >= 0; --j) {
    const std::vector<MergeItem>& level = levels[j];
    size_t symbols = 0, packages = 0;
    for (size_t i = 0; i < take && i < level.size(); ++i) {
      if (level[i].is_package) ++packages; else ++symbols;
    }
    for (size_t i = 0; i < symbols; ++i) ++lengths[order[i]];
    take = 2 * packages;
  }
  return true;
}

// A run covering x of the repeat copies costs the escape plus one count byte
// per 254 copies; the rest stay literals. Only three covers can be cheapest:
// none, all, or all but the remainder below a multiple of 254 (which saves a
// count byte when those few literals cost less than 8 bits). Ties keep the
// literals, then the full run.
uint64_t ChooseRunCover(uint64_t repeat, unsigned literal_length, unsigned escape_length) {
  if (repeat == 0) return 0;
  uint64_t best_cover = 0;
  uint64_t best_cost = repeat * literal_length;
  uint64_t full_cost = escape_length + 8 * RunCountBytes(repeat);
  if (full_cost < best_cost) {
    best_cover = repeat;
    best_cost = full_cost;
  }
  uint64_t remainder = repeat % 254;
  if (repeat > 254 && remainder != 0) {
    uint64_t cover = repeat - remainder;
    uint64_t cost = escape_length + 8 * RunCountBytes(cover) + remainder * literal_length;
    if (cost < best_cost) best_cover = cover;
  }
  return best_cover;
}
