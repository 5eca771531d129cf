#include "install/entry_cache.h"

#include <cstring>

#include "archive/archive_reader.h"
#include "console/console.h"
#include "console/run_log.h"
#include "install/destination.h"
#include "install/pending_updates.h"
#include "platform/platform.h"

namespace {

struct EntryCache {
  CachedEntry entries[kMaxEntries];  // headers and cell literals of every entry
  uint8_t* bytes;                    // the decoded data of all entries, in order
  uint64_t used;                     // bytes of it in use
  uint64_t committed;                // bytes of it usable
  bool keeping;                      // false once the budget was passed
};

EntryCache g_cache;

// The reservation is the whole budget; it is made usable in steps as the
// data grows.
constexpr uint64_t kCommitStep = uint64_t{1} << 20;

// Drops the kept bytes and keeps no more.
void StopKeeping() {
  PlatformReleaseMemory(g_cache.bytes, kEntryCacheBudget);
  g_cache.bytes = nullptr;
  g_cache.used = g_cache.committed = 0;
  g_cache.keeping = false;
}

// Makes room for count more bytes; false when the budget or the memory does
// not allow it.
bool MakeRoom(size_t count) {
  uint64_t needed = g_cache.used + count;
  if (needed > kEntryCacheBudget) return false;
  if (g_cache.bytes == nullptr) g_cache.bytes = PlatformReserveMemory(kEntryCacheBudget);
  if (g_cache.bytes == nullptr) return false;
  if (needed <= g_cache.committed) return true;
  uint64_t committed = (needed + kCommitStep - 1) / kCommitStep * kCommitStep;
  if (committed > kEntryCacheBudget) committed = kEntryCacheBudget;
  if (!PlatformCommitMemory(g_cache.bytes, committed)) return false;
  g_cache.committed = committed;
  return true;
}

// Where the next buffer of decoded bytes goes: right after the kept bytes,
// so that the decoder stores them there itself. nullptr (the decoder's own
// buffer) once the budget or the memory runs out: then nothing is kept.
uint8_t* NextStorePlace() {
  if (!g_cache.keeping) return nullptr;
  if (!MakeRoom(kOutputBufferSize)) {
    StopKeeping();
    return nullptr;
  }
  return g_cache.bytes + g_cache.used;
}

// What the decoder's callbacks need during the check of one entry.
struct CheckedEntry {
  CachedEntry* entry;
  DecodeSink sink;
  int filled;        // cells a written bar would show so far
  uint32_t buffers;  // full buffers decoded so far
};

// The check looks for an interrupt before each entry and after every
// 256 full buffers (256 KiB) of one, so that a large archive is left
// within a fraction of a second: a console that is being closed gives the
// run only a few seconds.
constexpr uint32_t kBuffersPerInterruptLook = 256;

static_assert(kOutputBufferSize <= kStagePlaceRoom, "a staging place holds a decoder buffer");

// A full buffer, decoded in place when it is staged or kept; the next one
// goes after it.
void KeepFullBuffer(void* context, const uint8_t*, size_t count) {
  CheckedEntry* checked = static_cast<CheckedEntry*>(context);
  if (++checked->buffers % kBuffersPerInterruptLook == 0) CheckInterrupt();
  PlatformOutput staged = checked->entry->staged.output;
  if (staged != nullptr) {
    PlatformStageBytes(staged, count);
    checked->sink.store_at = PlatformStagePlace(staged);
    return;
  }
  if (checked->sink.store_at != nullptr) g_cache.used += count;
  checked->sink.store_at = NextStorePlace();
}

// Starts the staged file of an entry beside its destination; none when
// nothing is to be staged, the entry has no destination or its folder does
// not exist yet. A log open on the destination's file is dropped first.
void StageEntry(const InstallContext* context, bool stage, CachedEntry* entry) {
  entry->staged.output = nullptr;
  entry->written_behind = false;
  char path[kComposeBufferSize];
  if (ComposeDestinationPath(context, entry->header.kind, entry->header.name, path) !=
      kPathComposed) {
    return;
  }
  DropLogIfSameFile(path);
  if (!stage) return;
  entry->staged.output = PlatformStartStagedFile(path, entry->staged.path);
  entry->written_behind = entry->staged.output != nullptr;
}

// Records a literal at which a written bar would gain cells.
void NoteCellLiteral(void* context, uint64_t produced) {
  CheckedEntry* checked = static_cast<CheckedEntry*>(context);
  CachedEntry* entry = checked->entry;
  checked->filled = CellsAfterLiteral(checked->filled, produced, entry->header.size);
  entry->cell_literals[entry->cell_literal_count++] = produced;
  checked->sink.progress_due = NextCellDue(checked->filled, entry->header.size);
}

}  // namespace

bool CheckEntries(ArchiveReader* reader, int entry_count, const InstallContext* context,
                  bool stage) {
  ClearEntryCache();
  g_cache.keeping = true;
  static DecodeOutput decoded;
  for (int i = 0; i < entry_count && i < kMaxEntries; ++i) {
    CheckInterrupt();
    CachedEntry* entry = &g_cache.entries[i];
    if (!ReadEntryHeader(reader, &entry->header)) {
      ClearEntryCache();
      return false;
    }
    entry->offset = g_cache.used;
    entry->cell_literal_count = 0;
    StageEntry(context, stage, entry);
    PlatformOutput staged = entry->staged.output;
    CheckedEntry checked = {entry, {}, 0, 0};
    checked.sink = {KeepFullBuffer, NoteCellLiteral, NextCellDue(0, entry->header.size), &checked,
                    staged != nullptr ? PlatformStagePlace(staged) : NextStorePlace()};
    if (DecodeEntryData(reader, entry->header.size, &checked.sink, &decoded) != kDecodeDone) {
      ClearEntryCache();
      return false;
    }
    if (staged != nullptr) {
      PlatformStageBytes(staged, decoded.fill);
      PlatformFinishStaging(staged);
    } else if (checked.sink.store_at != nullptr) {
      g_cache.used += decoded.fill;
    }
    entry->produced = decoded.produced;
  }
  // A run that decodes again writes nothing staged.
  if (!g_cache.keeping) DropStagedFiles();
  return true;
}

bool EntriesCached() { return g_cache.keeping; }

const CachedEntry& CachedEntryAt(int index) { return g_cache.entries[index]; }

const uint8_t* CachedEntryBytes(const CachedEntry& entry) {
  if (entry.written_behind || g_cache.bytes == nullptr) return nullptr;
  return g_cache.bytes + entry.offset;
}

StagedFile* StagedFileAt(int index) { return &g_cache.entries[index].staged; }

void DropStagedFile(int index) {
  StagedFile* staged = &g_cache.entries[index].staged;
  if (staged->output != nullptr && !PlatformDiscardStagedFile(staged->output)) {
    ReportLeftOver(staged->path);
  }
  staged->output = nullptr;
}

void DropStagedFiles() {
  for (int i = 0; i < kMaxEntries; ++i) DropStagedFile(i);
}

void ClearEntryCache() {
  DropStagedFiles();
  StopKeeping();
  memset(g_cache.entries, 0, sizeof g_cache.entries);
}
