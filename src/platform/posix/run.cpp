// One run at a time, the run's log and the clock, on the emulated machine.
//
// The lock is an flock on the file ~3pu.lock in the installation folder: the
// folder itself says which installation it is, however its path is spelled,
// and only who may write the folder can hold it. The kernel lets go of the
// lock when the process ends, however it ends, so a killed run blocks
// nobody (its file stays, and the next run takes it up). The holder deletes
// the file at its end, as Windows deletes its twin on close; a run that
// locked the file just as the holder deleted it holds a file with no name,
// sees that and takes the lock again on a new one. The descriptor is closed
// on exec, so a viewer started later does not inherit the lock. A look
// (/verify) holds the lock shared: looks run side by side, updates wait
// for none of them but stop. The last holder deletes the file: a shared
// holder does so only when it can have the lock alone at its end.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

struct PlatformLogRecord {
  int fd;                      // opened for appending
  bool created;                // the open made the file
  char host_path[kHostPathSize];
};

namespace {

constexpr const char* kRunLockFile = "~3pu.lock";
constexpr int kRunLockTries = 8;  // a holder deleting its file each time, at most

struct RunLock {
  int fd;                        // held until the process ends; -1: none
  bool shared;                   // held beside other looks
  char host_path[kHostPathSize];  // its file, deleted at the end
};
RunLock g_run_lock = {-1, false, {}};

// True when the open file is still the one at host_path.
bool IsStillNamed(int fd, const char* host_path) {
  struct stat open_status;
  struct stat named_status;
  return fstat(fd, &open_status) == 0 && stat(host_path, &named_status) == 0 &&
         open_status.st_dev == named_status.st_dev && open_status.st_ino == named_status.st_ino;
}

}  // namespace

RunLockResult PlatformTakeRunLock(const char* install_directory, RunLockMode mode) {
  size_t length = strlen(install_directory);
  while (length > 0 && strchr("\\/", install_directory[length - 1]) != nullptr) --length;
  char windows_path[kHostPathSize];
  char host[kHostPathSize];
  int used = snprintf(windows_path, sizeof windows_path, "%.*s\\%s", static_cast<int>(length),
                      install_directory, kRunLockFile);
  if (used < 0 || static_cast<size_t>(used) >= sizeof windows_path) return kRunLockUnavailable;
  if (!MapWindowsPath(windows_path, host)) return kRunLockUnavailable;
  for (int attempt = 0; attempt < kRunLockTries; ++attempt) {
    int fd = open(host, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return kRunLockUnavailable;
    int locked;
    int operation = mode == kRunLockShared ? LOCK_SH : LOCK_EX;
    while ((locked = flock(fd, operation | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
      bool busy = errno == EWOULDBLOCK;
      close(fd);
      return busy ? kRunLockBusy : kRunLockUnavailable;
    }
    if (IsStillNamed(fd, host)) {
      g_run_lock.fd = fd;
      g_run_lock.shared = mode == kRunLockShared;
      strcpy(g_run_lock.host_path, host);
      return kRunLockTaken;
    }
    close(fd);
  }
  return kRunLockUnavailable;
}

void ReleaseRunLock() {
  if (g_run_lock.fd < 0) return;
  if (!g_run_lock.shared || flock(g_run_lock.fd, LOCK_EX | LOCK_NB) == 0) {
    unlink(g_run_lock.host_path);
  }
  close(g_run_lock.fd);
  g_run_lock.fd = -1;
}

PlatformLog PlatformOpenLog(const char* path) {
  char host[kHostPathSize];
  if (InjectFault(kFaultLog) || !MapWindowsPath(path, host)) return nullptr;
  bool created = false;
  int fd = open(host, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(host, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    created = fd >= 0;
  }
  if (fd < 0) return nullptr;
  // A folder does not open, nor does a read-only file (refused even for
  // root here, as Windows refuses an administrator).
  struct stat status;
  if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode) || !HasWriteBits(status)) {
    close(fd);
    return nullptr;
  }
  PlatformLog log = static_cast<PlatformLog>(malloc(sizeof(PlatformLogRecord)));
  if (log == nullptr) {
    close(fd);
    return nullptr;
  }
  log->fd = fd;
  log->created = created;
  strcpy(log->host_path, host);
  return log;
}

bool PlatformAppendLog(PlatformLog log, const char* bytes, size_t count) {
  if (InjectFault(kFaultLog)) return false;
  while (count > 0) {
    ssize_t wrote = write(log->fd, bytes, count);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes += wrote;
    count -= static_cast<size_t>(wrote);
  }
  return true;
}

SameFileAnswer PlatformLogIsFile(PlatformLog log, const char* path) {
  char host[kHostPathSize];
  struct stat log_status;
  struct stat status;
  if (!MapWindowsPath(path, host) || fstat(log->fd, &log_status) != 0) return kSameFileUnknown;
  if (stat(host, &status) != 0) return errno == ENOENT ? kOtherFile : kSameFileUnknown;
  bool same = status.st_dev == log_status.st_dev && status.st_ino == log_status.st_ino;
  return same ? kSameFile : kOtherFile;
}

void PlatformCloseLog(PlatformLog log) {
  close(log->fd);
  free(log);
}

void PlatformDiscardLog(PlatformLog log) {
  struct stat status;
  if (log->created && fstat(log->fd, &status) == 0 && status.st_size == 0) unlink(log->host_path);
  PlatformCloseLog(log);
}

size_t PlatformToUtf8(const char* text, size_t count, char* out, size_t capacity) {
  static iconv_t converter = iconv_open("UTF-8", "CP932");
  char* in = const_cast<char*>(text);
  char* next = out;
  size_t out_left = capacity;
  while (count > 0 && out_left > 0) {
    if (converter == reinterpret_cast<iconv_t>(-1)) {
      // No converter: ASCII stays, every other byte shows as '?'.
      *next++ = (static_cast<unsigned char>(*in) < 0x80) ? *in : '?';
      ++in;
      --count;
      --out_left;
      continue;
    }
    if (iconv(converter, &in, &count, &next, &out_left) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) break;
    // A byte or pair that has no Unicode form (or a lead byte at the end).
    size_t skip = (IsLeadByte(static_cast<unsigned char>(*in)) && count >= 2) ? 2 : 1;
    in += skip;
    count -= skip;
    *next++ = '?';
    --out_left;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
  }
  return static_cast<size_t>(next - out);
}

int64_t PlatformTimeNow() { return static_cast<int64_t>(time(nullptr)); }

void PlatformGetComputerName(char* out, size_t size) {
  if (size == 0) return;
  if (gethostname(out, size) != 0) out[0] = '\0';
  out[size - 1] = '\0';
}

uint32_t PlatformProcessId() { return static_cast<uint32_t>(getpid()); }
