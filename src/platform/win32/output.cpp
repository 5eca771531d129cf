// The output of one entry: a new temporary file beside the destination,
// written through a large buffer, then put in the destination's place in one
// step (ReplaceFileA keeps the old file's attributes and creation time).
//
// A staged file is written by a second thread from a ring of slices that
// the decoder fills in place, so that writing overlaps decoding; it is
// opened with the right to delete it, so that a discard marks it for
// deletion through its own handle (done when the last holder lets go).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/holder_retry.h"
#include "platform/platform.h"
#include "platform/stage_ring.h"
#include "platform/win32/win32_internal.h"

namespace {

constexpr size_t kOutputFileBufferSize = 64 * 1024;

}  // namespace

struct PlatformOutputRecord {
  HANDLE file;         // the temporary file, opened for writing
  size_t filled;       // bytes waiting in buffer
  bool failed;         // a write has failed: the file is not to be used
  StagedPart stage;    // of a staged file
  uint8_t buffer[kOutputFileBufferSize];
};

namespace {

constexpr int kTempNameTries = 256;  // distinct names tried before giving up
constexpr size_t kWidePath = 1024;

struct TempNames {
  unsigned counter;  // next number tried; seeded from the process id
  bool seeded;
};
TempNames g_temp_names;

// Copies the part of destination up to and including its last separator
// into folder (kMaxTempPath bytes), reading the path as the file calls do:
// '\\' and '/' both separate, and a two-byte character of the ANSI code page
// is read whole, so its second byte is never taken for a separator. Without
// a separator the file goes to the current folder (of the named drive).
// False when the folder does not fit.
bool CopyParentFolder(const char* destination, char* folder) {
  size_t end = 0;
  if (destination[0] != '\0' && destination[1] == ':') end = 2;
  for (size_t i = 0; destination[i] != '\0'; ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(destination[i])) && destination[i + 1] != '\0') {
      ++i;
    } else if (destination[i] == '\\' || destination[i] == '/') {
      end = i + 1;
    }
  }
  if (end >= kMaxTempPath) return false;
  std::memcpy(folder, destination, end);
  folder[end] = '\0';
  return true;
}

// Opens path (ANSI, or the wide long form when it is too long) as a new file
// with access (GENERIC_WRITE, and DELETE for a staged file).
HANDLE CreateNewFile(const char* path, DWORD access) {
  if (!IsLongPath(path)) {
    return CreateFileA(path, access, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  wchar_t wide[kWidePath];
  if (!ToLongWidePath(path, wide, kWidePath)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide, access, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Writes the buffered bytes; a short or failed write marks the output failed.
bool FlushOutput(PlatformOutput output) {
  size_t done = 0;
  while (!output->failed && done < output->filled) {
    DWORD wrote = 0;
    DWORD chunk = static_cast<DWORD>(output->filled - done);
    if (!WriteFile(output->file, output->buffer + done, chunk, &wrote, nullptr) || wrote == 0) {
      output->failed = true;
    }
    done += wrote;
  }
  output->filled = 0;
  return !output->failed;
}

// Failures of a replace that a moment's wait can cure: another process (a
// virus scanner, an indexer, a viewer that is closing) still holds the
// destination or the new file, or a file there is pending deletion. With
// ERROR_UNABLE_TO_REMOVE_REPLACED nothing has moved yet.
AttemptResult ReplaceFailure(DWORD error) {
  bool held = IsHeldError(error) || error == ERROR_ACCESS_DENIED ||
              error == ERROR_UNABLE_TO_REMOVE_REPLACED;
  return held ? kAttemptHeld : kAttemptFailed;
}

// Creates "~3puXXXX.tmp" (four hex digits) in the folder that destination
// names, with CREATE_NEW, so an existing file is never reused; a taken name
// moves on to the next number. nullptr when no name is free or the folder
// refuses the file (missing, read-only medium, full).
PlatformOutput OpenTempOutput(const char* destination, char* temp_path, DWORD access) {
  char folder[kMaxTempPath];
  if (!CopyParentFolder(destination, folder)) return nullptr;
  if (!g_temp_names.seeded) {
    g_temp_names.counter = GetCurrentProcessId() * 7u;
    g_temp_names.seeded = true;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kTempNameTries && file == INVALID_HANDLE_VALUE; ++attempt) {
    unsigned number = g_temp_names.counter++ & 0xFFFFu;
    int length = std::snprintf(temp_path, kMaxTempPath, "%s~3pu%04X.tmp", folder, number);
    if (length < 0 || static_cast<size_t>(length) >= kMaxTempPath) return nullptr;
    file = CreateNewFile(temp_path, access);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return nullptr;
    }
  }
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  PlatformOutput output = static_cast<PlatformOutput>(std::malloc(sizeof(PlatformOutputRecord)));
  if (output == nullptr) {
    CloseHandle(file);
    return nullptr;
  }
  output->file = file;
  output->filled = 0;
  output->failed = false;
  output->stage = StagedPart{false, 0, 0};
  return output;
}

// ---- the stage writer's own parts ----

struct StageSync {
  SRWLOCK lock;                // guards the ring's counts and pieces
  CONDITION_VARIABLE changed;  // either count moved
};

StageSync g_stage_sync = {SRWLOCK_INIT, CONDITION_VARIABLE_INIT};

DWORD WINAPI RunStageThread(void*) {
  RunStageWriter();
  return 0;
}

}  // namespace

StagedPart* StagedPartOf(PlatformOutput output) { return &output->stage; }
void LockStageRing() { AcquireSRWLockExclusive(&g_stage_sync.lock); }
void UnlockStageRing() { ReleaseSRWLockExclusive(&g_stage_sync.lock); }
void WaitForStageChange() {
  SleepConditionVariableSRW(&g_stage_sync.changed, &g_stage_sync.lock, INFINITE, 0);
}
void WakeStageWaiters() { WakeAllConditionVariable(&g_stage_sync.changed); }

// The thread runs until the process ends.
bool StartStageThread() {
  HANDLE thread = CreateThread(nullptr, 0, RunStageThread, nullptr, 0, nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);
  return true;
}

bool WriteStagePiece(PlatformOutput output, const uint8_t* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    DWORD wrote = 0;
    DWORD chunk = static_cast<DWORD>(size - done);
    if (!WriteFile(output->file, bytes + done, chunk, &wrote, nullptr) || wrote == 0) return false;
    done += wrote;
  }
  return true;
}

PlatformOutput PlatformCreateTempFile(const char* destination, char* temp_path) {
  if (InjectFault(kFaultCreateTemp)) return nullptr;
  return OpenTempOutput(destination, temp_path, GENERIC_WRITE);
}

PlatformOutput PlatformStartStagedFile(const char* destination, char* temp_path) {
  if (!StartStageRing()) return nullptr;
  PlatformOutput output = OpenTempOutput(destination, temp_path, GENERIC_WRITE | DELETE);
  if (output != nullptr) output->stage.staged = true;
  return output;
}

bool PlatformConfirmOutput(PlatformOutput output, size_t) {
  if (InjectFault(kFaultWrite) || IsBehindFailed(output)) output->failed = true;
  return !output->failed;
}

bool PlatformDiscardStagedFile(PlatformOutput output) {
  MarkBehindFailed(output);
  WaitForStageWriter(output);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  bool deleted = !InjectFault(kFaultDelete) && SetFileInformationByHandle(output->file, FileDispositionInfo, &disposition,
                                            sizeof disposition) != 0;
  CloseHandle(output->file);
  std::free(output);
  return deleted;
}

// Appends count bytes through the buffer. False once any write has failed.
bool PlatformWriteOutput(PlatformOutput output, const void* bytes, size_t count) {
  if (InjectFault(kFaultWrite)) output->failed = true;
  const uint8_t* next = static_cast<const uint8_t*>(bytes);
  while (!output->failed && count > 0) {
    size_t room = sizeof output->buffer - output->filled;
    size_t take = count < room ? count : room;
    std::memcpy(output->buffer + output->filled, next, take);
    output->filled += take;
    next += take;
    count -= take;
    if (output->filled == sizeof output->buffer) FlushOutput(output);
  }
  return !output->failed;
}

// Writes what is buffered, flushes it to the disk and closes. False when any
// write, the flush or the close failed; the record is released either way.
bool PlatformCloseOutput(PlatformOutput output) {
  if (output->stage.staged) {
    PlatformFinishStaging(output);
    WaitForStageWriter(output);
    if (IsBehindFailed(output)) output->failed = true;
  }
  bool good = !InjectFault(kFaultClose);
  good = FlushOutput(output) && good;
  // The bytes reach the disk before the file can take the destination's
  // place; a delayed write the disk refuses shows here.
  if (good && (InjectFault(kFaultFlush) || !FlushFileBuffers(output->file))) good = false;
  good = CloseHandle(output->file) != 0 && good;
  std::free(output);
  return good;
}

void PlatformAbandonOutput(PlatformOutput output) {
  if (output->stage.staged) {
    // The writer skips what is still queued of it, then lets it go.
    MarkBehindFailed(output);
    WaitForStageWriter(output);
  }
  CloseHandle(output->file);
  std::free(output);
}

// DeleteFile, waiting for a holder: a scanner may still be reading a
// temporary file that was just closed.
bool PlatformDeleteFile(const char* path) {
  if (InjectFault(kFaultKill)) TerminateProcess(GetCurrentProcess(), 137);
  if (InjectFault(kFaultDelete)) return false;
  wchar_t wide[kWidePath];
  if (IsLongPath(path) && !ToLongWidePath(path, wide, kWidePath)) return false;
  return RetryWhileHeld([&] {
    BOOL deleted = IsLongPath(path) ? DeleteFileW(wide) : DeleteFileA(path);
    if (deleted) return kAttemptDone;
    return IsHeldError(GetLastError()) ? kAttemptHeld : kAttemptFailed;
  });
}

namespace {

bool FileExists(const char* path) {
  if (!IsLongPath(path)) return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  wchar_t wide[kWidePath];
  return ToLongWidePath(path, wide, kWidePath) &&
         GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

// One write-through move that replaces an existing file at to: the call
// returns only when the move is on the disk.
bool MoveWriteThrough(const char* from, const char* to) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (!IsLongPath(from) && !IsLongPath(to)) return MoveFileExA(from, to, flags) != 0;
  wchar_t wide_from[kWidePath];
  wchar_t wide_to[kWidePath];
  return ToLongWidePath(from, wide_from, kWidePath) && ToLongWidePath(to, wide_to, kWidePath) &&
         MoveFileExW(wide_from, wide_to, flags) != 0;
}

// Picks "~3puXXXX.bak" beside destination, a name no file has.
bool PickBackupName(const char* destination, char* backup_path) {
  char folder[kMaxTempPath];
  if (!CopyParentFolder(destination, folder)) return false;
  for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
    unsigned number = g_temp_names.counter++ & 0xFFFFu;
    int length = std::snprintf(backup_path, kMaxTempPath, "%s~3pu%04X.bak", folder, number);
    if (length < 0 || static_cast<size_t>(length) >= kMaxTempPath) break;
    if (!FileExists(backup_path)) return true;
  }
  backup_path[0] = '\0';
  return false;
}

// ReplaceFile with a backup name. Where the wide call refuses "\\?\" names
// (Wine), two write-through moves do the same, the old file first.
bool ReplaceWithBackupName(const char* source, const char* destination, const char* backup) {
  if (!IsLongPath(source) && !IsLongPath(destination) && !IsLongPath(backup)) {
    return ReplaceFileA(destination, source, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                        nullptr) != 0;
  }
  wchar_t wide_source[kWidePath];
  wchar_t wide_destination[kWidePath];
  wchar_t wide_backup[kWidePath];
  if (!ToLongWidePath(source, wide_source, kWidePath) ||
      !ToLongWidePath(destination, wide_destination, kWidePath) ||
      !ToLongWidePath(backup, wide_backup, kWidePath)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (ReplaceFileW(wide_destination, wide_source, wide_backup, REPLACEFILE_IGNORE_MERGE_ERRORS,
                   nullptr, nullptr)) {
    return true;
  }
  if (GetLastError() != ERROR_INVALID_NAME) return false;
  if (!MoveWriteThrough(destination, backup)) return false;
  if (MoveWriteThrough(source, destination)) return true;
  SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
  return false;
}

// The destination has no file after a failed replace (ReplaceFile's
// ERROR_UNABLE_TO_MOVE_REPLACEMENT and _2 leave it so): the old file goes
// back from its backup name, or else the new one goes in. Nothing is deleted.
ReplaceOutcome SettleHalfway(const char* source, const char* destination, char* backup_path) {
  if (backup_path[0] != '\0' && FileExists(backup_path)) {
    if (!InjectFault(kFaultRestore) && MoveWriteThrough(backup_path, destination)) {
      backup_path[0] = '\0';
      return kNotReplaced;
    }
  } else {
    backup_path[0] = '\0';
  }
  return MoveWriteThrough(source, destination) ? kReplaced : kStranded;
}

}  // namespace

// ReplaceFile keeps the old file under a backup name until the caller is done
// with it (it keeps the old file's attribute word and creation time for the
// new one). Its documented failures leave one of three states, each settled
// so the destination is old or new: ERROR_UNABLE_TO_REMOVE_REPLACED, nothing
// moved; ERROR_UNABLE_TO_MOVE_REPLACEMENT, the files keep their names (or,
// without a backup name, the destination is gone); ERROR_UNABLE_TO_MOVE_
// REPLACEMENT_2, the old file is under the backup name and the new one under
// its own. The state is read from the disk rather than from the code.
ReplaceOutcome PlatformReplaceKeepingBackup(const char* source, const char* destination,
                                            uint32_t final_attributes, char* backup_path) {
  backup_path[0] = '\0';
  if (InjectFault(kFaultKill)) TerminateProcess(GetCurrentProcess(), 137);
  if (InjectFault(kFaultReplace)) return kNotReplaced;
  // The system refuses to replace a read-only file.
  DWORD attributes = GetFileAttributesA(destination);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    if (!SetFileAttributesA(destination, attributes & ~FILE_ATTRIBUTE_READONLY)) return kNotReplaced;
  }
  ReplaceOutcome outcome = kNotReplaced;
  if (!FileExists(destination)) {
    RetryWhileHeld([&] {
      if (MoveWriteThrough(source, destination)) {
        outcome = kReplaced;
        return kAttemptDone;
      }
      return ReplaceFailure(GetLastError());
    });
  } else if (PickBackupName(destination, backup_path)) {
    if (InjectFault(kFaultReplaceHalfway)) {
      // The state ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 leaves.
      if (!MoveWriteThrough(destination, backup_path)) backup_path[0] = '\0';
      else outcome = SettleHalfway(source, destination, backup_path);
      return outcome;
    }
    RetryWhileHeld([&] {
      if (ReplaceWithBackupName(source, destination, backup_path)) {
        outcome = kReplaced;
        return kAttemptDone;
      }
      DWORD error = GetLastError();
      if (!FileExists(destination)) {
        outcome = SettleHalfway(source, destination, backup_path);
        return kAttemptDone;
      }
      if (!FileExists(source)) {
        outcome = kReplaced;  // the new file is in after all
        return kAttemptDone;
      }
      // Nothing moved: the destination holds the old file, so a backup copy
      // that may have been made is not the only one.
      if (FileExists(backup_path)) DeleteFileA(backup_path);
      return ReplaceFailure(error);
    });
  }
  if (outcome != kReplaced) {
    if (outcome == kNotReplaced) backup_path[0] = '\0';
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        FileExists(destination) && outcome == kNotReplaced) {
      SetFileAttributesA(destination, attributes);
    }
    return outcome;
  }
  if (backup_path[0] != '\0' && !FileExists(backup_path)) backup_path[0] = '\0';
  // The final word is part of the replace: a new file that cannot have it
  // does not stay in place.
  if (InjectFault(kFaultSetAttributes) || !SetFileAttributesA(destination, final_attributes)) {
    if (backup_path[0] != '\0' && MoveFileExA(destination, source, MOVEFILE_WRITE_THROUGH) &&
        MoveFileExA(backup_path, destination, MOVEFILE_WRITE_THROUGH)) {
      backup_path[0] = '\0';
      return kNotReplaced;
    }
    if (backup_path[0] == '\0' && MoveFileExA(destination, source, MOVEFILE_WRITE_THROUGH)) {
      return kNotReplaced;
    }
  }
  return kReplaced;
}

bool PlatformRestoreBackup(const char* backup, const char* destination) {
  if (InjectFault(kFaultRestore)) return false;
  return RetryWhileHeld([&] {
    if (MoveWriteThrough(backup, destination)) return kAttemptDone;
    return ReplaceFailure(GetLastError());
  });
}
