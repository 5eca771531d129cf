// Writing the archive's bits: canonical codes, the header, the entry records
// and their data, MSB first with no alignment.
//
// The bit sink keeps its pending bits left-aligned in a 64-bit word and
// stores all eight bytes after every field, moving on by the whole bytes
// done: no branch per field, and never more than 7 bits pending between
// fields. The output keeps 8 bytes of room past the last byte for that.
#include <algorithm>
#include <cstring>
#include <vector>

#include "3ppack/encoder.h"
#include "3ppack/encoder_internal.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// Asks Linux for large pages for a big block about to be written for the
// first time: some thousand page faults fewer for an archive of tens of
// megabytes. Advice only; elsewhere nothing.
void AdviseLargePages(uint8_t* block, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
  uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kLargePage - 1) & ~(kLargePage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kLargePage - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

struct BitSink {
  uint8_t* next;     // the byte that holds the first pending bit
  uint64_t pending;  // bits not yet complete bytes, left-aligned
  int count;         // number of pending bits, 0..7 between calls
};

// Appends the low width bits of value (width 1..32, value < 2^width).
inline void PutBits(BitSink& sink, uint32_t value, int width) {
  sink.pending |= static_cast<uint64_t>(value) << (64 - sink.count - width);
  sink.count += width;
  uint64_t word = __builtin_bswap64(sink.pending);
  memcpy(sink.next, &word, 8);
  sink.next += sink.count >> 3;
  sink.pending <<= sink.count & ~7;
  sink.count &= 7;
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
  uint32_t code;    // right-aligned
  uint32_t length;  // 0 for a symbol without a code
};

// Emits one entry's data: each group's first byte as a literal, then its
// repeat copies as the plan under these lengths chooses (a run first, the
// copies it leaves as literals after it). Stretches without repeats go
// through a tight literal loop. The sink is worked on in a local copy, so
// that it stays in registers. Returns the bits written.
uint64_t PutEntryData(BitSink& out, const CodeBookEntry* book, const uint8_t* data,
                      uint64_t size) {
  BitSink sink = out;
  const CodeBookEntry escape = book[kEscapeIndex];
  uint64_t i = 0;
  auto put_literals = [&](uint64_t end) {
    for (; i < end; ++i) {
      const CodeBookEntry e = book[data[i]];
      PutBits(sink, e.code, static_cast<int>(e.length));
    }
  };
  ForEachRepeatStretch(data, size, [&](uint64_t j, uint64_t k) {
    put_literals(j);  // up to and including the group's first byte
    const CodeBookEntry literal = book[data[j]];
    const uint64_t repeat = k - j;
    uint64_t cover = ChooseRunCover(repeat, literal.length, escape.length);
    if (cover != 0) {
      PutBits(sink, escape.code, static_cast<int>(escape.length));
      uint64_t rest = cover;
      while (rest > kRunCountStep) {
        PutBits(sink, kRunCountMore, 8);
        rest -= kRunCountStep;
      }
      PutBits(sink, static_cast<uint32_t>(rest), 8);
    }
    for (uint64_t n = cover; n < repeat; ++n) PutBits(sink, literal.code, static_cast<int>(literal.length));
    i = k;
  });
  put_literals(size);
  uint64_t bits = 8 * static_cast<uint64_t>(sink.next - out.next) + sink.count - out.count;
  out = sink;
  return bits;
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
  CodeBookEntry book[kCodeSymbols];
  for (int s = 0; s < kCodeSymbols; ++s) book[s] = {codes[s], lengths[s]};

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
    uint64_t data_bits = PutEntryData(sink, book, e.data, e.size);
    result->entry_bits.push_back(data_bits);
    total += kEntryFixedBits + 8 * e.name.size() + data_bits;
  }
  FlushBits(sink);
  result->total_bits = total;
  result->bytes.resize((total + 7) / 8);
}
