#include "install/entry_output.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "install/pending_updates.h"
#include "install/progress.h"

namespace {

// Undoes what the entry did so far: its temporary file goes.
void DropTempFile(EntryOutput* output) {
  if (output->stream != nullptr) {
    PlatformAbandonOutput(output->stream);
    output->stream = nullptr;
  }
  if (output->temp_path[0] != '\0') PlatformDeleteFile(output->temp_path);
  output->temp_path[0] = '\0';
}

[[noreturn]] void StopCannotWrite(EntryOutput* output) {
  DropTempFile(output);
  ErrorStop(MSG_CANNOT_WRITE, output->destination);
}

// True when the file at path could be opened for writing now (no other
// program holds it). A read-only file that is to be overwritten loses the
// bit only for the test.
bool IsFileFree(const char* path) {
  uint32_t attributes = PlatformGetFileAttributes(path);
  if (attributes == kInvalidFileAttributes || !(attributes & kAttributeReadOnly)) {
    return PlatformCanWriteExisting(path);
  }
  PlatformSetFileAttributes(path, attributes & ~kAttributeReadOnly);
  bool free = PlatformCanWriteExisting(path);
  PlatformSetFileAttributes(path, attributes);
  return free;
}

// False when the destination could not be replaced: a folder, a read-only
// file under Write (or one whose attribute word could not be read for
// Overwrite), or a file another program holds. A destination with a pending
// file is judged by the word that file will have.
bool IsDestinationWritable(const char* path, WriteChoice choice) {
  PendingView pending;
  uint32_t attributes =
      FindPending(path, &pending) ? pending.attributes : PlatformGetFileAttributes(path);
  if (attributes == kInvalidFileAttributes) return PlatformCanWriteExisting(path);
  if (attributes & kAttributeDirectory) return false;
  bool may_replace_read_only =
      choice.decision == kOverwrite && choice.saved_attributes != kInvalidFileAttributes;
  if ((attributes & kAttributeReadOnly) && !may_replace_read_only) return false;
  return IsFileFree(path);
}

}  // namespace

void OpenEntryOutput(EntryOutput* output, const char* destination, const char* base_name,
                     WriteChoice choice, StagedFile* staged) {
  output->stream = nullptr;
  output->temp_path[0] = '\0';
  output->destination = destination;
  output->choice = choice;
  output->written_behind = false;
  if (!IsDestinationWritable(destination, choice)) StopCannotWrite(output);
  if (staged != nullptr && staged->output != nullptr) {
    PlatformOutput stream = staged->output;
    staged->output = nullptr;
    if (PlatformTakeUpStagedFile(stream)) {
      output->stream = stream;
      strcpy(output->temp_path, staged->path);
      output->written_behind = true;
    }
  } else {
    output->stream = PlatformCreateTempFile(destination, output->temp_path);
  }
  if (output->stream == nullptr) StopCannotWrite(output);
  PrintMessage(MSG_UPDATING_FILE, base_name);
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

void FinishEntryOutput(EntryOutput* output, int32_t modification_time) {
  PlatformOutput stream = output->stream;
  output->stream = nullptr;
  if (!PlatformCloseOutput(stream)) StopCannotWrite(output);
  PlatformSetFileTimes(output->temp_path, modification_time);
  AddPending(output->destination, output->temp_path, modification_time, output->choice);
}

void AbandonEntryOutput(EntryOutput* output) {
  DropTempFile(output);
  ErrorStop(MSG_DECODE_ERROR);
}


