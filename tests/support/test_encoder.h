// A simple archive encoder for tests and the benchmark: a plain Huffman code
// over the bytes (at most 32 bits long) with the escape as one more symbol,
// and runs of the previous literal written as the escape and a count. Not the
// archive tool's encoder; just enough to make realistic archives quickly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <queue>
#include <string>
#include <vector>

#include "archive/format.h"
#include "support/bit_writer.h"

struct EncoderEntry {
  std::string name;
  int32_t time = 0;
  char kind = 'b';
  std::vector<uint8_t> data;
};

constexpr int kEncoderMinRun = 4;  // shorter repeats stay literals

// Huffman code lengths for the symbols with a non-zero frequency, at most
// 32 bits: when the tree is too deep, the frequencies are flattened and the
// tree built again.
inline std::vector<int> HuffmanLengths(std::vector<uint64_t> frequency) {
  std::vector<int> lengths(frequency.size(), 0);
  for (;;) {
    using Node = std::pair<uint64_t, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
    std::vector<int> parent;
    for (size_t s = 0; s < frequency.size(); ++s) {
      if (frequency[s] > 0) {
        queue.push({frequency[s], static_cast<int>(parent.size())});
        parent.push_back(-1);
      }
    }
    std::vector<int> leaf_of(frequency.size(), -1);
    int leaves = 0;
    for (size_t s = 0; s < frequency.size(); ++s) {
      if (frequency[s] > 0) leaf_of[s] = leaves++;
    }
    if (leaves == 1) {
      for (size_t s = 0; s < frequency.size(); ++s) lengths[s] = frequency[s] > 0 ? 1 : 0;
      return lengths;
    }
    while (queue.size() > 1) {
      Node a = queue.top();
      queue.pop();
      Node b = queue.top();
      queue.pop();
      int node = static_cast<int>(parent.size());
      parent.push_back(-1);
      parent[a.second] = node;
      parent[b.second] = node;
      queue.push({a.first + b.first, node});
    }
    int deepest = 0;
    for (size_t s = 0; s < frequency.size(); ++s) {
      if (leaf_of[s] < 0) continue;
      int depth = 0;
      for (int n = leaf_of[s]; parent[n] >= 0; n = parent[n]) ++depth;
      lengths[s] = depth;
      deepest = std::max(deepest, depth);
    }
    if (deepest <= kMaxCodeLength) return lengths;
    for (uint64_t& f : frequency) {
      if (f > 0) f = f / 2 + 1;
    }
  }
}

struct EncoderCode {
  uint32_t bits;  // right-aligned
  int length;     // 0 when the symbol has no code
};

// Canonical codes from the lengths: shorter codes first, then symbol order.
inline std::vector<EncoderCode> CanonicalCodes(const std::vector<int>& lengths) {
  std::vector<EncoderCode> codes(lengths.size(), EncoderCode{0, 0});
  uint64_t code = 0;
  int previous_length = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] != length) continue;
      code <<= (length - previous_length);
      previous_length = length;
      codes[s] = EncoderCode{static_cast<uint32_t>(code), length};
      ++code;
    }
  }
  return codes;
}

// Calls literal(byte) and run(count) for the items that encode data: a run
// follows a literal when at least kEncoderMinRun more copies of it come next.
template <typename Literal, typename Run>
inline void SplitItems(const std::vector<uint8_t>& data, Literal literal, Run run) {
  size_t i = 0;
  while (i < data.size()) {
    uint8_t byte = data[i++];
    literal(byte);
    size_t end = i;
    while (end < data.size() && data[end] == byte) ++end;
    if (end - i >= static_cast<size_t>(kEncoderMinRun)) {
      run(static_cast<uint64_t>(end - i));
      i = end;
    }
  }
}

// Encodes entries into a whole archive with the given version string.
inline std::vector<uint8_t> EncodeArchive(const std::vector<EncoderEntry>& entries,
                                          const std::string& version) {
  std::vector<uint64_t> frequency(kCodeSymbols, 0);
  frequency[kEscapeIndex] = 1;  // the escape must have a code even when unused
  for (const EncoderEntry& entry : entries) {
    SplitItems(
        entry.data, [&](uint8_t byte) { ++frequency[byte]; },
        [&](uint64_t) { ++frequency[kEscapeIndex]; });
  }
  if (std::all_of(frequency.begin(), frequency.begin() + 256, [](uint64_t f) { return f == 0; })) {
    frequency[0] = 1;  // the table needs one row
  }
  std::vector<EncoderCode> codes = CanonicalCodes(HuffmanLengths(frequency));

  BitWriter w;
  int rows = 0;
  for (int s = 0; s < 256; ++s) rows += codes[s].length > 0;
  PutByte(w, static_cast<uint8_t>(rows - 1));
  PutByte(w, static_cast<uint8_t>(codes[kEscapeIndex].length));
  PutBits(w, codes[kEscapeIndex].bits, codes[kEscapeIndex].length);
  for (int s = 0; s < 256; ++s) {
    if (codes[s].length == 0) continue;
    PutByte(w, static_cast<uint8_t>(s));
    PutByte(w, static_cast<uint8_t>(codes[s].length));
    PutBits(w, codes[s].bits, codes[s].length);
  }
  PutCountedText(w, version);
  PutByte(w, static_cast<uint8_t>(entries.size()));
  for (const EncoderEntry& entry : entries) {
    PutEntryHeader(w, entry.name, entry.time, entry.kind, static_cast<uint32_t>(entry.data.size()));
    SplitItems(
        entry.data, [&](uint8_t byte) { PutBits(w, codes[byte].bits, codes[byte].length); },
        [&](uint64_t count) {
          PutBits(w, codes[kEscapeIndex].bits, codes[kEscapeIndex].length);
          PutRunCount(w, count);
        });
  }
  return w.bytes;
}
