// The archive reader: the whole state of reading one archive, in one struct
// that its owner passes by pointer to every archive operation (OpenArchive,
// ReadEntryHeader, DecodeEntryData, ...). Readers share nothing, so two can
// be open side by side; the updater's driver owns the one of its run.
//
// A reader needs no setting up before OpenArchive: a default-initialised
// one has no file open. It is large (the window and the decoder's tables),
// so owners keep it in static storage or a long-lived frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive_header.h"
#include "archive/bit_reader.h"
#include "archive/entry_decoder.h"
#include "archive/lookup_table.h"
#include "archive/trailer.h"
#include "platform/platform.h"

// Bytes of an archive opened in memory, delivered block by block.
struct MemorySource {
  const uint8_t* bytes;  // the archive's bytes
  size_t size;           // their number
  size_t offset;         // bytes already delivered
};

struct ArchiveReader {
  // ---- where the bytes come from ----
  PlatformFile file = nullptr;  // the open archive file, or nullptr
  MemorySource memory;          // an archive opened in memory

  // ---- the trailer, and the digest of what is read ----
  ArchiveTrailer trailer;               // found from the file's end when it was opened
  uint64_t data_end = 0;                // bytes the bit stream gets: those before the trailer
  uint64_t delivered = 0;               // bytes it has got so far

  // ---- the bit stream ----
  BitReader bits;  // window, read position, end of input

  // ---- the header ----
  ArchiveHeader header;  // code table, version, entry count; empty after a bad header

  // ---- the fast decoder's table ----
  LookupTable lookup;           // built from header.table when the header is read
  LookupBuildSpace build;       // working space while it is built
};
