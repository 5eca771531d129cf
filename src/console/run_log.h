// The run's log (/log=FILE): UTF-8 lines appended to a file, for the people
// who roll an update out to many machines. Without an open log every call
// here does nothing.
//
//   2026-12-09T08:30:00Z 3pupdate 1.1 started: folder [C:\Perinwood], installed [1.01], archive [1.02]
//   written [C:\Perinwood\a.txt] 6 bytes
//   kept [C:\Perinwood\b.txt] 5 bytes
//   stopped: 書き込みができません。[C:\Perinwood\c.txt]の書き込み許可を調べて下さい。
//   left: [C:\Perinwood\a.txt]を元に戻せませんでした。元のファイルは[C:\Perinwood\~3pu0A1B.bak]にあります。
//   rolled back in part: 1 of 2 files, 1 of 1 folder
//   2026-12-09T08:30:01Z ended: status 1
//
// The start line is written before the first other line, with what the run
// knows by then; the texts come in code page 932 and go out as UTF-8. A log
// that cannot be opened or written is reported once (MSG_LOG_FAILED) and the
// run goes on without it.
#pragma once

#include <cstddef>
#include <cstdint>

enum LogDecision { kLogWritten, kLogOverwritten, kLogKept, kLogSkipped };

// Opens path for appending; program_version goes into the start line.
void OpenRunLog(const char* path, const char* program_version);

// What the start line tells, as the run learns it.
void NoteLogFolder(const char* install_directory);
void NoteLogVersions(const char* installed_version, const char* archive_version);

// One entry: its destination (or its name when it has none), what was done
// and its size.
void LogEntry(const char* destination, LogDecision decision, uint32_t size);

// A stop: message is the text the console shows (code page 932, line feeds
// and blanks around it dropped, lines joined with one blank).
void LogStop(const char* message);

// A file the console names as left other than the run promised (message:
// the console text, as for LogStop).
void LogLeft(const char* message);

// The run's files and folders taken back, once the rollback is over: files
// of of_files and folders of of_folders. Only a rollback that took back
// everything says "rolled back"; another says what it did.
void LogRollback(int files, int of_files, int folders, int of_folders);

// The last line: the exit status, with the time.
void LogEnd(int status);

// "2026-12-09T08:30:00Z": seconds since 1970-01-01 UTC as the log shows
// them (out: at least 32 bytes).
void FormatLogTime(int64_t seconds, char* out, size_t size);
