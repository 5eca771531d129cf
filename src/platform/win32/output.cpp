// The output of one entry: a new temporary file beside the destination,
// written through a large buffer; replace.cpp then puts it in the
// destination's place. The file's identity (volume and file ID) is noted
// when it is closed, so that the replace can tell from the disk whether the
// destination holds it.
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
  char path[kMaxTempPath];  // its full path
  size_t filled;       // bytes waiting in buffer
  bool failed;         // a write has failed: the file is not to be used
  StagedPart stage;    // of a staged file
  uint8_t buffer[kOutputFileBufferSize];
};

namespace {

struct TempNames {
  unsigned counter;  // next number tried; seeded from the process id
  bool seeded;
};
TempNames g_temp_names;

}  // namespace

unsigned NextTempNumber() {
  if (!g_temp_names.seeded) {
    g_temp_names.counter = GetCurrentProcessId() * 7u;
    g_temp_names.seeded = true;
  }
  return g_temp_names.counter++ & 0xFFFFu;
}

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

namespace {

// DeleteFile, tried again while another program holds the file. A file
// that is gone already (a scanner took it away), or whose folder is gone,
// needs no deletion.
bool DeleteWhileHeld(const char* path) {
  wchar_t wide[kWidePath];
  if (IsLongPath(path) && !ToLongWidePath(path, wide, kWidePath)) return false;
  return RetryWhileHeld([&] {
    BOOL deleted = IsLongPath(path) ? DeleteFileW(wide) : DeleteFileA(path);
    DWORD error = deleted ? ERROR_SUCCESS : GetLastError();
    if (deleted || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return kAttemptDone;
    }
    return IsHeldError(error) ? kAttemptHeld : kAttemptFailed;
  });
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

// Creates "~3puXXXX.tmp" (four hex digits) in the folder that destination
// names, with CREATE_NEW, so an existing file is never reused; a taken name
// moves on to the next number. nullptr when no name is free or the folder
// refuses the file (missing, read-only medium, full).
PlatformOutput OpenTempOutput(const char* destination, char* temp_path, DWORD access) {
  char folder[kMaxTempPath];
  if (!CopyParentFolder(destination, folder)) return nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kTempNameTries && file == INVALID_HANDLE_VALUE; ++attempt) {
    unsigned number = NextTempNumber();
    int length = std::snprintf(temp_path, kMaxTempPath, "%s~3pu%04X.tmp", folder, number);
    if (length < 0 || static_cast<size_t>(length) >= kMaxTempPath) break;
    file = CreateNewFile(temp_path, access);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    temp_path[0] = '\0';  // no file was made under the name tried
    return nullptr;
  }
  PlatformOutput output = static_cast<PlatformOutput>(std::malloc(sizeof(PlatformOutputRecord)));
  if (output == nullptr) {
    CloseHandle(file);
    return nullptr;
  }
  output->file = file;
  std::snprintf(output->path, sizeof output->path, "%s", temp_path);
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
  temp_path[0] = '\0';
  if (InjectFault(kFaultCreateTemp)) return nullptr;
  return OpenTempOutput(destination, temp_path, GENERIC_WRITE);
}

PlatformOutput PlatformStartStagedFile(const char* destination, char* temp_path) {
  temp_path[0] = '\0';
  if (!StartStageRing()) return nullptr;
  PlatformOutput output = OpenTempOutput(destination, temp_path, GENERIC_WRITE | DELETE);
  if (output != nullptr) output->stage.staged = true;
  return output;
}

bool PlatformConfirmOutput(PlatformOutput output, size_t) {
  if (InjectFault(kFaultWrite) || IsBehindFailed(output)) output->failed = true;
  return !output->failed;
}

// Marks the file for deletion through its own handle: the file goes when
// the last holder (a scanner that opened it meanwhile) lets go, so it is
// not left behind. Where the system refuses that, it is deleted by name once
// the handle is closed, waiting for a holder. The fault injector sees the
// discard as one deletion.
bool PlatformDiscardStagedFile(PlatformOutput output) {
  MarkBehindFailed(output);
  WaitForStageWriter(output);
  bool refused = InjectFault(kFaultDelete);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  bool marked = !refused && SetFileInformationByHandle(output->file, FileDispositionInfo,
                                                       &disposition, sizeof disposition) != 0;
  CloseHandle(output->file);
  bool gone = marked || (!refused && DeleteWhileHeld(output->path));
  std::free(output);
  return gone;
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
  if (good) NoteClosedFile(output->path, output->file);
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
  return DeleteWhileHeld(path);
}
