#include "install/entry_output.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "install/pending_updates.h"
#include "install/progress.h"

namespace {

constexpr size_t kCompareBlock = 16 * 1024;

// Undoes what the entry did so far: its temporary file goes.
void DropTempFile(EntryOutput* output) {
  if (output->stream != nullptr) {
    PlatformAbandonOutput(output->stream);
    output->stream = nullptr;
  }
  if (output->temp_path[0] != '\0' && !PlatformDeleteFile(output->temp_path)) {
    ReportLeftOver(output->temp_path);
  }
  output->temp_path[0] = '\0';
}

[[noreturn]] void StopCannotWrite(EntryOutput* output) {
  DropTempFile(output);
  ErrorStop(MSG_CANNOT_WRITE, output->destination);
}

// True when the file at path could be opened for writing now (no other
// program holds it). A read-only file that is to be overwritten loses the
// bit only for the test; when the bit cannot be set again, the file is not
// what the run may leave: the run names it as left writable, and stops.
bool IsFileFree(EntryOutput* output) {
  const char* path = output->destination;
  uint32_t attributes = PlatformGetFileAttributes(path);
  if (attributes == kInvalidFileAttributes || !(attributes & kAttributeReadOnly)) {
    return PlatformCanWriteExisting(path);
  }
  if (!PlatformSetFileAttributes(path, attributes & ~kAttributeReadOnly)) return false;
  bool free = PlatformCanWriteExisting(path);
  if (!PlatformSetFileAttributes(path, attributes)) {
    PrintMessage(MSG_LEFT_WRITABLE, path);
    StopCannotWrite(output);
  }
  return free;
}

// A read-only file under Write that may already be up to date: whether it
// may stay is known only once the entry's bytes are.
bool MayStayReadOnly(const WriteChoice& choice) {
  return choice.decision == kWrite && choice.may_be_current &&
         (choice.attributes & kAttributeReadOnly);
}

// False when the destination could not be replaced: a folder or a link, a
// read-only file under Write (unless it may be up to date), a file whose
// attribute word could not be read for Overwrite, or a file another program
// holds. A destination with a pending file is judged by the word that file
// will have. The word of a destination not seen before is read here; a file
// found there whose word cannot be read is not replaced (its hidden and
// system bits would be lost).
bool IsDestinationWritable(EntryOutput* output) {
  WriteChoice* choice = &output->choice;
  if (choice->attributes == kInvalidFileAttributes) {
    if (choice->decision == kOverwrite) return false;  // its word would be lost
    choice->attributes = PlatformGetFileAttributes(output->destination);
  }
  uint32_t attributes = choice->attributes;
  if (attributes == kInvalidFileAttributes) {
    return !choice->found && PlatformCanWriteExisting(output->destination);
  }
  if (attributes & (kAttributeDirectory | kAttributeReparsePoint)) return false;
  if (MayStayReadOnly(*choice)) return true;
  if ((attributes & kAttributeReadOnly) && choice->decision != kOverwrite) return false;
  return IsFileFree(output);
}

// True when the files at a and b hold the same bytes. Both are read without
// changing their last-access time where the system allows it; a file that
// cannot be opened, or a read that fails, makes them "not the same", never
// an early end.
bool HoldSameBytes(const char* a, const char* b) {
  bool absent = false;  // either way the two cannot be compared
  PlatformFile first = PlatformOpenToLook(a, &absent);
  PlatformFile second = PlatformOpenToLook(b, &absent);
  bool same = first != nullptr && second != nullptr;
  static uint8_t block_a[kCompareBlock];
  static uint8_t block_b[kCompareBlock];
  while (same) {
    size_t got = PlatformReadFile(first, block_a, kCompareBlock);
    same = PlatformReadFile(second, block_b, kCompareBlock) == got &&
           memcmp(block_a, block_b, got) == 0 && !PlatformReadFailed(first) &&
           !PlatformReadFailed(second);
    if (got == 0) break;
  }
  PlatformCloseFile(first);
  PlatformCloseFile(second);
  return same;
}

}  // namespace

void OpenEntryOutput(EntryOutput* output, const char* destination, const char* base_name,
                     WriteChoice choice, StagedFile* staged) {
  output->stream = nullptr;
  output->temp_path[0] = '\0';
  output->destination = destination;
  output->choice = choice;
  output->written_behind = false;
  output->base_name = base_name;
  if (!IsDestinationWritable(output)) StopCannotWrite(output);
  output->muted = MayStayReadOnly(output->choice);
  if (staged != nullptr && staged->output != nullptr) {
    PlatformOutput stream = staged->output;
    staged->output = nullptr;
    if (PlatformTakeUpStagedFile(stream)) {
      output->stream = stream;
      strcpy(output->temp_path, staged->path);
      output->written_behind = true;
    } else if (!PlatformDiscardStagedFile(stream)) {
      ReportLeftOver(staged->path);
    }
  } else {
    output->stream = PlatformCreateTempFile(destination, output->temp_path);
  }
  if (output->stream == nullptr) StopCannotWrite(output);
  MuteProgress(output->muted);
  if (!output->muted) PrintMessage(MSG_UPDATING_FILE, base_name);
  StartProgress();
}

void WriteEntryBytes(EntryOutput* output, const uint8_t* bytes, size_t count) {
  // An interrupt ends the run here; the entry's temporary file goes first.
  if (PlatformInterrupted()) {
    DropTempFile(output);
    InterruptStop();
  }
  bool written = output->written_behind ? PlatformConfirmOutput(output->stream, count)
                                        : PlatformWriteOutput(output->stream, bytes, count);
  if (!written) StopCannotWrite(output);
}

bool FinishEntryOutput(EntryOutput* output, int32_t modification_time) {
  PlatformOutput stream = output->stream;
  output->stream = nullptr;
  if (!PlatformCloseOutput(stream)) StopCannotWrite(output);
  if (output->choice.may_be_current) {
    // A file that holds the entry's bytes with the entry's time is up to
    // date and stays as it is, read-only or not.
    if (HoldSameBytes(output->temp_path, output->destination)) {
      DropTempFile(output);
      if (output->muted) {
        MuteProgress(false);
        PrintMessage(MSG_UPDATING_FILE, output->base_name);
        StartProgress();
        FinishProgress();
      }
      return true;
    }
    if (MayStayReadOnly(output->choice)) StopCannotWrite(output);
  }
  if (!PlatformSetFileTimes(output->temp_path, modification_time)) StopCannotWrite(output);
  AddPending(output->destination, output->temp_path, modification_time, output->choice);
  return false;
}

void AbandonEntryOutput(EntryOutput* output) {
  DropTempFile(output);
  ErrorStop(MSG_DECODE_ERROR);
}


