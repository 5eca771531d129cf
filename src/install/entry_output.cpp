#include "install/entry_output.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "install/progress.h"

namespace {

constexpr size_t kViewerProgramSize = 256 + 12;  // the Windows folder, "\\notepad.exe"
constexpr size_t kViewerCommandSize = kViewerProgramSize + 1 + 520;

// Undoes what the entry did so far: the temporary file goes, the read-only
// bit comes back.
void RestoreDestination(EntryOutput* output) {
  if (output->stream != nullptr) {
    PlatformAbandonOutput(output->stream);
    output->stream = nullptr;
    PlatformDeleteFile(output->temp_path);
  }
  if (output->choice.decision == kOverwrite &&
      output->choice.saved_attributes != kInvalidFileAttributes) {
    PlatformSetFileAttributes(output->destination, output->choice.saved_attributes);
  }
}

[[noreturn]] void StopCannotWrite(EntryOutput* output) {
  RestoreDestination(output);
  ErrorStop(MSG_CANNOT_WRITE, output->destination);
}

// False when a file standing at path could not be replaced: a folder, a
// read-only file, or a file another program holds.
bool IsDestinationWritable(const char* path) {
  uint32_t attributes = PlatformGetFileAttributes(path);
  if (attributes == kInvalidFileAttributes) return true;
  if (attributes & (kAttributeDirectory | kAttributeReadOnly)) return false;
  return PlatformCanWriteExisting(path);
}

}  // namespace

void OpenEntryOutput(EntryOutput* output, const char* destination, const char* base_name,
                     WriteChoice choice) {
  output->stream = nullptr;
  output->temp_path[0] = '\0';
  output->destination = destination;
  output->choice = choice;
  if (!IsDestinationWritable(destination)) StopCannotWrite(output);
  output->stream = PlatformCreateTempFile(destination, output->temp_path);
  if (output->stream == nullptr) StopCannotWrite(output);
  PrintMessage(MSG_UPDATING_FILE, base_name);
  StartProgress();
}

void WriteEntryBytes(EntryOutput* output, const uint8_t* bytes, size_t count) {
  if (!PlatformWriteOutput(output->stream, bytes, count)) StopCannotWrite(output);
}

void FinishEntryOutput(EntryOutput* output, int32_t modification_time) {
  PlatformOutput stream = output->stream;
  output->stream = nullptr;
  if (!PlatformCloseOutput(stream)) {
    PlatformDeleteFile(output->temp_path);
    StopCannotWrite(output);
  }
  PlatformSetFileTimes(output->temp_path, modification_time);
  if (!PlatformReplaceFile(output->temp_path, output->destination)) {
    PlatformDeleteFile(output->temp_path);
    StopCannotWrite(output);
  }
  // The saved word comes back with the archive bit added, as any write sets
  // it: backup programs look for it. (NORMAL means "no other bit" and may
  // not be combined with one.)
  if (output->choice.decision == kOverwrite &&
      output->choice.saved_attributes != kInvalidFileAttributes) {
    uint32_t saved = output->choice.saved_attributes & ~kAttributeNormal;
    PlatformSetFileAttributes(output->destination, saved | kAttributeArchive);
  }
}

void AbandonEntryOutput(EntryOutput* output) {
  RestoreDestination(output);
  ErrorStop(MSG_DECODE_ERROR);
}

void LaunchViewer(const char* windows_directory, uint8_t kind, const char* path) {
  if (kind < 'A' || kind > 'Z') return;
  char program[kViewerProgramSize];
  char command[kViewerCommandSize];
  snprintf(program, sizeof program, "%s\\notepad.exe", windows_directory);
  snprintf(command, sizeof command, "%s %s", program, path);
  PlatformStartProgram(program, command);
}
