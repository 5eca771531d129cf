#include "install/install_entry.h"

#include "archive/archive_reader.h"
#include "console/console.h"
#include "console/run_log.h"
#include "install/destination.h"
#include "install/entry_cache.h"
#include "install/entry_output.h"
#include "install/overwrite_policy.h"
#include "install/pending_updates.h"
#include "install/progress.h"

namespace {

DecodeOutput g_decoded;  // the decoder's 1024-byte output buffer

// What the decoder's callbacks need while an entry is written.
struct WrittenEntry {
  EntryOutput output;
  DecodeSink sink;
  uint32_t size;
};

void WriteFullBuffer(void* context, const uint8_t* bytes, size_t count) {
  WriteEntryBytes(&static_cast<WrittenEntry*>(context)->output, bytes, count);
}

void ReportLiteral(void* context, uint64_t produced) {
  WrittenEntry* entry = static_cast<WrittenEntry*>(context);
  AdvanceProgress(produced, entry->size);
  entry->sink.progress_due = NextCellDue(ProgressCount(), entry->size);
}

// Decodes the entry's data from the archive into its output, with the bar.
void DecodeIntoOutput(ArchiveReader* reader, EntryOutput* output, uint32_t size) {
  WrittenEntry entry;
  entry.output = *output;
  entry.size = size;
  entry.sink = {WriteFullBuffer, ReportLiteral, NextCellDue(0, size), &entry};
  if (DecodeEntryData(reader, size, &entry.sink, &g_decoded) != kDecodeDone) {
    AbandonEntryOutput(&entry.output);
  }
  FinishProgress();
  if (g_decoded.fill > 0) WriteEntryBytes(&entry.output, g_decoded.buffer, g_decoded.fill);
  *output = entry.output;
}

// Writes a kept entry's bytes as the decoder would have: each full 1024-byte
// buffer when its last byte is produced, the cells of a literal after the
// buffer that literal filled, the rest after the finished bar. The bytes of
// a staged entry are in its file already; the same writes stand for them.
void WriteKeptBytes(EntryOutput* output, const CachedEntry& kept) {
  const uint8_t* bytes = CachedEntryBytes(kept);
  auto bytes_at = [&](uint64_t offset) { return bytes != nullptr ? bytes + offset : nullptr; };
  uint64_t full = kept.produced / kOutputBufferSize * kOutputBufferSize;
  uint64_t written = 0;
  int next_cell = 0;
  while (written < full || next_cell < kept.cell_literal_count) {
    uint64_t cell_at =
        next_cell < kept.cell_literal_count ? kept.cell_literals[next_cell] : UINT64_MAX;
    if (written < full && written + kOutputBufferSize <= cell_at) {
      WriteEntryBytes(output, bytes_at(written), kOutputBufferSize);
      written += kOutputBufferSize;
    } else {
      AdvanceProgress(cell_at, kept.header.size);
      ++next_cell;
    }
  }
  FinishProgress();
  if (kept.produced > full) WriteEntryBytes(output, bytes_at(full), kept.produced - full);
}

// The entry's data when it is not written: decoded and dropped so the next
// entry is found, or nothing to do when it was kept.
void PassOverData(ArchiveReader* reader, uint32_t size, bool kept) {
  if (kept) return;
  DecodeSink sink = {nullptr, nullptr, UINT64_MAX, nullptr};
  if (DecodeEntryData(reader, size, &sink, &g_decoded) != kDecodeDone) {
    ErrorStop(MSG_DECODE_ERROR);
  }
}

// What the log says of an entry: a kept file is a newer one left in place;
// an entry skipped otherwise had no destination or no readable file status.
LogDecision LogDecisionOf(WriteChoice choice) {
  switch (choice.decision) {
    case kWrite: return kLogWritten;
    case kOverwrite: return kLogOverwritten;
    case kSkip: break;
  }
  return choice.newer ? kLogKept : kLogSkipped;
}

}  // namespace

void InstallEntry(InstallContext* context, ArchiveReader* reader, int index) {
  bool kept = EntriesCached();
  EntryHeader header;
  if (kept) {
    header = CachedEntryAt(index).header;
  } else if (!ReadEntryHeader(reader, &header)) {
    ErrorStop(MSG_DECODE_ERROR);
  }

  char path[kComposeBufferSize];
  ComposeResult composed = ComposeDestinationPath(context, header.kind, header.name, path);
  if (composed == kPathTooLong) ErrorStop(MSG_CANNOT_WRITE, path);

  WriteChoice choice = {kSkip, kInvalidFileAttributes, false, false, false};
  const char* base_name = path;
  if (composed == kPathComposed) {
    char folder[kFolderSize];
    base_name = SplitDestinationPath(path, folder);
    CreateFolderChain(folder);
    choice = DecideWrite(path, header.modification_time, &context->overwrite_mode);
  }

  bool up_to_date = false;
  if (choice.decision == kSkip) {
    PassOverData(reader, header.size, kept);
    if (kept) DropStagedFile(index);
  } else {
    EntryOutput output;
    OpenEntryOutput(&output, path, base_name, choice, kept ? StagedFileAt(index) : nullptr);
    if (kept) {
      WriteKeptBytes(&output, CachedEntryAt(index));
    } else {
      DecodeIntoOutput(reader, &output, header.size);
    }
    up_to_date = FinishEntryOutput(&output, header.modification_time);
  }
  LogEntry(composed == kPathComposed ? path : header.name,
           up_to_date ? kLogUpToDate : LogDecisionOf(choice), header.size);
  if (composed == kPathComposed) QueueViewer(header.kind, path);
}
