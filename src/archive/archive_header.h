// Opening the update archive and parsing its header: the code table with its
// run-length escape, the version string and the entry count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/format.h"

struct ArchiveReader;

struct CodeTable {
  uint16_t symbol_count;           // rows, 1..256
  uint8_t symbols[kMaxRows];       // the byte row j stands for
  uint16_t lengths[kMaxRows + 1];  // code lengths 1..32; [256] is the escape's
  uint32_t codes[kMaxRows + 1];    // left-aligned codes; [256] is the escape
  uint16_t max_length;             // the most bits one item can need
};

struct ArchiveHeader {
  CodeTable table;
  char version[kMaxTextLength + 1];  // NUL-terminated, 0..255 characters
  uint16_t entry_count;              // 0..255
};

enum OpenResult {
  kArchiveOpened,     // header parsed, position at the first entry record
  kArchiveMissing,    // the file cannot be opened; nothing was read
  kArchiveBadHeader,  // a code length of 0 or over 32, or the file ends inside the header
  kArchiveBadTrailer, // a trailer footer whose trailer does not agree with it, or
                      // the file's end cannot be read
};

// The mask with the top length bits set (length 0..32).
inline uint32_t LengthMask(int length) {
  return length >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> length);
}

// Opens path through the platform into reader and parses the header into
// reader->header (which also builds the decoder's lookup table). An archive
// still open in reader is closed first, so a reader can be opened again and
// again. A bad header closes the file again and leaves an empty code table
// and version, so that any decoding then fails.
OpenResult OpenArchive(ArchiveReader* reader, const char* path);
// The first step of OpenArchive alone, for a reader that must vouch for the
// bytes before any of them is parsed: opens path and finds the trailer from
// the file's end, reading nothing else. kArchiveOpened then means the file
// is open and reader->trailer known, the header not yet read: the owner
// checks the trailer (its signature), then VerifyArchiveDigest, then
// ReadArchiveAgain parses the header. kArchiveMissing and
// kArchiveBadTrailer as OpenArchive (the file is closed again).
OpenResult OpenArchiveTrailer(ArchiveReader* reader, const char* path);
// A first pass over the archive file open in reader (OpenArchiveTrailer):
// hashes every byte before the trailer and compares the digest with the
// trailer's, before the header or anything else is parsed. False when
// there is no trailer, the file cannot be read to it, or the digests
// differ. The file is then to be read again from its start.
bool VerifyArchiveDigest(ArchiveReader* reader);
// The same over bytes in memory (tests, fuzzing, the archive tool). The bytes
// must stay valid while the archive is read.
OpenResult OpenArchiveInMemory(ArchiveReader* reader, const uint8_t* bytes, size_t size);
// Closes the file (if any); later reads see the end of the file. The header
// stays as it was read.
void CloseArchive(ArchiveReader* reader);

// Reads the archive open in reader again from its start, through the same
// open file (or the same memory), and parses its header again; the trailer
// found at the first opening stays. kArchiveMissing when the file cannot be
// read from its start again.
OpenResult ReadArchiveAgain(ArchiveReader* reader);

// Ends a read of the whole archive; the position must be after the last
// entry. True when the bytes read are intact: with a trailer, the entries
// end in the byte before it and the digest of every byte before it is the
// one it holds (on a second read too: ReadArchiveAgain keeps the trailer
// found first); without one, nothing after the last entry begins like a
// trailer. The digest of a file is made while it is read (the platform
// hashes behind the reader); bytes in memory are hashed here. An archive
// without a trailer is not hashed at all.
bool FinishArchiveRead(ArchiveReader* reader);

// FinishArchiveRead's two findings apart, for a tool that reports them:
// whether the entries end where they must (in the byte before the trailer;
// without one, with nothing after them that begins like a trailer), and
// whether the digest matches (true without a trailer).
struct ArchiveEndCheck {
  bool ends_in_place;
  bool digest_matches;
};
ArchiveEndCheck CheckArchiveEnd(ArchiveReader* reader);
