// The run's log (/log=FILE): UTF-8 lines appended to a file, for the people
// who roll an update out to many machines. Without an open log every call
// here does nothing.
//
//   PC-07:4312 2026-12-09T08:30:00Z 3pupdate 1.1 started: folder [C:\Perinwood], installed [1.01], archive [1.02]
//   PC-07:4312 put back [C:\Perinwood\a.txt] from [C:\Perinwood\~3pu-a.txt.bak], left by an earlier run
//   PC-07:4312 written [C:\Perinwood\a.txt] 6 bytes
//   PC-07:4312 kept [C:\Perinwood\b.txt] 5 bytes
//   PC-07:4312 stopped: 書き込みができません。[C:\Perinwood\c.txt]の書き込み許可を調べて下さい。
//   PC-07:4312 left [C:\Perinwood\~3pu-a.txt.bak]: the old file of [C:\Perinwood\a.txt]
//   PC-07:4312 rolled back in part: 0 of 1 file, 1 of 1 folder
//   PC-07:4312 2026-12-09T08:30:01Z ended: status 1
//
// Every line begins with the run's tag, the computer's name and the process
// ID, so that the lines of several machines appending to one file on a share
// can be told apart. The start line is written before the first other line,
// with what the run knows by then; the texts come in code page 932 and go
// out as UTF-8. Nothing the archive or the machine supplies can make a line
// of its own: a control byte becomes '?', and so does a lead byte without
// its trail byte (it would swallow the ']' or blank after it).
//
// The log is a leaf: it reports to nobody. A log that cannot be opened or
// written is dropped, the run goes on without it, and the console asks
// TakeLogFailure once for the path to report.
#pragma once

#include <cstddef>
#include <cstdint>

enum LogDecision { kLogWritten, kLogOverwritten, kLogKept, kLogSkipped, kLogUpToDate };

// Opens path for appending; program_version goes into the start line.
void OpenRunLog(const char* path, const char* program_version);

// Drops the log, as one that cannot be written, when path names the file
// it is open on, or may (the look failed): the log must never write into
// the archive or a file the update replaces.
void DropLogIfSameFile(const char* path);

// The path of a log that failed since the last call (its one report), or
// nullptr.
const char* TakeLogFailure();

// What the start line tells, as the run learns it.
void NoteLogFolder(const char* install_directory);
void NoteLogVersions(const char* installed_version, const char* archive_version);

// One entry: its destination (or its name when it has none), what was done
// and its size.
void LogEntry(const char* destination, LogDecision decision, uint32_t size);

// A stop: message is the text the console shows (code page 932, line feeds
// and blanks around it dropped, lines joined with one blank), its arguments
// already made safe with CleanLogText.
void LogStop(const char* message);

// A file the run leaves where it should not: a temporary file it could not
// delete (of_destination nullptr), or the old file of of_destination kept
// under the backup name path.
void LogLeft(const char* path, const char* of_destination);

// An old file that an earlier run left under backup, put back at
// destination, which had no file.
void LogPutBack(const char* destination, const char* backup);

// What a look (/verify) found at one entry's destination.
enum LogFinding {
  kFoundCurrent,        // the entry's bytes and time
  kFoundDiffers,        // other bytes or another time
  kFoundMissing,        // no file
  kFoundNewer,          // a newer file, which an update keeps
  kFoundNoDestination,  // the kind letter names no folder
  kFoundUnknown,        // the file could not be looked at
  kFoundLater,          // a later entry goes to the same file
};

// One line of a look: the finding at destination (or the entry's name when
// it has none); a file up to date with its size and time.
void LogFound(LogFinding finding, const char* destination, uint64_t size, int64_t time);

// A file the console names as left other than the run promised, where no
// caller logs it with LogLeft (message: the console text, as for LogStop).
void LogLeftText(const char* message);

// The run's files and folders taken back, once the rollback is over: files
// of of_files (those whose destination the run had changed) and folders of
// of_folders. Only a rollback that took back everything says "rolled back";
// another says what it did.
void LogRollback(int files, int of_files, int folders, int of_folders);

// The last line: the exit status, with the time.
void LogEnd(int status);

// Copies text (code page 932) to out (size bytes, cut to fit) with every
// control byte and every lead byte that has no trail byte after it replaced
// by '?': a text that goes into a log line can neither end the line nor
// take the next byte of the line into a character of its own.
void CleanLogText(const char* text, char* out, size_t size);

// "2026-12-09T08:30:00Z": seconds since 1970-01-01 UTC as the log shows
// them (out: at least 32 bytes).
void FormatLogTime(int64_t seconds, char* out, size_t size);
