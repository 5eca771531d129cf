// Writing a file on the emulated machine: a temporary file beside the
// destination, written through a large buffer, then renamed over the
// destination in one step.
//
// The buffer is large so that the decoder's 1024-byte writes do not cost a
// system call each; a write that fails when the buffer drains (a full disk)
// is reported by the write that drained it or by the close.
//
// A staged file is written by a second thread from a ring of slices that
// the decoder fills in place; the thread asks the kernel to start writing
// each slice back at once (sync_file_range), so the flush before the file's
// replace finds little left to do.
#include <pthread.h>
#include <signal.h>

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
#include "platform/stage_ring.h"

namespace {

constexpr size_t kOutputFileBufferSize = 256 * 1024;
constexpr int kMaxTempAttempts = 1000;

struct TempNames {
  unsigned counter;  // advances with every name tried, so names rarely repeat
};

TempNames g_temp_names = {0};

}  // namespace

struct PlatformOutputRecord {
  int fd;                                  // the open temporary file
  bool failed;                             // a write already failed
  size_t used;                             // bytes waiting in buffer
  StagedPart stage;                        // of a staged file
  off_t behind_offset;                     // where its next staged piece goes (the writer's)
  char host_path[kHostPathSize];           // for a quiet discard
  unsigned char buffer[kOutputFileBufferSize];
};

namespace {

// Copies the part of destination up to and including its last separator
// ('\\' or '/', two-byte characters read whole, as the file calls parse a
// path) into folder (kMaxTempPath bytes): where a file beside destination
// goes. Empty when destination has no separator (the current folder).
void CopyParentFolder(const char* destination, char* folder) {
  size_t end = 0;
  for (size_t i = 0; destination[i] != '\0'; ++i) {
    if (IsLeadByte(static_cast<unsigned char>(destination[i])) && destination[i + 1] != '\0') {
      ++i;
    } else if (destination[i] == '\\' || destination[i] == '/') {
      end = i + 1;
    }
  }
  if (end >= kMaxTempPath) end = 0;
  memcpy(folder, destination, end);
  folder[end] = '\0';
}

// Writes the buffered bytes to the file. False (and the output marked
// failed) when the system takes fewer than all of them.
bool DrainOutput(PlatformOutput output) {
  size_t done = 0;
  while (done < output->used) {
    ssize_t wrote = write(output->fd, output->buffer + done, output->used - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      output->failed = true;
      break;
    }
    done += static_cast<size_t>(wrote);
  }
  output->used = 0;
  return !output->failed;
}

// Creates folder\~3puXXXX.tmp (four hex digits, as GetTempFileName makes
// them), trying further numbers while a name is taken.
PlatformOutput OpenTempOutput(const char* destination, char* temp_path) {
  char folder[kMaxTempPath];
  CopyParentFolder(destination, folder);
  if (g_temp_names.counter == 0) g_temp_names.counter = static_cast<unsigned>(getpid());
  PlatformOutput output = static_cast<PlatformOutput>(malloc(sizeof(PlatformOutputRecord)));
  if (output == nullptr) return nullptr;
  char windows_path[kMaxTempPath];
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    unsigned number = g_temp_names.counter++ & 0xFFFF;
    int length = snprintf(windows_path, sizeof windows_path, "%s~3pu%04X.tmp", folder, number);
    if (length < 0 || static_cast<size_t>(length) >= sizeof windows_path) break;
    if (!MapWindowsPath(windows_path, output->host_path)) break;
    int fd = open(output->host_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) break;
    output->fd = fd;
    output->failed = false;
    output->used = 0;
    output->stage = StagedPart{false, 0, 0};
    output->behind_offset = 0;
    strcpy(temp_path, windows_path);
    return output;
  }
  free(output);
  return nullptr;
}

// ---- the stage writer's own parts ----

struct StageSync {
  pthread_mutex_t lock;    // guards the ring's counts and pieces
  pthread_cond_t changed;  // either count moved, or the writer is to stop
  pthread_t thread;        // the writer, once started
};

StageSync g_stage_sync = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {}};

void* RunStageThread(void*) {
  RunStageWriter();
  return nullptr;
}

}  // namespace

StagedPart* StagedPartOf(PlatformOutput output) { return &output->stage; }
void LockStageRing() { pthread_mutex_lock(&g_stage_sync.lock); }
void UnlockStageRing() { pthread_mutex_unlock(&g_stage_sync.lock); }
void WaitForStageChange() { pthread_cond_wait(&g_stage_sync.changed, &g_stage_sync.lock); }
void WakeStageWaiters() { pthread_cond_broadcast(&g_stage_sync.changed); }

// The writer takes no signals: an interrupt must reach the main thread,
// whose waits it cuts short.
bool StartStageThread() {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  bool started = pthread_create(&g_stage_sync.thread, nullptr, RunStageThread, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

// Writes the piece, then asks the kernel to start writing it back at once.
bool WriteStagePiece(PlatformOutput output, const uint8_t* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t wrote = write(output->fd, bytes + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  sync_file_range(output->fd, output->behind_offset, static_cast<off_t>(size),
                  SYNC_FILE_RANGE_WRITE);
  output->behind_offset += static_cast<off_t>(size);
  return true;
}

void StopStageWriter() {
  if (StopStageRing()) pthread_join(g_stage_sync.thread, nullptr);
}

PlatformOutput PlatformCreateTempFile(const char* destination, char* temp_path) {
  if (InjectFault(kFaultCreateTemp)) return nullptr;
  return OpenTempOutput(destination, temp_path);
}

PlatformOutput PlatformStartStagedFile(const char* destination, char* temp_path) {
  if (!StartStageRing()) return nullptr;
  PlatformOutput output = OpenTempOutput(destination, temp_path);
  if (output != nullptr) output->stage.staged = true;
  return output;
}

bool PlatformConfirmOutput(PlatformOutput output, size_t) {
  if (InjectFault(kFaultWrite) || IsBehindFailed(output)) output->failed = true;
  return !output->failed;
}

bool PlatformDiscardStagedFile(PlatformOutput output) {
  char host_path[kHostPathSize];
  strcpy(host_path, output->host_path);
  PlatformAbandonOutput(output);
  if (InjectFault(kFaultDelete)) return false;
  return unlink(host_path) == 0 || errno == ENOENT;
}

bool PlatformWriteOutput(PlatformOutput output, const void* bytes, size_t count) {
  if (InjectFault(kFaultWrite)) output->failed = true;
  if (output->failed) return false;
  const unsigned char* next = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    size_t room = kOutputFileBufferSize - output->used;
    size_t take = count < room ? count : room;
    memcpy(output->buffer + output->used, next, take);
    output->used += take;
    next += take;
    count -= take;
    if (output->used == kOutputFileBufferSize && !DrainOutput(output)) return false;
  }
  return true;
}

bool PlatformCloseOutput(PlatformOutput output) {
  if (output->stage.staged) {
    PlatformFinishStaging(output);
    WaitForStageWriter(output);
    if (IsBehindFailed(output)) output->failed = true;
  }
  bool injected = InjectFault(kFaultClose);
  bool ok = !injected && DrainOutput(output);
  if (ok && (InjectFault(kFaultFlush) || fsync(output->fd) != 0)) ok = false;
  if (close(output->fd) != 0) ok = false;
  free(output);
  return ok;
}

void PlatformAbandonOutput(PlatformOutput output) {
  if (output == nullptr) return;
  if (output->stage.staged) {
    // The writer skips what is still queued of it, then lets it go.
    MarkBehindFailed(output);
    WaitForStageWriter(output);
  }
  close(output->fd);
  free(output);
}

namespace {

// A rename that waits for a holder as on Windows (the fault injector plays
// the holder). With keep_existing, a file that appeared at to meanwhile
// makes it fail instead of being overwritten.
bool RenameWhileHeld(const char* from, const char* to, bool keep_existing = false) {
  return RetryWhileHeld([&] {
    int done = keep_existing ? renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE)
                             : rename(from, to);
    if (done != 0 && keep_existing && errno == EINVAL && link(from, to) == 0) {
      // The file system cannot refuse to overwrite: a link cannot overwrite.
      // When the old name will not go, the new one goes again, so that "not
      // moved" is true; when neither goes, the file is in place (with a
      // second name that the run's cleanup of leftovers finds as such).
      done = unlink(from) == 0 || unlink(to) != 0 ? 0 : -1;
    }
    return done == 0 ? kAttemptDone : kAttemptFailed;
  });
}

// Which file is at host_path, as the replace's looks see it: kIdPresent
// with its device and inode in *status, kIdAbsent when no file is there,
// kIdUnknown when the look failed (a share that does not answer).
enum IdLook { kIdPresent, kIdAbsent, kIdUnknown };

IdLook LookAtFile(const char* host_path, struct stat* status) {
  if (InjectFault(kFaultFileId)) return kIdUnknown;
  if (lstat(host_path, status) == 0) return kIdPresent;
  return errno == ENOENT || errno == ENOTDIR ? kIdAbsent : kIdUnknown;
}

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The mode for an attribute word, from base: READONLY takes every write bit
// away; a writable word gives the owner's write bit back when none is set.
mode_t ModeForAttributes(mode_t base, uint32_t attributes) {
  constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
  if ((attributes & kAttributeReadOnly) != 0) return base & ~kWriteBits;
  return (base & kWriteBits) != 0 ? base : base | S_IWUSR;
}

// Gives the finished file its final mode and puts that, with the times set
// on it before, on the disk ahead of the rename that makes it the
// destination. Counts as an attribute call for the fault injector.
bool SetFinalMode(const char* host_path, mode_t mode) {
  if (InjectFault(kFaultSetAttributes)) return false;
  int fd = open(host_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool done = fchmod(fd, mode) == 0 && fsync(fd) == 0;
  close(fd);
  return done;
}

// The backup name that says whose old file it is: "~3pu-NAME.bak" beside
// destination NAME. False when it would not fit in a name (255 bytes) or
// in kMaxTempPath.
bool ComposeNamedBackup(const char* destination, char* backup_path) {
  char folder[kMaxTempPath];
  CopyParentFolder(destination, folder);
  size_t name_length = strlen(destination + strlen(folder));
  if (name_length == 0 || name_length + strlen("~3pu-.bak") > 255) return false;
  int length = snprintf(backup_path, kMaxTempPath, "%s~3pu-%s.bak", folder,
                        destination + strlen(folder));
  return length > 0 && static_cast<size_t>(length) < kMaxTempPath;
}

// Gives the old file a second name beside it: a hard link, so the old file
// is never without a name. The name says whose file it is; where an
// earlier run's file has it, "~3puXXXX.bak" does. False when no name could
// be had.
bool LinkBackup(const char* to, const char* destination, char* backup_path, char* backup_host) {
  if (ComposeNamedBackup(destination, backup_path) && MapWindowsPath(backup_path, backup_host) &&
      link(to, backup_host) == 0) {
    return true;
  }
  char folder[kMaxTempPath];
  CopyParentFolder(destination, folder);
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    unsigned number = g_temp_names.counter++ & 0xFFFF;
    int length = snprintf(backup_path, kMaxTempPath, "%s~3pu%04X.bak", folder, number);
    if (length < 0 || static_cast<size_t>(length) >= kMaxTempPath) break;
    if (!MapWindowsPath(backup_path, backup_host)) break;
    if (link(to, backup_host) == 0) return true;
    if (errno != EEXIST) break;
  }
  backup_path[0] = '\0';
  return false;
}

// Takes the backup name off the old file again when the old file stays at
// its own name. A name that cannot be deleted stays in backup_path, so that
// the caller can say where it is.
void DropBackupName(const char* backup_host, char* backup_path) {
  if (InjectFault(kFaultDelete)) return;
  if (unlink(backup_host) == 0 || errno == ENOENT) backup_path[0] = '\0';
}

// A replace left halfway, the destination without a file: the old file goes
// back to its name, or, when that fails, the new one goes in. Nothing is
// deleted here.
ReplaceOutcome SettleHalfway(const char* from, const char* to, const char* backup_host,
                             char* backup_path, mode_t source_mode) {
  if (InjectFault(kFaultKillHalfway)) _exit(137);
  if (!InjectFault(kFaultRestore) && rename(backup_host, to) == 0) {
    chmod(from, source_mode);
    FlushFolderOf(to);
    backup_path[0] = '\0';
    return kNotReplaced;
  }
  if (rename(from, to) == 0) {
    FlushFolderOf(to);
    return kReplaced;
  }
  return kStranded;
}

// Puts a new file where there was none. A file that appeared meanwhile is
// not overwritten; a rename that cannot be made durable is taken back.
ReplaceOutcome MoveIntoPlace(const char* from, const char* to, const struct stat* new_status,
                             uint32_t final_attributes) {
  mode_t source_mode = new_status->st_mode & 07777;
  if (!SetFinalMode(from, ModeForAttributes(source_mode, final_attributes))) {
    chmod(from, source_mode);
    return kNotReplaced;
  }
  if (RenameWhileHeld(from, to, true)) {
    if (FlushFolderOf(to)) return kReplaced;
    if (rename(to, from) != 0) return kReplaced;  // in place after all, durable or not
  } else {
    // A rename whose reply was lost (NFS) may have happened after all.
    struct stat there;
    struct stat left;
    IdLook look = LookAtFile(to, &there);
    if (look == kIdPresent && SameInode(there, *new_status)) return kReplaced;
    if (look == kIdUnknown && LookAtFile(from, &left) == kIdAbsent) return kReplaced;
  }
  chmod(from, source_mode);
  return kNotReplaced;
}

}  // namespace

// The old file first gets its backup name (a hard link), then the new file,
// given its final mode, is renamed over the destination, so the destination
// always holds one of the two. The folder is flushed after the rename; when
// that fails, the old file is renamed back over the new one.
ReplaceOutcome PlatformReplaceKeepingBackup(const char* source, const char* destination,
                                            uint32_t final_attributes, char* backup_path) {
  backup_path[0] = '\0';
  if (InjectFault(kFaultKill)) _exit(137);
  if (InjectFault(kFaultReplace)) return kNotReplaced;
  char from[kHostPathSize];
  char to[kHostPathSize];
  char backup_host[kHostPathSize];
  if (!MapWindowsPath(source, from) || !MapWindowsPath(destination, to)) return kNotReplaced;
  if (InjectFault(kFaultTempVanished)) unlink(from);  // a scanner took it away
  struct stat source_status;
  if (lstat(from, &source_status) != 0 || !S_ISREG(source_status.st_mode)) return kNotReplaced;
  mode_t source_mode = source_status.st_mode & 07777;
  struct stat old_status;
  if (lstat(to, &old_status) != 0) {
    if (errno != ENOENT) return kNotReplaced;
    return MoveIntoPlace(from, to, &source_status, final_attributes);
  }
  if (!S_ISREG(old_status.st_mode)) return kNotReplaced;
  if (!LinkBackup(to, destination, backup_path, backup_host)) return kNotReplaced;
  if (!SetFinalMode(from, ModeForAttributes(old_status.st_mode & 07777, final_attributes))) {
    chmod(from, source_mode);
    DropBackupName(backup_host, backup_path);
    return kNotReplaced;
  }
  if (InjectFault(kFaultReplaceHalfway)) {
    // The state a replace can stop in: the old file only under its backup
    // name, the new one still under its temporary name.
    unlink(to);
    return SettleHalfway(from, to, backup_host, backup_path, source_mode);
  }
  if (RenameWhileHeld(from, to)) {
    if (FlushFolderOf(to)) return kReplaced;
    // The new file takes its temporary name again, the old one its own.
    if (link(to, from) != 0) return kReplaced;
    if (rename(backup_host, to) != 0) {
      // In place after all, durable or not. A temporary name that will not
      // go is a second name of the file in place, which the run's cleanup
      // of leftovers deletes as such.
      unlink(from);
      return kReplaced;
    }
    chmod(from, source_mode);
    FlushFolderOf(to);
    backup_path[0] = '\0';
    return kNotReplaced;
  }
  struct stat there;
  struct stat kept;
  switch (LookAtFile(to, &there)) {
    case kIdAbsent:
      return SettleHalfway(from, to, backup_host, backup_path, source_mode);
    case kIdPresent:
      // A rename whose reply was lost (NFS) may have happened after all.
      if (SameInode(there, source_status)) {
        FlushFolderOf(to);
        return kReplaced;
      }
      // The second name goes only when the destination is seen to be the
      // old file still; otherwise it may be the only name, and it stays.
      if (LookAtFile(backup_host, &kept) == kIdPresent && SameInode(there, kept)) {
        DropBackupName(backup_host, backup_path);
      }
      break;
    case kIdUnknown:
      break;
  }
  chmod(from, source_mode);
  return kNotReplaced;
}

bool PlatformRestoreBackup(const char* backup, const char* destination) {
  if (InjectFault(kFaultRestore)) return false;
  char from[kHostPathSize];
  char to[kHostPathSize];
  if (!MapWindowsPath(backup, from) || !MapWindowsPath(destination, to)) return false;
  if (!RenameWhileHeld(from, to)) return false;
  FlushFolderOf(to);
  return true;
}

EarlierBackup PlatformFindEarlierBackup(const char* destination, char* backup_path) {
  char from[kHostPathSize];
  if (!ComposeNamedBackup(destination, backup_path) || !MapWindowsPath(backup_path, from)) {
    return kNoEarlierBackup;
  }
  struct stat status;
  if (lstat(from, &status) != 0) {
    // A name too long for the host (two-byte names grow in UTF-8) holds no file.
    bool absent = errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG;
    return absent ? kNoEarlierBackup : kBackupUnknown;
  }
  // A link under the backup name is not moved (as a reparse point on
  // Windows, where one may hold the old file).
  if (S_ISLNK(status.st_mode)) return kBackupUnknown;
  // A folder is no backup, nor is a second name of a file in place.
  return S_ISREG(status.st_mode) && status.st_nlink == 1 ? kBackupFound : kNoEarlierBackup;
}

bool PlatformPutBackEarlierBackup(const char* backup, const char* destination) {
  char from[kHostPathSize];
  char to[kHostPathSize];
  if (InjectFault(kFaultRestore) || !MapWindowsPath(backup, from) ||
      !MapWindowsPath(destination, to) || !RenameWhileHeld(from, to, true)) {
    return false;
  }
  FlushFolderOf(to);
  return true;
}

// Deletes a file; like DeleteFileA it refuses folders and read-only files.
bool PlatformDeleteFile(const char* path) {
  if (InjectFault(kFaultKill)) _exit(137);
  if (InjectFault(kFaultDelete)) return false;
  char host[kHostPathSize];
  struct stat status;
  if (!MapWindowsPath(path, host)) return false;
  if (lstat(host, &status) != 0) return errno == ENOENT;  // gone already (taken away)
  if (S_ISDIR(status.st_mode)) return false;
  if (S_ISREG(status.st_mode) && !HasWriteBits(status)) return false;
  return RetryWhileHeld([&] { return unlink(host) == 0 ? kAttemptDone : kAttemptFailed; });
}
