// The file of an entry that is written: a temporary file in the destination's
// folder that replaces the destination in one step once every byte is in, so
// that a failure never leaves a half-written file. Also the viewer launch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "install/overwrite_policy.h"
#include "platform/platform.h"

struct EntryOutput {
  PlatformOutput stream;            // the open temporary file
  char temp_path[kMaxTempPath];     // its full path
  const char* destination;          // the destination path it will replace
  WriteChoice choice;               // Write or Overwrite, with the saved attributes
};

// Checks that the destination can be written (not a folder, not read-only,
// not in use), creates the temporary file beside it, prints the file's header
// line with its base name and starts the bar. Stops the run with
// MSG_CANNOT_WRITE when any of that fails, the destination as it was.
void OpenEntryOutput(EntryOutput* output, const char* destination, const char* base_name,
                     WriteChoice choice);

// Appends bytes to the temporary file; a failed write (disk full) stops the
// run with MSG_CANNOT_WRITE, the destination as it was.
void WriteEntryBytes(EntryOutput* output, const uint8_t* bytes, size_t count);

// Closes the temporary file, gives it the entry's time, puts it in place of
// the destination and restores the attributes saved for Overwrite. A failed
// close or replace stops the run with MSG_CANNOT_WRITE, the destination as it
// was.
void FinishEntryOutput(EntryOutput* output, int32_t modification_time);

// Gives up the entry after a decoding failure: removes the temporary file,
// puts back a read-only bit cleared for Overwrite, and stops the run with
// MSG_DECODE_ERROR.
[[noreturn]] void AbandonEntryOutput(EntryOutput* output);

// Starts "<windows_directory>\notepad.exe <path>" for an upper-case kind
// letter, without waiting.
void LaunchViewer(const char* windows_directory, uint8_t kind, const char* path);
