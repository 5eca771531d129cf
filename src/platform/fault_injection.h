// Fault injection for tests: makes the N-th call of one kind of OS operation
// fail, so the callers' failure paths can be proven without a full disk or a
// locked file.
//
// The plan comes from the environment variable UPDATER_FAULTS, a list such as
// "write=3,close=1": the third write and the first close fail (each once).
// Without the variable nothing ever fails. Both platform implementations call
// InjectFault at the top of each operation of the kinds below.
#pragma once

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
  kFaultReplace,         // the one-step replace of the destination
  kFaultKindCount
};

// Counts one call of kind; true when the plan says this call must fail.
bool InjectFault(FaultKind kind);

// Forgets the counts and reads the plan again (unit tests).
void ResetFaultInjection();
