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

#include <cstddef>
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
// set) to the pending result, in archive order, with the destination's word
// as choice saw it before the run changed anything. A destination that
// already has one keeps its place in the list; the earlier temporary file is
// deleted.
void AddPending(const char* destination, const char* temp_path, int32_t modification_time,
                WriteChoice choice);

// Records the folder of an entry's destination (components joined by one
// backslash) and the length of its outermost part that this run made (0:
// none): a rollback removes what was made, deepest first; a complete run
// clears the folder of its own litter.
void NoteFolderChain(const char* folder, size_t first_made);

// Names on the console a file of the run that stays where it should not (a
// temporary file that could not be deleted): the run then ends with status
// 1, even when it is complete.
void ReportLeftOver(const char* path);

// True when the run left something that the update did not promise: a file
// named by ReportLeftOver, a backup that could not be deleted or put back.
bool RunLeftSomething();

// True when the folder of destination holds, or may hold (a look or the
// listing failed), an earlier run's backup under a numbered name ("~3puXXXX.bak")
// that is no second name of a file in place.
bool FolderMayHoldNumberedBackup(const char* destination);

// Records the viewer that a complete run starts for an upper-case entry.
void QueueViewer(uint8_t kind, const char* path);

// Puts every pending file in place, in archive order, each with its final
// attribute word (an overwritten file's saved word with the archive bit,
// else the old file's word, else a new file's). When a replace fails, stops
// the run with MSG_CANNOT_WRITE naming that destination after rolling
// everything back. An interrupt that arrives meanwhile rolls back too. On
// success nothing is left to undo; the backups are deleted, and so are the
// files of the run's own name pattern ("~3puXXXX.tmp", ".bak") that an
// earlier run left in the folders this one writes to. What cannot be
// deleted is named on the console (RunLeftSomething).
void CommitPending();

// Starts the queued viewers, in archive order (after a successful commit).
void LaunchQueuedViewers(const char* windows_directory);

// Undoes the run (the stop hook): see above, and logs what it put back
// once it is back. Does nothing after a successful commit.
void RollBackPending();
