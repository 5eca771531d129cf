// The test suite's one bit writer: builds archives field by field, MSB
// first, with no alignment, so that tests can make archives the encoder
// never would (odd tables, bad lengths, truncations at any bit). The test
// encoder, make_archive and the unit tests all write through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/format.h"

struct BitWriter {
  std::vector<uint8_t> bytes;  // finished bytes; the last one may be partial
  uint64_t bit_count = 0;      // bits written so far
};

// Appends the low `width` bits of value (0..64), most significant first, as
// many at a time as the last byte has room for (fast enough for corpora of
// many megabytes).
inline void PutBits(BitWriter& w, uint64_t value, int width) {
  while (width > 0) {
    int room = 8 - static_cast<int>(w.bit_count % 8);
    if (room == 8) w.bytes.push_back(0);
    int take = width < room ? width : room;
    width -= take;
    unsigned part = static_cast<unsigned>(value >> width) & ((1u << take) - 1);
    w.bytes.back() |= static_cast<uint8_t>(part << (room - take));
    w.bit_count += static_cast<uint64_t>(take);
  }
}

// Appends a code given as a string of '0' and '1'.
inline void PutCode(BitWriter& w, const std::string& code) {
  for (char c : code) PutBits(w, c == '1' ? 1 : 0, 1);
}

inline void PutByte(BitWriter& w, uint8_t value) { PutBits(w, value, kByteFieldBits); }
inline void PutWord(BitWriter& w, uint32_t value) { PutBits(w, value, 32); }

// Appends a length byte then the bytes of text.
inline void PutCountedText(BitWriter& w, const std::string& text) {
  PutByte(w, static_cast<uint8_t>(text.size()));
  for (unsigned char c : text) PutByte(w, c);
}

// One row of a code table, or the escape (symbol unused).
struct TestCode {
  uint8_t symbol;
  std::string code;  // '0'/'1' text; its length is the stored length
  int stored_length = -1;  // when >= 0, stored instead of code.size()
};

inline void PutRow(BitWriter& w, const TestCode& row) {
  PutByte(w, row.symbol);
  PutByte(w, static_cast<uint8_t>(row.stored_length >= 0 ? row.stored_length : row.code.size()));
  PutCode(w, row.code);
}

// The whole archive header: rows, escape, version, entry count.
inline void PutHeader(BitWriter& w, const std::vector<TestCode>& rows, const TestCode& escape,
                      const std::string& version, int entry_count) {
  PutByte(w, static_cast<uint8_t>(rows.size() - 1));
  PutByte(w, static_cast<uint8_t>(escape.stored_length >= 0 ? escape.stored_length : escape.code.size()));
  PutCode(w, escape.code);
  for (const TestCode& row : rows) PutRow(w, row);
  PutCountedText(w, version);
  PutByte(w, static_cast<uint8_t>(entry_count));
}

// An entry record's header fields: name, reserved, time, kind, size.
inline void PutEntryHeader(BitWriter& w, const std::string& name, int32_t time, char kind,
                           uint32_t size) {
  PutCountedText(w, name);
  PutBits(w, 0, kReservedFieldBits);
  PutBits(w, static_cast<uint32_t>(time), kTimeFieldBits);
  PutByte(w, static_cast<uint8_t>(kind));
  PutBits(w, size, kSizeFieldBits);
}

// A run: the escape code then the count bytes as given.
inline void PutRun(BitWriter& w, const TestCode& escape, const std::vector<uint8_t>& count_bytes) {
  PutCode(w, escape.code);
  for (uint8_t b : count_bytes) PutByte(w, b);
}

// The count bytes of a run of count copies: as many of 255 as needed, then
// one byte below it.
inline void PutRunCount(BitWriter& w, uint64_t count) {
  while (count >= kRunCountMore) {
    PutByte(w, kRunCountMore);
    count -= kRunCountStep;
  }
  PutByte(w, static_cast<uint8_t>(count));
}

// Keeps the first bits bits (the rest of the last byte zero); a cut past
// the end changes nothing.
inline void TruncateBits(BitWriter& w, uint64_t bits) {
  if (bits >= w.bit_count) return;
  w.bytes.resize((bits + 7) / 8);
  if (bits % 8 != 0) w.bytes.back() &= static_cast<uint8_t>(0xFF << (8 - bits % 8));
  w.bit_count = bits;
}
