// Reading files, their status, attributes, times and folders on the
// emulated machine.
//
// The attribute word is made from the file's mode: DIRECTORY for a folder,
// ARCHIVE for any other file (Windows sets it on every file written, so a
// freshly written file reports 0x20 as there), and READONLY when no write
// permission bit is set. Only READONLY can be changed; the other bits have
// no place to live on disk and are ignored when set. A symbolic link, or
// anything else that is neither a file nor a folder, stands for a reparse
// point: it reports REPARSE_POINT, and the calls that change a file never
// follow it to its target.
#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/holder_retry.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

struct PlatformFileRecord {
  FILE* stream;  // buffered binary reading
  char* buffer;  // the stream's buffer, owned here (nullptr: the default one)
};

namespace {

constexpr size_t kReadBufferSize = size_t{256} << 10;

// Opens the mapped path as a buffered binary stream; a folder does not open,
// as on Windows. nullptr on any failure.
FILE* OpenStreamForReading(const char* path) {
  char host[kHostPathSize];
  if (!MapWindowsPath(path, host)) return nullptr;
  FILE* stream = fopen(host, "rbe");
  if (stream == nullptr) return nullptr;
  struct stat status;
  if (fstat(fileno(stream), &status) != 0 || S_ISDIR(status.st_mode)) {
    fclose(stream);
    return nullptr;
  }
  return stream;
}

// stat of the mapped path; false when it cannot be mapped or does not exist.
bool StatWindowsPath(const char* path, char* host, struct stat* status) {
  return MapWindowsPath(path, host) && stat(host, status) == 0;
}

// The same for the path itself: a link is not followed.
bool LstatWindowsPath(const char* path, char* host, struct stat* status) {
  return MapWindowsPath(path, host) && lstat(host, status) == 0;
}

}  // namespace

PlatformFile PlatformOpenForReading(const char* path) {
  if (InjectFault(kFaultOpenRead)) return nullptr;
  FILE* stream = OpenStreamForReading(path);
  if (stream == nullptr) return nullptr;
  PlatformFile file = static_cast<PlatformFile>(malloc(sizeof(PlatformFileRecord)));
  if (file == nullptr) {
    fclose(stream);
    return nullptr;
  }
  file->stream = stream;
  // The archive is read front to back in small blocks: a large buffer makes
  // that a few hundred system calls for a large archive instead of thousands.
  // The C library takes a size only together with a buffer of the caller's.
  file->buffer = static_cast<char*>(malloc(kReadBufferSize));
  if (file->buffer != nullptr) setvbuf(stream, file->buffer, _IOFBF, kReadBufferSize);
  return file;
}

size_t PlatformReadFile(PlatformFile file, void* destination, size_t count) {
  if (file == nullptr) return 0;
  return fread(destination, 1, count, file->stream);
}

void PlatformCloseFile(PlatformFile file) {
  if (file == nullptr) return;
  fclose(file->stream);
  free(file->buffer);
  free(file);
}

bool PlatformProbeReadable(const char* path) {
  if (InjectFault(kFaultOpenRead)) return false;
  FILE* stream = OpenStreamForReading(path);
  if (stream == nullptr) return false;
  fclose(stream);
  return true;
}

bool PlatformQueryLastWriteTime(const char* path, int64_t* seconds) {
  if (InjectFault(kFaultQueryTime)) return false;
  char host[kHostPathSize];
  struct stat status;
  if (!StatWindowsPath(path, host, &status)) return false;
  *seconds = static_cast<int64_t>(status.st_mtime);
  return true;
}

// The attribute word of the path, or kInvalidFileAttributes when it does not
// exist.
uint32_t PlatformGetFileAttributes(const char* path) {
  if (InjectFault(kFaultGetAttributes)) return kInvalidFileAttributes;
  char host[kHostPathSize];
  struct stat status;
  if (!LstatWindowsPath(path, host, &status)) return kInvalidFileAttributes;
  if (S_ISDIR(status.st_mode)) return kAttributeDirectory;
  uint32_t attributes = kAttributeArchive;
  if (!S_ISREG(status.st_mode)) return attributes | kAttributeReparsePoint;
  if (!HasWriteBits(status)) attributes |= kAttributeReadOnly;
  return attributes;
}

// Sets or clears the read-only attribute: setting takes every write bit
// away, clearing gives the owner's write bit back (a file that still has a
// write bit is left as it is). False when the path does not exist or the
// mode cannot be changed, and for a link.
bool PlatformSetFileAttributes(const char* path, uint32_t attributes) {
  if (InjectFault(kFaultSetAttributes)) return false;
  char host[kHostPathSize];
  struct stat status;
  if (!LstatWindowsPath(path, host, &status)) return false;
  if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) return false;
  mode_t mode = status.st_mode & 07777;
  if ((attributes & kAttributeReadOnly) != 0) {
    mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  } else if (!HasWriteBits(status)) {
    mode |= S_IWUSR;
  }
  if (mode == (status.st_mode & 07777)) return true;
  return chmod(host, mode) == 0;
}

bool FlushFolderOf(const char* host_path) {
  if (InjectFault(kFaultFlushFolder)) return false;
  char folder[kHostPathSize];
  strcpy(folder, host_path);
  char* slash = strrchr(folder, '/');
  if (slash == nullptr) return true;
  *slash = '\0';
  int fd = open(folder[0] != '\0' ? folder : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

bool PlatformCreateDirectory(const char* path) {
  if (InjectFault(kFaultCreateDirectory)) return false;
  char host[kHostPathSize];
  if (!MapWindowsPath(path, host)) return false;
  if (mkdir(host, 0777) != 0) return false;
  if (FlushFolderOf(host)) return true;
  rmdir(host);
  return false;
}

bool PlatformRemoveDirectory(const char* path) {
  char host[kHostPathSize];
  if (!MapWindowsPath(path, host)) return false;
  return rmdir(host) == 0;
}

// Windows sets file times through a handle opened for writing, so a
// read-only file or a folder refuses them; the layer checks that itself
// because root may write anything.
bool PlatformSetFileTimes(const char* path, int64_t seconds) {
  if (InjectFault(kFaultSetTimes)) return false;
  char host[kHostPathSize];
  struct stat status;
  if (!LstatWindowsPath(path, host, &status)) return false;
  if (!S_ISREG(status.st_mode) || !HasWriteBits(status)) return false;
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return utimensat(AT_FDCWD, host, times, AT_SYMLINK_NOFOLLOW) == 0;
}

void PlatformListFiles(const char* folder, void (*found)(void* context, const char* name),
                       void* context) {
  char host[kHostPathSize];
  if (!MapWindowsPath(folder, host)) return;
  DIR* listing = opendir(host);
  if (listing == nullptr) return;
  for (struct dirent* item = readdir(listing); item != nullptr; item = readdir(listing)) {
    struct stat status;
    if (fstatat(dirfd(listing), item->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      found(context, item->d_name);
    }
  }
  closedir(listing);
}

// True when no file is at path, or when the file there has a write bit
// and the system lets it be opened for writing (a running program does
// not). The machine has no other program that holds files; the fault
// injector's "held" kind plays one, which RetryWhileHeld waits for.
bool PlatformCanWriteExisting(const char* path) {
  char host[kHostPathSize];
  if (!MapWindowsPath(path, host)) return false;
  struct stat status;
  if (lstat(host, &status) != 0) return errno == ENOENT || errno == ENOTDIR;
  if (!S_ISREG(status.st_mode) || !HasWriteBits(status)) return false;
  return RetryWhileHeld([&] {
    int fd = open(host, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return kAttemptFailed;
    close(fd);
    return kAttemptDone;
  });
}
