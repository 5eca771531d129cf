#include "install/install_entry.h"

#include <cstring>

#include "archive/entry_decoder.h"
#include "control/console.h"
#include "install/destination.h"
#include "install/entry_output.h"
#include "install/overwrite_policy.h"
#include "install/progress.h"

namespace {

constexpr size_t kFolderSize = 256;

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
  entry->sink.progress_due = NextCellDue(entry->size);
}

// Decodes the data of an entry that is written into its output, with the bar.
void DecodeIntoFile(const EntryHeader& header, const char* path, const char* base_name,
                    WriteChoice choice) {
  WrittenEntry entry;
  entry.size = header.size;
  OpenEntryOutput(&entry.output, path, base_name, choice);
  entry.sink = {WriteFullBuffer, ReportLiteral, NextCellDue(header.size), &entry};
  static DecodeOutput decoded;
  if (DecodeEntryData(header.size, &entry.sink, &decoded) != kDecodeDone) {
    AbandonEntryOutput(&entry.output);
  }
  FinishProgress();
  if (decoded.fill > 0) WriteEntryBytes(&entry.output, decoded.buffer, decoded.fill);
  FinishEntryOutput(&entry.output, header.modification_time);
}

// Decodes an entry's data and drops it, so the next entry is found.
bool DecodeAndDrop(uint32_t size) {
  static DecodeOutput decoded;
  DecodeSink sink = {nullptr, nullptr, UINT64_MAX, nullptr};
  return DecodeEntryData(size, &sink, &decoded) == kDecodeDone;
}

}  // namespace

void InstallEntry() {
  EntryHeader header;
  if (!ReadEntryHeader(&header)) ErrorStop(MSG_DECODE_ERROR);

  char path[kComposeBufferSize];
  ComposeResult composed = ComposeDestinationPath(header.kind, header.name, path);
  if (composed == kPathTooLong) ErrorStop(MSG_CANNOT_WRITE, path);

  WriteChoice choice = {kSkip, kInvalidFileAttributes};
  const char* base_name = path;
  if (composed == kPathComposed) {
    char folder[kFolderSize];
    base_name = SplitDestinationPath(path, folder);
    CreateFolderChain(folder);
    choice = DecideWrite(path, header.modification_time);
  }

  if (choice.decision == kSkip) {
    if (!DecodeAndDrop(header.size)) ErrorStop(MSG_DECODE_ERROR);
  } else {
    DecodeIntoFile(header, path, base_name, choice);
  }
  if (composed == kPathComposed) LaunchViewer(header.kind, path);
}

bool WalkEntriesDry(int entry_count) {
  for (int i = 0; i < entry_count; ++i) {
    EntryHeader header;
    if (!ReadEntryHeader(&header) || !DecodeAndDrop(header.size)) return false;
  }
  return true;
}
