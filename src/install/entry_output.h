// The file of an entry that is written: a temporary file in the destination's
// folder, finished (flushed, closed, its times set) and handed to the pending
// result, which puts it in place when the whole run has succeeded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "install/entry_cache.h"
#include "install/overwrite_policy.h"
#include "platform/platform.h"

struct EntryOutput {
  PlatformOutput stream;            // the open temporary file
  char temp_path[kMaxTempPath];     // its full path
  const char* destination;          // the destination path it will replace
  WriteChoice choice;               // Write or Overwrite, with the saved attributes
  bool written_behind;              // a staged file: its bytes are written already
  const char* base_name;            // for the header line
  bool muted;                       // header and bar wait: a read-only file that may be up to date
};

// Checks that the destination can be written (not a folder or a link, not
// read-only under Write unless it may be up to date, not in use), creates
// the temporary file beside it (or takes up staged, when it holds one:
// staged then holds none), prints the file's header line with its base name
// and starts the bar. Stops the run with MSG_CANNOT_WRITE when any of that
// fails. A read-only file under Write that may be up to date shows its
// header and bar only once it is found up to date: otherwise the run stops
// before them, as for any read-only file a Write meets.
void OpenEntryOutput(EntryOutput* output, const char* destination, const char* base_name,
                     WriteChoice choice, StagedFile* staged);

// Appends bytes to the temporary file (of a staged file: stands for the
// write of its next count bytes, and bytes may be nullptr); a failed write
// (disk full) stops the run with MSG_CANNOT_WRITE. An interrupt that has
// arrived ends the run here, its temporary file deleted first.
void WriteEntryBytes(EntryOutput* output, const uint8_t* bytes, size_t count);

// Flushes and closes the temporary file, gives it the entry's time and adds
// it to the pending result. A destination that already holds the entry's
// bytes with its time is up to date: the temporary file goes and the
// destination stays as it is. A failed write, flush, close or time, or a
// read-only destination under Write that is not up to date, stops the run
// with MSG_CANNOT_WRITE. True when the destination was up to date.
bool FinishEntryOutput(EntryOutput* output, int32_t modification_time);

// Gives up the entry after a decoding failure: removes the temporary file and
// stops the run with MSG_DECODE_ERROR.
[[noreturn]] void AbandonEntryOutput(EntryOutput* output);
