// The archive encoder: turns a version string and a list of entries into the
// bytes of an update archive.
//
// The code is chosen for the smallest archive the format allows: code lengths
// come from an optimal length-limited prefix code (package-merge) over the
// literals and the escape, runs are chosen by their cost in bits against the
// literals they replace, and the two choices are refined in turn until the
// total stops shrinking. Output is deterministic: the same input always gives
// the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/format.h"

constexpr uint64_t kPackMaxEntrySize = 0xFFFFFFFFull;  // the size field's largest value

// One entry to pack. The name and data are the caller's and must stay valid
// during EncodeArchive.
struct PackEntry {
  std::string name;        // stored bytes (code page 932), 1..255 bytes
  int32_t time;            // modification time, seconds since 1970 UTC
  uint8_t kind;            // kind letter
  const uint8_t* data;     // the file's bytes
  uint64_t size;           // at most kPackMaxEntrySize
};

// What the encoder chose and what it cost.
struct PackResult {
  std::vector<uint8_t> bytes;          // the finished archive
  uint64_t total_bits;                 // bits before the last byte's filler
  uint64_t planned_bits;               // the plan's count of the same (equal to it)
  uint64_t header_bits;                // code table, version, entry count
  std::vector<uint64_t> entry_bits;    // per entry: its data items only
  uint8_t lengths[kCodeSymbols];       // code length per symbol, 0 = no row
  int rows;                            // rows in the code table
  int iterations;                      // rounds of run choice and code lengths
};

// Encodes the archive into result. length_limit (1..32) caps every code
// length. Returns false with a message in *error when the input breaks a
// limit of the format (text too long, too many entries, an entry too large,
// a limit too small for the symbols in use); result is then undefined.
bool EncodeArchive(const std::string& version, const std::vector<PackEntry>& entries,
                   int length_limit, PackResult* result, std::string* error);

// Optimal prefix code lengths for weights[0..count-1] with no length above
// limit (package-merge). Every symbol gets a length >= 1, also one of weight
// 0. count must be 2..257. False when 2^limit < count.
bool BuildLimitedLengths(const uint64_t* weights, int count, int limit, uint8_t* lengths);

// The cheapest way to code repeat more copies of a byte right after a literal
// of it: returns how many of them one run covers (0: all literals), given the
// byte's code length and the escape's.
uint64_t ChooseRunCover(uint64_t repeat, unsigned literal_length, unsigned escape_length);

// Bytes of run count that code count (>= 1): one byte below 255 after as few
// bytes of 255 (worth 254 each) as possible.
inline uint64_t RunCountBytes(uint64_t count) {
  return (count + kRunCountStep - 1) / kRunCountStep;
}
