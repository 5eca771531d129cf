// Deciding what happens to a file that may already stand at an entry's
// destination: write it, overwrite a newer file, or leave it alone.
#pragma once

#include <cstdint>

#include "install/install_context.h"

enum WriteDecision { kSkip = 0, kWrite = 1, kOverwrite = 2 };

struct WriteChoice {
  WriteDecision decision;
  uint32_t attributes;  // the destination's word when first seen (a pending file's: the
                        // word it will have); invalid: none seen. Saved for Overwrite
  bool newer;           // the destination holds a file newer than the entry
  bool may_be_current;  // a file on the disk with the entry's time: if it holds
                        // the entry's bytes too, it is up to date and stays
  bool found;           // a file stands on the disk at the destination
};

// Probes the destination and compares its last-write time with the entry's;
// a destination with a pending file from an earlier entry is judged by that
// file (its time and attribute word). Only a strictly newer file is
// protected: by *mode, or by asking (Yes/No/All/SkipAll, read byte by byte;
// All and SkipAll set *mode for the rest of the run; the end of input answers
// no and leaves it as it was). The attribute word of a file found is read
// here, once: an overwritten file's is given to the new file, and a rollback
// gives any destination's back; nothing on the disk changes here. A probe
// or a status query that fails (unknown, not absent: the file may be newer)
// prints MSG_BAD_FILE_HANDLE and skips the entry.
WriteChoice DecideWrite(const char* path, int32_t entry_time, OverwriteMode* mode);

// True once an entry was skipped because its destination could not be
// looked at: the update is not complete.
bool AnyFileUnknown();
