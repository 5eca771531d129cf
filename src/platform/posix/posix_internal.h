// Private interface of the emulated Windows machine: shared by the files of
// platform/posix and by their unit tests, never by the rest of the program.
//
// The machine lives in the folder named by UPDATER_MACHINE. Drive X: is the
// folder drive_x in it, the registry is the folder registry, and a few
// settings are plain files (windows_directory). Names are matched without
// regard to ASCII case where no exact match exists, as NTFS and the registry
// do. Names are stored with their code page 932 bytes as they are.
#pragma once

#include <cstddef>
#include <sys/stat.h>

// Room for one host path; longer results count as unmappable.
constexpr size_t kHostPathSize = 4096;

// True for a code page 932 lead byte, which always takes the next byte along
// (paths, the console's conversion, the temporary file's folder).
inline bool IsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Maps the Windows path to the host path in out (kHostPathSize bytes).
// Every component is looked up without regard to ASCII case when no exact
// match exists; a component that matches nothing keeps its spelling (so a
// new last component is created as given). "." and ".." are resolved
// lexically as Windows does, never above the drive's root. False when the
// path cannot name a file here: no machine folder for a drive path, a UNC
// path, a character Windows forbids in names, or a result too long.
bool MapWindowsPath(const char* windows_path, char* out);

// Maps a registry key (hive folder name such as "HKEY_LOCAL_MACHINE" and a
// subkey "A\B") to its folder in out (kHostPathSize bytes), matching names
// without regard to ASCII case. False without a machine folder or for a
// name that cannot be a key.
bool MapRegistryKey(const char* hive_folder, const char* subkey, char* out);

// Finds the entry of folder named name, exactly or else without regard to
// ASCII case, and appends "/" and the entry's name to path (which holds the
// folder, kHostPathSize bytes). When nothing matches, appends name as it is
// and returns false; also false when the result would not fit (path then
// unchanged).
bool AppendMatchingName(char* path, const char* name);

// The machine folder, or nullptr when UPDATER_MACHINE is unset or empty.
const char* MachineFolder();

// True when stat says the file has any write permission bit: the emulated
// read-only attribute is the absence of all of them.
inline bool HasWriteBits(const struct stat& status) {
  return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// Makes a change of the entries of host_path's folder durable: the folder's
// own entry list is flushed, as a write-through move does on Windows. False
// when the flush fails (the fault injector's flush_folder kind too).
bool FlushFolderOf(const char* host_path);

// Writes what the console holds back (files and pipes) to standard output.
void FlushConsoleOutput();

// Forgets the console's state (output mode, buffers, end of input) so that a
// test can point standard input and output elsewhere and start afresh.
void ResetConsole();

// The read end of the pipe that an interrupt writes to (interrupts.cpp), or
// -1 before PlatformWatchInterrupts: waits poll it beside what they wait for.
int InterruptWakeDescriptor();
// True once SIGTERM or SIGHUP arrived (the session is ending); the fault
// injector's "closing" kind counts each look.
bool SessionClosing();
// The same mark, without counting a look (for a sleep woken by a signal).
bool SessionEnded();

// Lets the writer of staged files finish what is queued and end (output.cpp):
// the process ends with no thread of its own left running.
void StopStageWriter();
// Ends the hasher threads of the files being read (at the end of the process).
void StopReadHashers();

// Deletes the run lock's file and lets the lock go (run.cpp; at the end of
// the process, by the process that holds it).
void ReleaseRunLock();
