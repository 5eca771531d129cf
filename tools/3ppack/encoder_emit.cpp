// Writing the archive's bits: canonical codes, the header, the entry records
// and their data, MSB first with no alignment.
//
// The bit sink keeps its pending bits left-aligned in a 64-bit word. A field
// is ORed in below the pending bits; a store writes all eight bytes of the
// word and moves on by the whole bytes done, which leaves at most 7 bits
// pending. Header fields store after each field (no branch per field). The
// literal loop ORs in as many codes as the longest code lets fit (56 bits on
// top of 7 pending) before it stores once: the codes are kept left-aligned
// in the code book, so adding one is a shift, an OR and an add. The output
// keeps 8 bytes of room past the last byte for the stores.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "3ppack/encoder.h"
#include "3ppack/encoder_internal.h"
#include "3ppack/large_pages.h"

namespace {

struct BitSink {
  uint8_t* next;     // the byte that holds the first pending bit
  uint64_t pending;  // bits not yet complete bytes, left-aligned
  int count;         // number of pending bits, 0..7 between calls
};

// Stores the pending bits and keeps the last incomplete byte's bits pending
// (count at most 63 before).
inline void StorePending(BitSink& sink) {
  uint64_t word = __builtin_bswap64(sink.pending);
  memcpy(sink.next, &word, 8);
  sink.next += sink.count >> 3;
  sink.pending <<= sink.count & ~7;
  sink.count &= 7;
}

// Appends the low width bits of value (width 1..32, value < 2^width).
inline void PutBits(BitSink& sink, uint32_t value, int width) {
  sink.pending |= static_cast<uint64_t>(value) << (64 - sink.count - width);
  sink.count += width;
  StorePending(sink);
}

// The last byte, filled up with zero bits, is already stored: step past it.
void FlushBits(BitSink& sink) {
  if (sink.count > 0) ++sink.next;
  sink.count = 0;
  sink.pending = 0;
}

void PutText(BitSink& sink, const std::string& text) {
  PutBits(sink, static_cast<uint32_t>(text.size()), 8);
  for (unsigned char c : text) PutBits(sink, c, 8);
}

// Code and length of each symbol side by side, for the data loop.
struct CodeBookEntry {
  uint64_t left;    // the code in the word's top bits, zeros below it
  uint32_t code;    // the same code right-aligned
  uint32_t length;  // 0 for a symbol without a code
};

// Emits data[begin..end-1] as literals with one store per kCodesPerStore
// codes; kCodesPerStore times the longest byte code is at most 56 bits, so
// the pending bits never pass 63.
template <int kCodesPerStore>
void PutLiterals(BitSink& out, const CodeBookEntry* book, const uint8_t* data, uint64_t begin,
                 uint64_t end) {
  BitSink sink = out;  // in registers for the loop
  uint64_t i = begin;
  for (; i + kCodesPerStore <= end; i += kCodesPerStore) {
    for (int u = 0; u < kCodesPerStore; ++u) {
      const CodeBookEntry& e = book[data[i + u]];
      sink.pending |= e.left >> sink.count;
      sink.count += static_cast<int>(e.length);
    }
    StorePending(sink);
  }
  for (; i < end; ++i) {
    const CodeBookEntry& e = book[data[i]];
    sink.pending |= e.left >> sink.count;
    sink.count += static_cast<int>(e.length);
    StorePending(sink);
  }
  out = sink;
}

using LiteralWriter = void (*)(BitSink&, const CodeBookEntry*, const uint8_t*, uint64_t, uint64_t);

// The literal loop for byte codes of at most longest bits.
LiteralWriter ChooseLiteralWriter(unsigned longest) {
  switch (std::min(8u, 56 / longest)) {
    case 8: return PutLiterals<8>;
    case 7: return PutLiterals<7>;
    case 6: return PutLiterals<6>;
    case 5: return PutLiterals<5>;
    case 4: return PutLiterals<4>;
    case 3: return PutLiterals<3>;
    case 2: return PutLiterals<2>;
    default: return PutLiterals<1>;
  }
}

// The code book and what the data loop derives from it once per archive.
struct DataCoder {
  CodeBookEntry book[kCodeSymbols];
  LiteralWriter put_literals;
  uint8_t run_from[256];  // per byte: fewer repeat copies than this never take a run
  int shortest_run;       // the least of run_from, at most 8
};

// Fills coder from the canonical codes and their lengths.
void PrepareDataCoder(const uint32_t* codes, const uint8_t* lengths, DataCoder* coder) {
  unsigned longest = 1;
  for (int s = 0; s < kCodeSymbols; ++s) {
    coder->book[s] = {lengths[s] == 0 ? 0 : static_cast<uint64_t>(codes[s]) << (64 - lengths[s]),
                      codes[s], lengths[s]};
    if (s != kEscapeIndex && lengths[s] > longest) longest = lengths[s];
  }
  coder->put_literals = ChooseLiteralWriter(longest);
  // Stretches shorter than a byte's cheapest run need no run choice; those
  // shorter than every byte's are not even looked at (eight is enough for
  // the search to skip nearly all of them).
  coder->shortest_run = 8;
  for (int b = 0; b < 256; ++b) {
    int copies = 1;
    while (copies < 255 && (lengths[b] == 0 ||
                            ChooseRunCover(copies, lengths[b], lengths[kEscapeIndex]) == 0)) {
      ++copies;
    }
    coder->run_from[b] = static_cast<uint8_t>(copies);
    if (lengths[b] != 0 && copies < coder->shortest_run) coder->shortest_run = copies;
  }
}

// Emits one entry's data: each group's first byte as a literal, then its
// repeat copies as the plan under these lengths chooses (a run first, the
// copies it leaves as literals after it). Only the stretches long enough
// for a run break the literal loop. Returns the bits written.
uint64_t PutEntryData(BitSink& sink, const DataCoder& coder, const uint8_t* data, uint64_t size) {
  const uint8_t* start = sink.next;
  const int start_count = sink.count;
  const CodeBookEntry escape = coder.book[kEscapeIndex];
  uint64_t i = 0;  // the next byte to emit
  ForEachLongRepeatStretch(data, size, coder.shortest_run, [&](uint64_t j, uint64_t k) {
    if (k - j < coder.run_from[data[j]]) return;  // the copies stay literals of the loop
    const CodeBookEntry literal = coder.book[data[j]];
    uint64_t cover = ChooseRunCover(k - j, literal.length, escape.length);
    if (cover == 0) return;  // the copies stay literals of the loop
    coder.put_literals(sink, coder.book, data, i, j);  // up to and including the group's first byte
    PutBits(sink, escape.code, static_cast<int>(escape.length));
    uint64_t rest = cover;
    while (rest > kRunCountStep) {
      PutBits(sink, kRunCountMore, 8);
      rest -= kRunCountStep;
    }
    PutBits(sink, static_cast<uint32_t>(rest), 8);
    i = j + cover;  // the copies the run leaves are literals of the same byte
  });
  coder.put_literals(sink, coder.book, data, i, size);
  return 8 * static_cast<uint64_t>(sink.next - start) + sink.count - start_count;
}

}  // namespace

// Canonical order: by length, then by symbol; each code is the previous one
// plus one, shifted left when the length grows.
void AssignCanonicalCodes(const uint8_t* lengths, uint32_t* codes, std::vector<int>* rows) {
  std::vector<int> order;
  for (int s = 0; s < kCodeSymbols; ++s) {
    codes[s] = 0;
    if (lengths[s] != 0) order.push_back(s);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return lengths[a] < lengths[b]; });
  uint64_t code = 0;
  int previous_length = order.empty() ? 0 : lengths[order[0]];
  for (int s : order) {
    code <<= lengths[s] - previous_length;
    previous_length = lengths[s];
    codes[s] = static_cast<uint32_t>(code);
    ++code;
  }
  rows->clear();
  for (int s : order) {
    if (s != kEscapeIndex) rows->push_back(s);
  }
}

void EmitArchive(const std::string& version, const std::vector<PackEntry>& entries,
                 const uint8_t* lengths, uint64_t planned_bits, PackResult* result) {
  uint32_t codes[kCodeSymbols];
  std::vector<int> rows;
  AssignCanonicalCodes(lengths, codes, &rows);
  DataCoder coder;
  PrepareDataCoder(codes, lengths, &coder);

  // Room for the planned bits and one word that a final store may touch.
  size_t room = (planned_bits + 7) / 8 + 8;
  result->bytes.clear();
  result->bytes.reserve(room);
  AdviseLargePages(result->bytes.data(), room);
  result->bytes.assign(room, 0);
  BitSink sink = {result->bytes.data(), 0, 0};

  PutBits(sink, static_cast<uint32_t>(rows.size() - 1), 8);
  PutBits(sink, lengths[kEscapeIndex], 8);
  PutBits(sink, codes[kEscapeIndex], lengths[kEscapeIndex]);
  for (int s : rows) {
    PutBits(sink, static_cast<uint32_t>(s), 8);
    PutBits(sink, lengths[s], 8);
    PutBits(sink, codes[s], lengths[s]);
  }
  PutText(sink, version);
  PutBits(sink, static_cast<uint32_t>(entries.size()), 8);
  result->header_bits = 8 + 8 + lengths[kEscapeIndex] + 8 + 8 * version.size() + 8;
  for (int s : rows) result->header_bits += 16 + lengths[s];

  result->entry_bits.clear();
  uint64_t total = result->header_bits;
  for (const PackEntry& e : entries) {
    PutText(sink, e.name);
    PutBits(sink, 0, kReservedFieldBits);
    PutBits(sink, static_cast<uint32_t>(e.time), kTimeFieldBits);
    PutBits(sink, e.kind, kByteFieldBits);
    PutBits(sink, static_cast<uint32_t>(e.size), kSizeFieldBits);
    uint64_t data_bits = PutEntryData(sink, coder, e.data, e.size);
    result->entry_bits.push_back(data_bits);
    total += kEntryFixedBits + 8 * e.name.size() + data_bits;
  }
  FlushBits(sink);
  result->total_bits = total;
  result->bytes.resize((total + 7) / 8);
}
