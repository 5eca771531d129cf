// The run's pending result: every file written so far waits under its
// temporary name until the last entry is done, then the whole set takes its
// places in one commit, or none does.
//
// Entries add finished temporary files here instead of replacing their
// destinations; later entries see a pending file as if it were written (its
// time and the attribute word it will have). The commit replaces the
// destinations in archive order, keeping each old file as a backup until
// every replace has succeeded. Any stop before that (and a failed replace in
// the commit) rolls the run back: the temporary files go, every replaced
// destination gets its old file back with its attribute word, and the
// folders the run created are removed again, deepest first, when empty.
#pragma once

#include <cstdint>

#include "install/overwrite_policy.h"

// What a later entry sees at a destination that has a pending file.
struct PendingView {
  int64_t last_write_time;  // the entry's time that the file will have
  uint32_t attributes;      // the attribute word it will have
};

// True when path (compared without regard to ASCII case) has a pending file;
// *view is then filled.
bool FindPending(const char* path, PendingView* view);

// Adds the finished temporary file of destination (closed, flushed, its times
// set) to the pending result, in archive order. A destination that already
// has one keeps its place in the list; the earlier temporary file is deleted.
void AddPending(const char* destination, const char* temp_path, int32_t modification_time,
                WriteChoice choice);

// Records a folder that this run created (outermost first).
void NoteCreatedFolder(const char* folder);

// Records the viewer that a complete run starts for an upper-case entry.
void QueueViewer(uint8_t kind, const char* path);

// Puts every pending file in place, in archive order. When a replace fails,
// stops the run with MSG_CANNOT_WRITE naming that destination after rolling
// everything back. An interrupt that arrives meanwhile rolls back too. On
// success the backups are deleted and nothing is left to undo.
void CommitPending();

// Starts the queued viewers, in archive order (after a successful commit).
void LaunchQueuedViewers(const char* windows_directory);

// Undoes the run (the stop hook): see above. Does nothing after a
// successful commit.
void RollBackPending();
