// One run at a time, the run's log and the clock.
//
// The lock is the file ~3pu.lock in the installation folder, opened without
// any sharing and deleted when its handle is closed. The folder itself says
// which installation it is: every spelling of it (a short 8.3 name, a
// trailing dot, another case, a path through a share) reaches the same file,
// and the file system, not a name, decides. Only who may write the folder
// can hold the lock, and the installation's own permissions guard it; a run
// on another machine that updates the folder through a share meets it too.
// The system closes the handle when the process ends, however it ends, and
// the file goes with it, so a killed run blocks nobody; a file that a crash
// of the whole machine left is taken up by the next run. A named mutex
// beside the file would add nothing: the file reaches every session (and
// other machines through a share, which a mutex does not), a run that
// cannot create the file cannot write the folder either, and a name in the
// Global namespace is one that any local user can take first. The folder is
// made absolute and long (GetFullPathName, GetLongPathName) before the
// file's name is put to it. A look (/verify) opens the file for reading and
// deletion, shared with other looks only: looks run side by side, and an
// update meets them as it meets another update.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

struct PlatformLogRecord {
  HANDLE handle;  // opened for appending only
  bool created;   // the open made the file
  char path[MAX_PATH];
};

namespace {
constexpr UINT kShiftJis = 932;
constexpr size_t kWideScratch = 2048;
constexpr const wchar_t* kRunLockFile = L"\\~3pu.lock";
HANDLE g_run_lock = nullptr;  // held until the process ends
}  // namespace

RunLockResult PlatformTakeRunLock(const char* install_directory, RunLockMode mode) {
  wchar_t full[kWidePath];
  wchar_t path[kWidePath];
  if (!ToLongWidePath(install_directory, full, kWidePath)) return kRunLockUnavailable;
  DWORD length = GetLongPathNameW(full, path, kWidePath);
  if (length == 0 || length >= kWidePath) {  // a folder that is not there keeps its spelling
    std::wcscpy(path, full);
    length = static_cast<DWORD>(std::wcslen(path));
  }
  while (length > 0 && path[length - 1] == L'\\') --length;
  if (length + std::wcslen(kRunLockFile) + 1 > kWidePath) return kRunLockUnavailable;
  std::wcscpy(path + length, kRunLockFile);
  bool shared = mode == kRunLockShared;
  DWORD access = shared ? GENERIC_READ | DELETE : GENERIC_READ | GENERIC_WRITE | DELETE;
  DWORD share = shared ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
  HANDLE file = CreateFileW(path, access, share, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    g_run_lock = file;
    return kRunLockTaken;
  }
  switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
      return kRunLockBusy;
    case ERROR_ACCESS_DENIED:
      // A file there that may not be opened: the lock of a run that is
      // ending (its file about to be deleted), or one made read-only.
      return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? kRunLockBusy
                                                                 : kRunLockUnavailable;
    default:
      return kRunLockUnavailable;
  }
}

// With FILE_APPEND_DATA alone every write goes to the end of the file and
// never overwrites what is there, wherever another writer has moved it
// meanwhile; others may read and append while the run goes on. Each line is
// one write.
PlatformLog PlatformOpenLog(const char* path) {
  if (InjectFault(kFaultLog)) return nullptr;
  HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // (a name too long to keep is never deleted again)
  bool created = GetLastError() != ERROR_ALREADY_EXISTS && lstrlenA(path) < MAX_PATH;
  PlatformLog log = static_cast<PlatformLog>(std::malloc(sizeof(PlatformLogRecord)));
  if (log == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  log->handle = handle;
  log->created = created;
  lstrcpynA(log->path, path, MAX_PATH);
  return log;
}

bool PlatformAppendLog(PlatformLog log, const char* bytes, size_t count) {
  if (InjectFault(kFaultLog)) return false;
  DWORD wrote = 0;
  return WriteFile(log->handle, bytes, static_cast<DWORD>(count), &wrote, nullptr) &&
         wrote == count;
}

// Opened for no access at all, the file is only identified: its times stay
// as they are, and a holder without sharing does not stop the look.
SameFileAnswer PlatformLogIsFile(PlatformLog log, const char* path) {
  BY_HANDLE_FILE_INFORMATION log_info;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(log->handle, &log_info)) return kSameFileUnknown;
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kOtherFile
                                                                          : kSameFileUnknown;
  }
  bool known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return kSameFileUnknown;
  bool same = info.dwVolumeSerialNumber == log_info.dwVolumeSerialNumber &&
              info.nFileIndexHigh == log_info.nFileIndexHigh &&
              info.nFileIndexLow == log_info.nFileIndexLow;
  return same ? kSameFile : kOtherFile;
}

void PlatformCloseLog(PlatformLog log) {
  CloseHandle(log->handle);
  std::free(log);
}

// The file is deleted by its name once the handle is closed, when the open
// made it and it is still empty.
void PlatformDiscardLog(PlatformLog log) {
  LARGE_INTEGER size;
  bool empty = log->created && GetFileSizeEx(log->handle, &size) && size.QuadPart == 0;
  CloseHandle(log->handle);
  if (empty) DeleteFileA(log->path);
  std::free(log);
}

// Through UTF-16. A Windows without code page 932 keeps ASCII and shows
// every other byte as '?'.
size_t PlatformToUtf8(const char* text, size_t count, char* out, size_t capacity) {
  wchar_t wide[kWideScratch];
  int length = 0;
  if (count > 0 && count < kWideScratch && IsValidCodePage(kShiftJis)) {
    length = MultiByteToWideChar(kShiftJis, 0, text, static_cast<int>(count), wide, kWideScratch);
  }
  if (length > 0) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, length, out, static_cast<int>(capacity),
                                    nullptr, nullptr);
    if (bytes > 0) return static_cast<size_t>(bytes);
  }
  size_t used = 0;
  for (; used < count && used < capacity; ++used) {
    out[used] = (static_cast<unsigned char>(text[used]) < 0x80) ? text[used] : '?';
  }
  return used;
}

// Seconds since 1970-01-01 UTC: FILETIME counts 100 ns from 1601.
int64_t PlatformTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

void PlatformGetComputerName(char* out, size_t size) {
  if (size == 0) return;
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD length = sizeof name;
  if (!GetComputerNameA(name, &length)) length = 0;
  name[length] = '\0';
  lstrcpynA(out, name, static_cast<int>(size));
}

uint32_t PlatformProcessId() { return static_cast<uint32_t>(GetCurrentProcessId()); }
