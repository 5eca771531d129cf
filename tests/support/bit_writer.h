// Builds archives field by field, MSB first, with no alignment: the test
// suite's way to make archives the encoder never would (odd tables, bad
// lengths, truncations at any bit).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BitWriter {
  std::vector<uint8_t> bytes;  // finished bytes; the last one may be partial
  uint64_t bit_count = 0;      // bits written so far
};

// Appends the low `width` bits of value (0..64), most significant first.
inline void PutBits(BitWriter& w, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    if (w.bit_count % 8 == 0) w.bytes.push_back(0);
    if ((value >> i) & 1) w.bytes.back() |= static_cast<uint8_t>(0x80 >> (w.bit_count % 8));
    ++w.bit_count;
  }
}

// Appends a code given as a string of '0' and '1'.
inline void PutCode(BitWriter& w, const std::string& code) {
  for (char c : code) PutBits(w, c == '1' ? 1 : 0, 1);
}

inline void PutByte(BitWriter& w, uint8_t value) { PutBits(w, value, 8); }
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
  PutWord(w, 0);
  PutWord(w, static_cast<uint32_t>(time));
  PutByte(w, static_cast<uint8_t>(kind));
  PutWord(w, size);
}

// A run: the escape code then the count bytes as given.
inline void PutRun(BitWriter& w, const TestCode& escape, const std::vector<uint8_t>& count_bytes) {
  PutCode(w, escape.code);
  for (uint8_t b : count_bytes) PutByte(w, b);
}
