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
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/holder_retry.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/read_ring.h"

struct PlatformFileRecord {
  int descriptor;        // open for reading
  bool read_failed;      // a read of it failed
  ReadRing ring;         // the chunks reads are served from, hashed behind
  pthread_t hasher;      // the ring's hasher thread, once started
};

namespace {

struct ReadSync {
  pthread_mutex_t lock;    // guards every ring's shared counts
  pthread_cond_t changed;  // a count moved, or a hasher is to stop
};

ReadSync g_read_sync = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER};

// The files whose hasher thread runs, so that the end of the process can
// end them first (the updater holds one archive at a time).
constexpr int kMaxHashedFiles = 4;
PlatformFile g_hashed_files[kMaxHashedFiles];

void* RunReadThread(void* ring) {
  RunReadHasher(static_cast<ReadRing*>(ring));
  return nullptr;
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

// The archive is read front to back in small blocks, served from a ring of
// large chunks (read_ring.h): a few hundred system calls for a large
// archive instead of thousands, and the chunks can be hashed behind.
namespace {

// The file record of an open descriptor, or nullptr (the descriptor closed)
// for a folder, for anything but a plain file when regular_only, or when no
// record can be had.
PlatformFile FileOfDescriptor(int descriptor, bool regular_only) {
  struct stat status;
  PlatformFile file = nullptr;
  if (fstat(descriptor, &status) == 0 && !S_ISDIR(status.st_mode) &&
      (S_ISREG(status.st_mode) || !regular_only)) {
    file = static_cast<PlatformFile>(calloc(1, sizeof(PlatformFileRecord)));
  }
  if (file == nullptr) {
    close(descriptor);
    return nullptr;
  }
  file->descriptor = descriptor;
  return file;
}

}  // namespace

PlatformFile PlatformOpenForReading(const char* path) {
  if (InjectFault(kFaultOpenRead)) return nullptr;
  char host[kHostPathSize];
  if (!MapWindowsPath(path, host)) return nullptr;
  int descriptor = open(host, O_RDONLY | O_CLOEXEC);
  return descriptor < 0 ? nullptr : FileOfDescriptor(descriptor, false);
}


PlatformFile PlatformOpenToLook(const char* path, bool* absent) {
  *absent = false;
  if (InjectFault(kFaultOpenRead)) return nullptr;
  char host[kHostPathSize];
  if (!MapWindowsPath(path, host)) return nullptr;
  // O_NOATIME is refused (EPERM) on a file of another owner to a process
  // without the privilege; the file is then read as any reader would.
  int descriptor = open(host, O_RDONLY | O_CLOEXEC | O_NOATIME);
  if (descriptor < 0 && errno == EPERM) descriptor = open(host, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    *absent = errno == ENOENT || errno == ENOTDIR;
    return nullptr;
  }
  return FileOfDescriptor(descriptor, true);
}

size_t PlatformReadFile(PlatformFile file, void* destination, size_t count) {
  if (file == nullptr) return 0;
  return ReadThroughRing(file, &file->ring, destination, count);
}

bool PlatformReadFailed(PlatformFile file) { return file == nullptr || file->read_failed; }

// The size comes from fstat and the tail from pread, which leaves the read
// position alone. A pipe or a device has no size to go by.
bool PlatformReadFileTail(PlatformFile file, uint8_t* tail, size_t count, uint64_t* file_size,
                          size_t* got) {
  *got = 0;
  struct stat status;
  if (file == nullptr || fstat(file->descriptor, &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) {
    *file_size = UINT64_MAX;
    return true;
  }
  *file_size = static_cast<uint64_t>(status.st_size);
  size_t want = *file_size < count ? static_cast<size_t>(*file_size) : count;
  off_t at = static_cast<off_t>(*file_size - want);
  while (*got < want) {
    ssize_t read_now = pread(file->descriptor, tail + *got, want - *got, at + static_cast<off_t>(*got));
    if (read_now <= 0) return false;
    *got += static_cast<size_t>(read_now);
  }
  return true;
}

bool PlatformRewindFile(PlatformFile file) {
  if (file == nullptr) return false;
  ResetReadRing(&file->ring);
  return lseek(file->descriptor, 0, SEEK_SET) == 0;
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
  close(file->descriptor);
  free(file);
}

// ---- the read ring's own (read_ring.h) ----

size_t ReadFileChunk(PlatformFile file, uint8_t* destination, size_t count) {
  for (;;) {
    ssize_t got = read(file->descriptor, destination, count);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) {
      file->read_failed = true;
      return 0;
    }
  }
}

void LockReadRings() { pthread_mutex_lock(&g_read_sync.lock); }
void UnlockReadRings() { pthread_mutex_unlock(&g_read_sync.lock); }
void WaitForReadChange() { pthread_cond_wait(&g_read_sync.changed, &g_read_sync.lock); }
void WakeReadWaiters() { pthread_cond_broadcast(&g_read_sync.changed); }

// The hasher takes no signals: an interrupt must reach the main thread.
bool StartReadThread(PlatformFile file, ReadRing* ring) {
  int free_place = 0;
  while (free_place < kMaxHashedFiles && g_hashed_files[free_place] != nullptr) ++free_place;
  if (free_place == kMaxHashedFiles) return false;  // hashed by the reader itself
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  bool started = pthread_create(&file->hasher, nullptr, RunReadThread, ring) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started) g_hashed_files[free_place] = file;
  return started;
}

void JoinReadThread(PlatformFile file) {
  pthread_join(file->hasher, nullptr);
  for (PlatformFile& hashed : g_hashed_files) {
    if (hashed == file) hashed = nullptr;
  }
}

void StopReadHashers() {
  for (PlatformFile file : g_hashed_files) {
    if (file != nullptr) StopReadHasher(file, &file->ring);
  }
}

PlatformPresence PlatformProbeFile(const char* path) {
  if (InjectFault(kFaultOpenRead)) return kPresenceUnknown;
  char host[kHostPathSize];
  if (!MapWindowsPath(path, host)) return kFileAbsent;  // no file on the machine can have that name
  int descriptor = open(host, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return errno == ENOENT || errno == ENOTDIR ? kFileAbsent : kPresenceUnknown;
  struct stat status;
  bool known = fstat(descriptor, &status) == 0;
  close(descriptor);
  if (!known) return kPresenceUnknown;
  return S_ISDIR(status.st_mode) ? kFileAbsent : kFilePresent;
}

bool PlatformGetFileIdentity(const char* path, PlatformFileIdentity* identity) {
  char host[kHostPathSize];
  struct stat status;
  if (!LstatWindowsPath(path, host, &status)) return false;
  identity->volume = static_cast<uint64_t>(status.st_dev);
  identity->index = static_cast<uint64_t>(status.st_ino);
  identity->links = static_cast<uint32_t>(status.st_nlink);
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

bool PlatformListFiles(const char* folder, void (*found)(void* context, const char* name),
                       void* context) {
  char host[kHostPathSize];
  if (!MapWindowsPath(folder, host)) return false;
  DIR* listing = opendir(host);
  if (listing == nullptr) return errno == ENOENT || errno == ENOTDIR;
  for (;;) {
    errno = 0;  // readdir's end and its failure differ only in errno
    struct dirent* item = readdir(listing);
    if (item == nullptr) break;
    struct stat status;
    if (fstatat(dirfd(listing), item->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      found(context, item->d_name);
    }
  }
  bool whole = errno == 0;
  closedir(listing);
  return whole;
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
