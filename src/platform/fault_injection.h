// Fault injection for tests: makes the N-th call of one kind of OS operation
// fail, so the callers' failure paths can be proven without a full disk or a
// locked file.
//
// The plan comes from the environment variable UPDATER_FAULTS, a list such as
// "write=3,close=1,held=1-4": the third write and the first close fail (each
// once), and the first four attempts on a file find it held by another
// program. Without the variable nothing ever fails. Both platform
// implementations call InjectFault at the top of each operation of the kinds
// below.
//
// The injector is compiled only into test builds (UPDATER_FAULT_INJECTION:
// the host build and 3pupdate-test.exe). In the shipped Windows program
// InjectFault is a constant false that the compiler removes, so it neither
// reads the variable nor carries its name.
#pragma once

#include <cstdint>

enum FaultKind {
  kFaultOpenRead,        // opening a file for reading (archive, probe)
  kFaultQueryTime,       // the file-status query
  kFaultGetAttributes,   // GetFileAttributesA
  kFaultSetAttributes,   // SetFileAttributesA
  kFaultCreateDirectory, // CreateDirectoryA
  kFaultCreateTemp,      // creating the temporary output file
  kFaultWrite,           // a write to the output file
  kFaultClose,           // closing (flushing) the output file
  kFaultSetTimes,        // setting the file times
  kFaultReplace,         // the one-step replace of the destination: nothing moves
  kFaultHeld,            // one attempt on a file that another program may hold
  kFaultCodePage,        // IsValidCodePage(932): the console's code page 932 is missing
  kFaultReplaceHalfway,  // the replace stops with the old file moved away, the new one not in
  kFaultRestore,         // moving a kept old file back into place
  kFaultFlush,           // flushing the output file to the disk
  kFaultKill,            // the process killed (no chance to act) before a replace or a deletion
  kFaultInterrupt,       // the run asks whether an interrupt arrived: from this one on, it has
  kFaultFlushFolder,     // flushing a folder's entries after a file or folder is put in it (host)
  kFaultDelete,          // deleting a file (a backup, a temporary file)
  kFaultLog,             // opening the run's log, or appending one line to it
  kFaultTempVanished,    // the finished temporary file is gone (quarantined) before its replace
  kFaultHardLink,        // the volume gives the old file no second name (no hard links, as FAT)
  kFaultFileId,          // a look at which file a name holds (its file ID) fails, as on a share
                         // that is reconnecting
  kFaultClosing,         // a wait for a holder asks whether the console is being closed (or the
                         // session ending): from this one on, it is
  kFaultKillHalfway,     // the process killed inside a replace that stopped halfway (the old
                         // file only under its backup name, the new one not in)
  kFaultKindCount
};

#ifdef UPDATER_FAULT_INJECTION
// Counts one call of kind; true when the plan says this call must fail.
bool InjectFault(FaultKind kind);

// Forgets the counts and reads the plan again (unit tests).
void ResetFaultInjection();

// Appends one line with a pause's milliseconds to the file that
// UPDATER_PAUSE_LOG names (nothing when it is unset), so that tests check
// the pauses exactly instead of timing the run.
void LogTestPause(uint32_t milliseconds);
#else
inline bool InjectFault(FaultKind) { return false; }
inline void LogTestPause(uint32_t) {}
#endif
