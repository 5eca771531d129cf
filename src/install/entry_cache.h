// The check of the whole archive before anything is asked or changed, and
// what it keeps for the real run.
//
// Every entry is decoded once, with the entry's header and the produced
// values at which its progress bar gains cells kept for the real run. An
// entry whose destination folder exists is decoded into a staged temporary
// file beside its destination, written behind the decoder, which the real
// run takes up if it writes the entry and deletes otherwise; every other
// entry's bytes are kept in memory while they fit a budget. The real run
// then writes from there and the archive is read only once. A larger archive
// is decoded a second time in the real run (and nothing is staged).
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/entry_decoder.h"
#include "install/install_context.h"
#include "install/progress.h"
#include "platform/platform.h"

constexpr uint64_t kEntryCacheBudget = uint64_t{256} << 20;

// An entry's staged temporary file, until the real run takes it up.
struct StagedFile {
  PlatformOutput output;      // nullptr: none, or taken up
  char path[kMaxTempPath];    // its full path
};

struct CachedEntry {
  EntryHeader header;
  StagedFile staged;                          // its data written behind, until taken up
  bool written_behind;                        // its data went to a staged file, not memory
  uint64_t offset;                            // of its bytes in the cache
  uint64_t produced;                          // bytes decoded (a run may pass the size)
  uint64_t cell_literals[kProgressCells];     // produced at each literal that adds cells
  int cell_literal_count;
};

// Decodes every entry of the archive open in reader without printing or
// asking, staging what it can beside the destinations that context gives
// (nothing unless stage) and keeping what fits the budget. A run's log that
// is the file at an entry's destination is dropped before anything is
// written there. False at the first entry that does not decode (the cache
// is then empty and nothing is staged).
bool CheckEntries(ArchiveReader* reader, int entry_count, const InstallContext* context,
                  bool stage);

// True when every entry's data is in memory or in its staged file.
bool EntriesCached();

// The kept entry at index and its bytes (valid while EntriesCached();
// nullptr for a staged entry).
const CachedEntry& CachedEntryAt(int index);
const uint8_t* CachedEntryBytes(const CachedEntry& entry);

// The staged file of the entry at index, for the real run to take up.
StagedFile* StagedFileAt(int index);

// Deletes the staged file of the entry at index, if it has one.
void DropStagedFile(int index);
// Deletes every staged file that was not taken up.
void DropStagedFiles();

// Forgets everything kept and deletes what is staged; each check starts
// from it.
void ClearEntryCache();
