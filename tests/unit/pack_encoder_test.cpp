// The archive tool's encoder: optimal code lengths, the cheapest runs, and
// archives that the updater's own decoder reads back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "3ppack/encoder.h"
#include "3ppack/encoder_internal.h"
#include "support/archive_walk.h"

namespace {

// Plain Huffman: the cost sum(weight * length) of an optimal prefix code
// with no length limit, and its longest code.
uint64_t HuffmanCost(const std::vector<uint64_t>& weights, int* longest) {
  using Node = std::pair<uint64_t, int>;  // weight, depth of its deepest leaf
  std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
  for (uint64_t w : weights) queue.push({w, 0});
  uint64_t cost = 0;
  *longest = 0;
  while (queue.size() > 1) {
    Node a = queue.top(); queue.pop();
    Node b = queue.top(); queue.pop();
    cost += a.first + b.first;
    int depth = std::max(a.second, b.second) + 1;
    *longest = std::max(*longest, depth);
    queue.push({a.first + b.first, depth});
  }
  return cost;
}

double KraftSum(const uint8_t* lengths, int count) {
  double sum = 0;
  for (int i = 0; i < count; ++i) sum += std::ldexp(1.0, -lengths[i]);
  return sum;
}

PackEntry Entry(const std::string& name, const std::vector<uint8_t>& data, char kind = 'I',
                int32_t time = 900000000) {
  return PackEntry{name, time, static_cast<uint8_t>(kind), data.data(), data.size()};
}

// Encodes, decodes and compares everything; returns the result.
PackResult RoundTrip(const std::vector<std::vector<uint8_t>>& files, int limit = 32) {
  std::vector<PackEntry> entries;
  for (size_t i = 0; i < files.size(); ++i) {
    entries.push_back(Entry("f" + std::to_string(i), files[i], "BISWbisw"[i % 8],
                            static_cast<int32_t>(i) - 5));
  }
  PackResult result;
  std::string error;
  EXPECT_TRUE(EncodeArchive("9.87", entries, limit, &result, &error)) << error;
  EXPECT_EQ((result.total_bits + 7) / 8, result.bytes.size());
  EXPECT_EQ(result.total_bits, result.planned_bits);
  for (int s = 0; s < kCodeSymbols; ++s) EXPECT_LE(result.lengths[s], limit);
  // Read back with the updater's reader and decoder.
  static ArchiveReader reader;
  WalkRecord walk = WalkArchive(&reader, result.bytes, DecodeEntryData, {{UINT64_MAX}});
  EXPECT_STREQ(reader.header.version, "9.87");
  EXPECT_EQ(walk.entries.size(), files.size());
  for (size_t i = 0; i < files.size() && i < walk.entries.size(); ++i) {
    const DecodeRecord& entry = walk.entries[i];
    EXPECT_EQ(entry.result, kDecodeDone) << "entry " << i;
    EXPECT_EQ(entry.bytes, files[i]) << "entry " << i;
    EXPECT_EQ(entry.header.size, files[i].size());
    EXPECT_EQ(entry.header.kind, static_cast<uint8_t>("BISWbisw"[i % 8]));
    EXPECT_EQ(entry.header.modification_time, static_cast<int32_t>(i) - 5);
  }
  return result;
}

std::vector<uint8_t> Repeat(uint8_t byte, size_t count) { return std::vector<uint8_t>(count, byte); }

TEST(PackLengths, MatchHuffmanWhenTheLimitDoesNotBind) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    int count = 2 + static_cast<int>(random() % 256);
    std::vector<uint64_t> weights(count);
    for (uint64_t& w : weights) w = random() % (round % 2 ? 5 : 100000);
    int longest = 0;
    uint64_t optimum = HuffmanCost(weights, &longest);
    if (longest > 32) continue;
    uint8_t lengths[kCodeSymbols];
    ASSERT_TRUE(BuildLimitedLengths(weights.data(), count, 32, lengths));
    uint64_t cost = 0;
    for (int i = 0; i < count; ++i) cost += weights[i] * lengths[i];
    EXPECT_EQ(cost, optimum) << "round " << round;
    EXPECT_DOUBLE_EQ(KraftSum(lengths, count), 1.0);
  }
}

TEST(PackLengths, StayWithinTheLimitAndComplete) {
  // Fibonacci weights want a code as deep as there are symbols.
  std::vector<uint64_t> weights = {1, 1};
  while (weights.size() < 40) weights.push_back(weights[weights.size() - 1] + weights[weights.size() - 2]);
  for (int limit : {6, 9, 16, 32}) {
    uint8_t lengths[kCodeSymbols];
    ASSERT_TRUE(BuildLimitedLengths(weights.data(), 40, limit, lengths));
    EXPECT_LE(*std::max_element(lengths, lengths + 40), limit);
    EXPECT_DOUBLE_EQ(KraftSum(lengths, 40), 1.0);
  }
  uint8_t lengths[kCodeSymbols];
  EXPECT_FALSE(BuildLimitedLengths(weights.data(), 40, 5, lengths));  // 40 codes need 6 bits
  // Exhaustive check on small sets: no length-limited assignment is cheaper.
  std::vector<uint64_t> small = {1, 1, 2, 3, 5, 8, 13};
  ASSERT_TRUE(BuildLimitedLengths(small.data(), 7, 4, lengths));
  uint64_t cost = 0;
  for (int i = 0; i < 7; ++i) cost += small[i] * lengths[i];
  uint64_t best = UINT64_MAX;
  for (int code = 0; code < 1 << 14; ++code) {  // every choice of lengths 1..4
    double kraft = 0;
    uint64_t c = 0;
    for (int i = 0; i < 7; ++i) {
      int l = ((code >> (2 * i)) & 3) + 1;
      kraft += std::ldexp(1.0, -l);
      c += small[i] * l;
    }
    if (kraft <= 1.0) best = std::min(best, c);
  }
  EXPECT_EQ(cost, best);
}

// Exhaustive: the cheapest mix of literals and runs (any number, any count)
// for repeat copies, against the three candidates the encoder considers.
TEST(PackRuns, CoverIsTheCheapestOfAllMixes) {
  for (unsigned literal : {1u, 2u, 5u, 8u, 15u}) {
    for (unsigned escape : {1u, 3u, 9u, 20u}) {
      std::vector<uint64_t> best(800, 0);
      for (size_t r = 1; r < best.size(); ++r) {
        best[r] = best[r - 1] + literal;
        for (size_t run = 1; run <= r; ++run) {
          best[r] = std::min(best[r], best[r - run] + escape + 8 * RunCountBytes(run));
        }
      }
      for (uint64_t r = 1; r < best.size(); ++r) {
        uint64_t cover = ChooseRunCover(r, literal, escape);
        uint64_t cost = (r - cover) * literal + (cover ? escape + 8 * RunCountBytes(cover) : 0);
        ASSERT_EQ(cost, best[r]) << "repeat " << r << " literal " << literal << " escape " << escape;
      }
    }
  }
  EXPECT_EQ(RunCountBytes(254), 1u);
  EXPECT_EQ(RunCountBytes(255), 2u);
  EXPECT_EQ(RunCountBytes(508), 2u);
  EXPECT_EQ(RunCountBytes(509), 3u);
}

// The mask walks against a byte loop, with stretches at every offset of the
// 64-byte masks, across their boundaries and up to the end.
TEST(PackRuns, RepeatStretchesAreFoundAtEveryOffset) {
  std::mt19937 random(9);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> data(1 + random() % 300);
    for (size_t i = 0; i < data.size(); ++i) {
      do data[i] = static_cast<uint8_t>(random() % 3 == 0 ? 0x80 + random() % 2 : random());
      while (i > 0 && data[i] == data[i - 1] && random() % (round % 2 ? 4 : 40) != 0);
      if (round % 3 == 2 && random() % 40 == 0) {  // now and then a stretch over whole words
        for (size_t end = std::min(data.size(), i + 1 + random() % 150); i + 1 < end; ++i) {
          data[i + 1] = data[i];
        }
      }
    }
    std::vector<std::pair<uint64_t, uint64_t>> expected, found;
    for (uint64_t j = 1; j < data.size(); ++j) {
      if (data[j] != data[j - 1]) continue;
      uint64_t k = j;
      while (k < data.size() && data[k] == data[j - 1]) ++k;
      expected.push_back({j, k});
      j = k;
    }
    uint64_t visited = 1;  // the words' bytes, in order and each once
    ForEachRepeatStretch(
        data.data(), data.size(), [&](uint64_t j, uint64_t k) { found.push_back({j, k}); },
        [&](uint64_t base, uint64_t end) {
          ASSERT_EQ(base, visited);
          visited = end;
        });
    ASSERT_EQ(found, expected) << "round " << round;
    EXPECT_EQ(visited, std::max<uint64_t>(data.size(), 1));
    // The search for the stretches that may take a run finds exactly those
    // long enough.
    for (int shortest = 1; shortest <= 8; ++shortest) {
      std::vector<std::pair<uint64_t, uint64_t>> long_expected, long_found;
      for (const auto& stretch : expected) {
        if (stretch.second - stretch.first >= static_cast<uint64_t>(shortest)) {
          long_expected.push_back(stretch);
        }
      }
      ForEachLongRepeatStretch(data.data(), data.size(), shortest,
                               [&](uint64_t j, uint64_t k) { long_found.push_back({j, k}); });
      ASSERT_EQ(long_found, long_expected) << "round " << round << ", shortest " << shortest;
    }
  }
}

TEST(PackEncoder, DataWithoutRepeatsCostsAnOptimalPrefixCode) {
  std::mt19937 random(3);
  std::vector<uint8_t> data;
  std::discrete_distribution<int> skew({40, 20, 10, 10, 5, 5, 3, 2, 1, 1, 1, 1, 1});
  while (data.size() < 20000) {
    uint8_t b = static_cast<uint8_t>(skew(random));
    if (data.empty() || data.back() != b) data.push_back(b);
  }
  PackResult result = RoundTrip({data});
  EXPECT_EQ(result.lengths[kEscapeIndex] != 0, true);
  // Weights of an optimal code over the same symbols, escape included; each
  // symbol's code is also stored once in the table, hence the + 1.
  std::vector<uint64_t> frequency(kCodeSymbols, 0);
  for (uint8_t b : data) ++frequency[b];
  std::vector<uint64_t> weights;
  uint64_t table_code_bits = 0, data_bits = 0;
  for (int s = 0; s < kCodeSymbols; ++s) {
    if (frequency[s] == 0 && s != kEscapeIndex) continue;
    weights.push_back(frequency[s] + 1);
    table_code_bits += result.lengths[s];
    data_bits += frequency[s] * result.lengths[s];
  }
  int longest = 0;
  uint64_t optimum = HuffmanCost(weights, &longest);
  ASSERT_LE(longest, 32);
  EXPECT_EQ(result.entry_bits[0], data_bits);  // no runs were taken
  EXPECT_EQ(result.entry_bits[0] + table_code_bits, optimum);
}

TEST(PackEncoder, LongRunsBeatOrderZeroEntropy) {
  std::mt19937 random(11);
  std::vector<uint8_t> data;
  while (data.size() < 200000) {
    std::vector<uint8_t> run = Repeat(static_cast<uint8_t>(random() % 8), 1 + random() % 600);
    data.insert(data.end(), run.begin(), run.end());
  }
  double counts[256] = {};
  for (uint8_t b : data) ++counts[b];
  double entropy_bits = 0;
  for (double c : counts) {
    if (c > 0) entropy_bits -= c * std::log2(c / data.size());
  }
  PackResult result = RoundTrip({data});
  EXPECT_LT(static_cast<double>(result.entry_bits[0]), entropy_bits / 20);
}

TEST(PackEncoder, RoundTripsOddShapes) {
  std::vector<uint8_t> all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  std::vector<uint8_t> runs;  // runs at every count-byte boundary
  for (size_t n : {1, 2, 3, 254, 255, 256, 508, 509, 510, 762, 1000, 65536}) {
    std::vector<uint8_t> r = Repeat(static_cast<uint8_t>(n), n);
    runs.insert(runs.end(), r.begin(), r.end());
  }
  std::mt19937 random(5);
  std::vector<uint8_t> noise(50000);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
  RoundTrip({{}, {0x41}, all, runs, noise, Repeat(7, 1023), Repeat(7, 1024), Repeat(7, 1025), {}});
  // Every byte value, with the limit tight enough to bind.
  for (int limit : {9, 10, 12}) RoundTrip({all, noise, runs}, limit);
}

TEST(PackEncoder, OnlyEmptyEntriesStillMakeAValidTable) {
  PackResult result = RoundTrip({{}, {}});
  EXPECT_EQ(result.rows, 1);
  PackResult none = RoundTrip({});
  EXPECT_EQ(none.rows, 1);
}

TEST(PackEncoder, IsDeterministicAndChecksLimits) {
  std::vector<uint8_t> data = {1, 2, 2, 2, 2, 3, 1, 1};
  std::vector<PackEntry> entries = {Entry("a", data), Entry("b", data)};
  PackResult first, second;
  std::string error;
  ASSERT_TRUE(EncodeArchive("v", entries, 32, &first, &error));
  ASSERT_TRUE(EncodeArchive("v", entries, 32, &second, &error));
  EXPECT_EQ(first.bytes, second.bytes);

  PackResult r;
  EXPECT_FALSE(EncodeArchive(std::string(256, 'v'), entries, 32, &r, &error));
  EXPECT_FALSE(EncodeArchive("v", {Entry(std::string(256, 'n'), data)}, 32, &r, &error));
  EXPECT_FALSE(EncodeArchive("v", {Entry("", data)}, 32, &r, &error));
  EXPECT_FALSE(EncodeArchive("v", std::vector<PackEntry>(256, Entry("a", data)), 32, &r, &error));
  EXPECT_FALSE(EncodeArchive("v", entries, 1, &r, &error));  // 4 codes do not fit 1 bit
  EXPECT_TRUE(EncodeArchive("v", std::vector<PackEntry>(255, Entry("a", data)), 32, &r, &error));
}

}  // namespace
