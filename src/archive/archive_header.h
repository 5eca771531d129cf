// Opening the update archive and parsing its header: the code table with its
// run-length escape, the version string and the entry count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/bit_reader.h"

constexpr int kMaxRows = 256;
constexpr int kEscapeIndex = 256;  // the escape sits one place past the last row
constexpr int kMaxCodeLength = 32;

struct CodeTable {
  uint16_t symbol_count;           // rows, 1..256
  uint8_t symbols[kMaxRows];       // the byte row j stands for
  uint16_t lengths[kMaxRows + 1];  // code lengths 1..32; [256] is the escape's
  uint32_t codes[kMaxRows + 1];    // left-aligned codes; [256] is the escape
  uint16_t max_length;             // the most bits one item can need
};

struct ArchiveHeader {
  CodeTable table;
  char* version;         // NUL-terminated, 0..255 characters, a static buffer:
                         // valid until exit, rewritten by the next open
  uint16_t entry_count;  // 0..255
};

enum OpenResult {
  kArchiveOpened,     // header parsed, position at the first entry record
  kArchiveMissing,    // the file cannot be opened; nothing was read
  kArchiveBadHeader,  // a code length of 0 or over 32, or the file ends inside the header
};

// The mask with the top length bits set (length 0..32).
inline uint32_t LengthMask(int length) {
  return length >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> length);
}

// ResetReader, open path through the platform and parse the header (which
// also builds the decoder's lookup table). May be called again after
// CloseArchive. A bad header closes the file again and leaves an empty
// code table, so that any decoding then fails.
OpenResult OpenArchive(const char* path);
// The same over bytes in memory (tests, fuzzing, the archive tool). The bytes
// must stay valid while the archive is read.
OpenResult OpenArchiveInMemory(const uint8_t* bytes, size_t size);
// The header of the open archive.
const ArchiveHeader& CurrentHeader();
// Closes the file (if any); later reads see the end of the file. The version
// string stays valid.
void CloseArchive();
