// Walking an archive entry by entry with the updater's own reader and
// decoder, for list, test and extract.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "3ppack/pack_files.h"
#include "archive/archive_reader.h"

// One entry as the walk found it.
struct WalkedEntry {
  int index;             // 0-based position in the archive
  EntryHeader header;    // name, time, kind, size
  uint64_t record_bit;   // file bit where the entry record begins
  uint64_t data_bit;     // file bit where its data begins
  uint64_t end_bit;      // file bit after its last item
  uint64_t produced;     // bytes the data decoded to (runs may carry past size)
};

enum WalkStep {
  kWalkEntry,         // an entry was read and decoded
  kWalkHeaderCut,     // the file ends inside the entry's header
  kWalkDecodeFailed,  // its data does not decode (no code matches, a run
                      // before any literal, or the data runs past the end)
};

// Reads the file at path and opens it in memory in reader; bytes must
// outlive the walk. False with a message when the file cannot be read or
// its header is malformed.
bool OpenArchiveFile(ArchiveReader* reader, const std::string& path, FileBytes* bytes,
                     std::string* error);

// Reads reader's next entry record and decodes its data into sink (which
// may have null callbacks). entry is filled as far as the walk got; out
// keeps the bytes of the last partial buffer.
WalkStep WalkNextEntry(ArchiveReader* reader, int index, DecodeSink* sink, DecodeOutput* out,
                       WalkedEntry* entry);

// The trailer of an archive walked to its end, for list and test.
struct TrailerStatus {
  TrailerForm form;      // none, or found (a malformed one does not open)
  bool in_place;         // the last entry ends in the byte before the trailer (without
                         // one: nothing after it begins like a trailer)
  bool digest_matches;   // the trailer's digest is the bytes' (true without a trailer)
  bool intact;           // both: what FinishArchiveRead says
  bool is_signed;
  std::string key_id;    // hex, when signed
};

// Ends the walk of reader (after its last entry) and says what its trailer
// holds and whether the bytes are intact.
TrailerStatus FinishWalk(ArchiveReader* reader);

// The seconds as UTC in ISO 8601 form, 1998-07-09T16:00:00Z.
std::string FormatUtc(int64_t seconds);

// The folder of a release tree (and of extract's output) that holds the
// files of a kind letter: install/bitmap, install, windows/system, windows;
// "" for a letter the updater does not place.
std::string TreeFolderOfKind(uint8_t kind);
