// The check of the whole archive before anything is asked or touched, and
// what it keeps for the real run.
//
// Every entry is decoded once without writing. While the decoded bytes fit a
// memory budget they are kept, with the entry's header and the produced
// values at which its progress bar gains cells; the real run then writes
// from memory and the archive is read only once. A larger archive is decoded
// a second time in the real run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/entry_decoder.h"
#include "install/progress.h"

constexpr uint64_t kEntryCacheBudget = uint64_t{256} << 20;

struct CachedEntry {
  EntryHeader header;
  uint64_t offset;                            // of its bytes in the cache
  uint64_t produced;                          // bytes decoded (a run may pass the size)
  uint64_t cell_literals[kProgressCells];     // produced at each literal that adds cells
  int cell_literal_count;
};

// Decodes every entry of the archive open in reader without writing,
// printing or asking, keeping what fits the budget. False at the first entry
// that does not decode (the cache is then empty).
bool CheckEntries(ArchiveReader* reader, int entry_count);

// True when every entry's data is in memory.
bool EntriesCached();

// The kept entry at index and its bytes (valid while EntriesCached()).
const CachedEntry& CachedEntryAt(int index);
const uint8_t* CachedEntryBytes(const CachedEntry& entry);

// Forgets everything kept; each check starts from it.
void ClearEntryCache();
