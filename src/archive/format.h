// The update archive's format: the facts that its reader, the archive
// tool's encoder and the test suite's writers must agree on, in one place.
//
// An archive is one bit stream, most significant bit first, with no
// alignment anywhere:
//
//   header  rows - 1 (8), escape length (8), escape code,
//           per row: byte (8), code length (8), code;
//           version length (8), version bytes, entry count (8)
//   entry   name length (8), name bytes, reserved (32), modification time
//           (32, signed seconds since 1970-01-01 UTC), kind letter (8),
//           size (32), then data items until size bytes are produced
//   item    a row's code (a literal of its byte), or the escape's code and
//           a run count: each count byte of 255 adds 254 and another
//           follows; the first byte below 255 adds its value and ends it
#pragma once

#include <cstdint>

// ---- the code table ----
constexpr int kMaxRows = 256;        // rows of the code table (stored as rows - 1)
constexpr int kEscapeIndex = 256;    // the escape's place in per-symbol arrays: past the last row
constexpr int kCodeSymbols = 257;    // the 256 byte values and the escape
constexpr int kMaxCodeLength = 32;   // code lengths are 1..32

// ---- runs ----
constexpr int kRunCountMore = 255;   // a count byte that adds kRunCountStep, another follows
constexpr int kRunCountStep = 254;

// ---- texts and counts ----
constexpr int kMaxTextLength = 255;  // names and the version: a length byte, then the bytes
constexpr int kMaxEntries = 255;     // the entry count is one byte

// ---- field widths, in bits ----
constexpr int kByteFieldBits = 8;    // rows - 1, lengths, row bytes, entry count, kind letter
constexpr int kReservedFieldBits = 32;
constexpr int kTimeFieldBits = 32;
constexpr int kSizeFieldBits = 32;
// An entry record's fixed fields: everything but the name's bytes.
constexpr int kEntryFixedBits =
    kByteFieldBits + kReservedFieldBits + kTimeFieldBits + kByteFieldBits + kSizeFieldBits;

// ---- kind letters ----
// Where an entry goes. Upper and lower case place alike; an upper case
// letter also opens the file in the viewer once it is written.
enum KindRoot {
  kInstallFolderRoot,  // the installation folder from the registry
  kWindowsFolderRoot,  // the Windows folder
};

struct KindFolder {
  char letter;            // upper case
  KindRoot root;          // the folder the entry's place is taken from
  const char* subfolder;  // below root; "" for root itself
};

constexpr KindFolder kKindFolders[] = {
    {'B', kInstallFolderRoot, "bitmap"},
    {'I', kInstallFolderRoot, ""},
    {'S', kWindowsFolderRoot, "system"},
    {'W', kWindowsFolderRoot, ""},
};

// The placement of kind (either case), or nullptr for a letter that names
// no destination.
inline const KindFolder* FindKindFolder(uint8_t kind) {
  uint8_t upper = kind >= 'a' && kind <= 'z' ? static_cast<uint8_t>(kind - 'a' + 'A') : kind;
  for (const KindFolder& folder : kKindFolders) {
    if (static_cast<uint8_t>(folder.letter) == upper) return &folder;
  }
  return nullptr;
}
