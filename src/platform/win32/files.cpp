// Reading files, file status, attributes, folders and file times through the
// C runtime's streams and the ANSI Win32 calls.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/holder_retry.h"
#include "platform/platform.h"
#include "platform/read_ring.h"
#include "platform/win32/win32_internal.h"

struct PlatformFileRecord {
  HANDLE handle;   // open for reading, shared for reading only
  bool read_failed;  // a read of it failed
  ReadRing ring;   // the chunks reads are served from, hashed behind
  HANDLE hasher;   // the ring's hasher thread, once started
};

namespace {

// 100-ns ticks between 1601-01-01 (FILETIME's origin) and 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// CreateDirectoryA refuses paths of this length and more: a folder must
// leave room for an 8.3 name inside it within MAX_PATH.
constexpr size_t kMaxAnsiFolderPath = 248;


FILETIME ToFileTime(int64_t seconds) {
  uint64_t ticks = static_cast<uint64_t>(seconds * kTicksPerSecond + kUnixEpochTicks);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

// Whole seconds since 1970, rounded down, so that a time set from seconds
// reads back as the same seconds on file systems that keep fractions.
int64_t ToUnixSeconds(FILETIME time) {
  int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                       time.dwLowDateTime) -
                  kUnixEpochTicks;
  int64_t seconds = ticks / kTicksPerSecond;
  if (ticks % kTicksPerSecond < 0) --seconds;
  return seconds;
}

}  // namespace

bool IsHeldError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// CreateFileA for reading with FILE_SHARE_READ alone: other programs may
// read the archive but neither write, rename nor delete it while it is open,
// so the bytes checked are the bytes installed. Reads are served from a
// ring of large chunks (read_ring.h): few system calls, hashed behind the
// reader. nullptr when the file cannot be opened (a folder does not open
// without FILE_FLAG_BACKUP_SEMANTICS), or a fault is planned.
namespace {

PlatformFile OpenFile(const char* path) {
  if (InjectFault(kFaultOpenRead)) return nullptr;
  HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  PlatformFile file = static_cast<PlatformFile>(std::calloc(1, sizeof(PlatformFileRecord)));
  if (file == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  file->handle = handle;
  return file;
}

HANDLE OpenExistingShared(const char* path, DWORD access) {
  DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  if (!IsLongPath(path)) {
    return CreateFileA(path, access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  wchar_t wide[kWidePath];
  if (!ToLongWidePath(path, wide, kWidePath)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide, access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

}  // namespace

PlatformFile PlatformOpenForReading(const char* path) { return OpenFile(path); }

bool PlatformReadFailed(PlatformFile file) { return file == nullptr || file->read_failed; }

// The handle may write attributes only so that SetFileTime can tell the
// system, with a time of all ones, to leave the last-access time alone for
// what is read through it. Who may not write a file's attributes (a user
// without administrator rights below Program Files) reads it plainly: the
// answer matters more, and such a user's read is what the system records
// anyway. Everything is shared: looking at a file stops nobody.
PlatformFile PlatformOpenToLook(const char* path, bool* absent) {
  *absent = false;
  if (InjectFault(kFaultOpenRead)) return nullptr;
  HANDLE handle = OpenExistingShared(path, GENERIC_READ | FILE_WRITE_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = OpenExistingShared(path, GENERIC_READ);
  } else if (handle != INVALID_HANDLE_VALUE) {
    // Refused (a file system that does not take the all-ones time), the
    // file is read plainly, as for a user without the right: the answer
    // matters more than its last-access time.
    FILETIME keep = {0xFFFFFFFFu, 0xFFFFFFFFu};
    SetFileTime(handle, nullptr, &keep, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    *absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  PlatformFile file = nullptr;
  if (GetFileInformationByHandle(handle, &info) &&
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    file = static_cast<PlatformFile>(std::calloc(1, sizeof(PlatformFileRecord)));
  }
  if (file == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  file->handle = handle;
  return file;
}

size_t PlatformReadFile(PlatformFile file, void* destination, size_t count) {
  if (file == nullptr) return 0;
  return ReadThroughRing(file, &file->ring, destination, count);
}

namespace {

bool SeekTo(HANDLE handle, uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

bool PlatformReadFileTail(PlatformFile file, uint8_t* tail, size_t count, uint64_t* file_size,
                          size_t* got) {
  *got = 0;
  LARGE_INTEGER size;
  if (file == nullptr) return false;
  SetLastError(NO_ERROR);
  DWORD type = GetFileType(file->handle);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return false;
  if (type != FILE_TYPE_DISK) {
    *file_size = UINT64_MAX;
    return true;
  }
  if (!GetFileSizeEx(file->handle, &size)) return false;
  *file_size = static_cast<uint64_t>(size.QuadPart);
  size_t want = *file_size < count ? static_cast<size_t>(*file_size) : count;
  bool read = SeekTo(file->handle, *file_size - want);
  while (read && *got < want) {
    DWORD read_now = 0;
    read = ReadFile(file->handle, tail + *got, static_cast<DWORD>(want - *got), &read_now, nullptr) &&
           read_now > 0;
    *got += read_now;
  }
  return SeekTo(file->handle, 0) && read;
}

bool PlatformRewindFile(PlatformFile file) {
  if (file == nullptr) return false;
  ResetReadRing(&file->ring);
  return SeekTo(file->handle, 0);
}

void PlatformDigestWhileReading(PlatformFile file, uint64_t limit) {
  if (file != nullptr) StartRingDigest(file, &file->ring, limit);
}

bool PlatformFinishReadDigest(PlatformFile file, uint8_t* out) {
  if (file == nullptr) return false;
  return FinishRingDigest(file, &file->ring, out);
}

void PlatformCloseFile(PlatformFile file) {
  if (file == nullptr) return;
  CloseReadRing(file, &file->ring);
  CloseHandle(file->handle);
  std::free(file);
}

// ---- the read ring's own (read_ring.h) ----

namespace {

struct ReadSync {
  SRWLOCK lock;                // guards every ring's shared counts
  CONDITION_VARIABLE changed;  // a count moved, or a hasher is to stop
};

ReadSync g_read_sync = {SRWLOCK_INIT, CONDITION_VARIABLE_INIT};

// The files whose hasher thread runs, so that the end of the process can
// stop them first: exit's clean-up must not run beside a thread inside CNG
// (the updater holds one archive at a time).
constexpr int kMaxHashedFiles = 4;
PlatformFile g_hashed_files[kMaxHashedFiles];

DWORD WINAPI RunReadThread(void* ring) {
  RunReadHasher(static_cast<ReadRing*>(ring));
  return 0;
}

}  // namespace

size_t ReadFileChunk(PlatformFile file, uint8_t* destination, size_t count) {
  DWORD got = 0;
  if (!ReadFile(file->handle, destination, static_cast<DWORD>(count), &got, nullptr)) {
    file->read_failed = true;
    return 0;
  }
  return got;
}

void LockReadRings() { AcquireSRWLockExclusive(&g_read_sync.lock); }
void UnlockReadRings() { ReleaseSRWLockExclusive(&g_read_sync.lock); }
void WaitForReadChange() {
  SleepConditionVariableSRW(&g_read_sync.changed, &g_read_sync.lock, INFINITE, 0);
}
void WakeReadWaiters() { WakeAllConditionVariable(&g_read_sync.changed); }

bool StartReadThread(PlatformFile file, ReadRing* ring) {
  int free_place = 0;
  while (free_place < kMaxHashedFiles && g_hashed_files[free_place] != nullptr) ++free_place;
  if (free_place == kMaxHashedFiles) return false;  // hashed by the reader itself
  file->hasher = CreateThread(nullptr, 0, RunReadThread, ring, 0, nullptr);
  if (file->hasher != nullptr) g_hashed_files[free_place] = file;
  return file->hasher != nullptr;
}

void JoinReadThread(PlatformFile file) {
  WaitForSingleObject(file->hasher, INFINITE);
  CloseHandle(file->hasher);
  file->hasher = nullptr;
  for (PlatformFile& hashed : g_hashed_files) {
    if (hashed == file) hashed = nullptr;
  }
}

void StopReadHashers() {
  for (PlatformFile file : g_hashed_files) {
    if (file != nullptr) StopReadHasher(file, &file->ring);
  }
}

// The existence probe: a file that opens for reading exists; one that is
// not found (or a name no file can have) is absent, and so is a folder. A
// program that holds the file without read sharing is waited for, as for
// any held file (the waits of RetryWhileHeld, without the injector's "held"
// kind, whose counts belong to the writes); still held after the last wait,
// or any other failure (access denied), leaves it unknown.
PlatformPresence PlatformProbeFile(const char* path) {
  if (InjectFault(kFaultOpenRead)) return kPresenceUnknown;
  constexpr size_t kWaits = sizeof kHolderWaitsMs / sizeof kHolderWaitsMs[0];
  for (size_t waited = 0;; ++waited) {
    HANDLE file = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return kFilePresent;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) {
      return kFileAbsent;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return kFileAbsent;
    }
    if (!IsHeldError(error) || waited == kWaits || PauseForHolder(kHolderWaitsMs[waited])) {
      return kPresenceUnknown;
    }
  }
}

bool PlatformGetFileIdentity(const char* path, PlatformFileIdentity* identity) {
  HANDLE handle = CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  if (!known) return false;
  identity->volume = information.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
                    information.nFileIndexLow;
  identity->links = information.nNumberOfLinks;
  return true;
}

// The last-write time straight from the file system's UTC FILETIME, so that
// no time-zone or daylight-saving rule can shift it.
bool PlatformQueryLastWriteTime(const char* path, int64_t* seconds) {
  if (InjectFault(kFaultQueryTime)) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
  *seconds = ToUnixSeconds(data.ftLastWriteTime);
  return true;
}

// A reparse point is a link only where its tag is a name surrogate (a
// symbolic link, a junction, a mount point). Other tags (data deduplication,
// files compressed by the overlay filter, cloud placeholders) mark files
// that are plain files to their users: the bit is left out of their word,
// so that they are replaced like any file. A tag that cannot be read keeps
// the bit, and the file is not replaced.
uint32_t PlatformGetFileAttributes(const char* path) {
  if (InjectFault(kFaultGetAttributes)) return kInvalidFileAttributes;
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return attributes;
  }
  WIN32_FIND_DATAA found;
  HANDLE listing = FindFirstFileA(path, &found);
  if (listing == INVALID_HANDLE_VALUE) return attributes;
  FindClose(listing);
  bool tag_read = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (tag_read && !IsReparseTagNameSurrogate(found.dwReserved0)) {
    return attributes & ~FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return attributes;
}

bool PlatformSetFileAttributes(const char* path, uint32_t attributes) {
  if (InjectFault(kFaultSetAttributes)) return false;
  return SetFileAttributesA(path, attributes) != 0;
}

// CreateDirectoryA with a 12-byte SECURITY_ATTRIBUTES: default security and
// an inheritable handle flag. A folder path of 248 characters or more goes
// to the wide call in the "\\?\" form, which has no such limit, so every
// destination of up to 255 characters gets its folders.
bool PlatformListFiles(const char* folder, void (*found)(void* context, const char* name),
                       void* context) {
  char pattern[MAX_PATH];
  if (snprintf(pattern, sizeof pattern, "%s\\*", folder) >= static_cast<int>(sizeof pattern)) {
    return false;
  }
  WIN32_FIND_DATAA item;
  HANDLE listing = FindFirstFileA(pattern, &item);
  if (listing == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  do {
    if ((item.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
      found(context, item.cFileName);
    }
  } while (FindNextFileA(listing, &item));
  bool whole = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(listing);
  return whole;
}

bool PlatformCreateDirectory(const char* path) {
  if (InjectFault(kFaultCreateDirectory)) return false;
  SECURITY_ATTRIBUTES security;
  // The record is a length, a pointer and a BOOL: 12 bytes on 32-bit
  // Windows, 24 on 64-bit (the pointer is 8 bytes and aligned to 8).
  static_assert(sizeof security == (sizeof(void*) == 4 ? 12 : 24),
                "SECURITY_ATTRIBUTES has the layout of its target");
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  if (std::strlen(path) < kMaxAnsiFolderPath) return CreateDirectoryA(path, &security) != 0;
  wchar_t wide[kWidePath];
  return ToLongWidePath(path, wide, kWidePath) && CreateDirectoryW(wide, &security) != 0;
}

bool PlatformRemoveDirectory(const char* path) { return RemoveDirectoryA(path) != 0; }

// Sets last-access and last-write to seconds in one SetFileTime call; the
// creation time is passed as null and so stays. FILE_WRITE_ATTRIBUTES is all
// that the call needs, and sharing everything keeps a viewer that already
// shows the file from making the call fail.
bool PlatformSetFileTimes(const char* path, int64_t seconds) {
  if (InjectFault(kFaultSetTimes)) return false;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!IsLongPath(path)) {
    file = CreateFileA(path, FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  } else {
    // The temporary file beside a destination deep down may be past MAX_PATH.
    wchar_t wide[kWidePath];
    if (!ToLongWidePath(path, wide, kWidePath)) return false;
    file = CreateFileW(wide, FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME time = ToFileTime(seconds);
  BOOL done = SetFileTime(file, nullptr, &time, &time);
  BOOL closed = CloseHandle(file);
  return done && closed;
}

// No file in an existing folder: true (the replace creates it). A folder or
// a read-only file: false. Otherwise the file must open with the access that
// the replace needs (reading, writing its attributes, deleting it) while
// sharing everything, so only a program that denies that sharing counts as
// holding it; a scanner or indexer that shares fully does not. A holder is
// waited for (RetryWhileHeld). The handle is closed at once and nothing is
// changed.
bool PlatformCanWriteExisting(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  // Only a missing file in an existing folder can be created; a missing
  // folder (a slash in a name also names one) cannot hold it.
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  // Windows refuses to open a read-only file for writing, even for an
  // administrator; Wine running as root would not, so the bit is read here.
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return false;
  return RetryWhileHeld([&] {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return kAttemptDone;
    }
    return IsHeldError(GetLastError()) ? kAttemptHeld : kAttemptFailed;
  });
}
