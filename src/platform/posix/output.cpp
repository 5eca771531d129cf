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
  // a staged file
  bool staged;                             // written behind by the stage writer
  bool behind_failed;                      // a write behind failed (atomic: set by the writer)
  uint64_t staged_end;                     // the writer is done with it when it has written this many pieces
  off_t behind_offset;                     // where its next piece goes (the writer's)
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
    output->staged = false;
    output->behind_failed = false;
    output->staged_end = 0;
    output->behind_offset = 0;
    strcpy(temp_path, windows_path);
    return output;
  }
  free(output);
  return nullptr;
}

// ---- the stage writer ----

constexpr size_t kStageSliceSize = 256 * 1024;
constexpr int kStageSlices = 8;

struct StagePiece {
  PlatformOutput output;
  size_t size;
};

// The slices, shared by the decoding thread (which fills them in turn and
// queues them) and the writer (which writes the queued ones in order).
struct StageRing {
  uint8_t* memory;                   // kStageSlices slices
  StagePiece pieces[kStageSlices];   // the queued pieces, by slice
  uint64_t queued;                   // pieces handed over so far
  uint64_t written;                  // pieces the writer has finished
  bool stopping;                     // the writer ends once everything queued is written
  pthread_mutex_t lock;              // guards queued, written, stopping and pieces
  pthread_cond_t changed;            // either count moved
  // the decoding thread's own
  PlatformOutput current;            // whose bytes the slice being filled holds
  size_t fill;                       // bytes in it
  bool started;                      // memory (and the thread) asked for
  bool threaded;                     // a writer thread runs; else pieces are written when queued
  pthread_t thread;                  // the writer, when threaded
};

StageRing g_stage = {nullptr, {}, 0, 0, false, PTHREAD_MUTEX_INITIALIZER,
                     PTHREAD_COND_INITIALIZER, nullptr, 0, false, false, {}};

// Writes one piece to its file and starts its write-back; a failure marks
// the file, whose later pieces are then skipped.
void WritePiece(const StagePiece& piece, const uint8_t* bytes) {
  PlatformOutput output = piece.output;
  if (__atomic_load_n(&output->behind_failed, __ATOMIC_ACQUIRE)) return;
  size_t done = 0;
  while (done < piece.size) {
    ssize_t wrote = write(output->fd, bytes + done, piece.size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      __atomic_store_n(&output->behind_failed, true, __ATOMIC_RELEASE);
      return;
    }
    done += static_cast<size_t>(wrote);
  }
  sync_file_range(output->fd, output->behind_offset, static_cast<off_t>(piece.size),
                  SYNC_FILE_RANGE_WRITE);
  output->behind_offset += static_cast<off_t>(piece.size);
}

void* RunStageWriter(void*) {
  pthread_mutex_lock(&g_stage.lock);
  for (;;) {
    while (g_stage.written == g_stage.queued && !g_stage.stopping) {
      pthread_cond_wait(&g_stage.changed, &g_stage.lock);
    }
    if (g_stage.written == g_stage.queued) break;
    int slot = static_cast<int>(g_stage.written % kStageSlices);
    StagePiece piece = g_stage.pieces[slot];
    pthread_mutex_unlock(&g_stage.lock);
    WritePiece(piece, g_stage.memory + slot * kStageSliceSize);
    pthread_mutex_lock(&g_stage.lock);
    ++g_stage.written;
    pthread_cond_broadcast(&g_stage.changed);
  }
  pthread_mutex_unlock(&g_stage.lock);
  return nullptr;
}

// Asks for the slices and the writer once. Without a thread the pieces are
// written as they are queued; without memory nothing is staged.
bool StartStageRing() {
  if (g_stage.started) return g_stage.memory != nullptr;
  g_stage.started = true;
  g_stage.memory = static_cast<uint8_t*>(malloc(kStageSlices * kStageSliceSize));
  if (g_stage.memory == nullptr) return false;
  // The writer takes no signals: an interrupt must reach the main thread,
  // whose waits it cuts short.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  g_stage.threaded = pthread_create(&g_stage.thread, nullptr, RunStageWriter, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

// Queues the slice being filled (when it holds anything) for the writer.
void HandOverSlice() {
  PlatformOutput output = g_stage.current;
  size_t fill = g_stage.fill;
  g_stage.current = nullptr;
  g_stage.fill = 0;
  if (output == nullptr || fill == 0) return;
  pthread_mutex_lock(&g_stage.lock);
  int slot = static_cast<int>(g_stage.queued % kStageSlices);
  g_stage.pieces[slot] = {output, fill};
  output->staged_end = ++g_stage.queued;
  pthread_cond_broadcast(&g_stage.changed);
  pthread_mutex_unlock(&g_stage.lock);
  if (g_stage.threaded) return;
  WritePiece(g_stage.pieces[slot], g_stage.memory + slot * kStageSliceSize);
  pthread_mutex_lock(&g_stage.lock);
  ++g_stage.written;
  pthread_mutex_unlock(&g_stage.lock);
}

// Waits until the writer has written (or skipped) every queued piece of
// output; the output's slice being filled, if any, is dropped.
void WaitForStageWriter(PlatformOutput output) {
  if (g_stage.current == output) {
    g_stage.current = nullptr;
    g_stage.fill = 0;
  }
  pthread_mutex_lock(&g_stage.lock);
  while (g_stage.written < output->staged_end) pthread_cond_wait(&g_stage.changed, &g_stage.lock);
  pthread_mutex_unlock(&g_stage.lock);
}

}  // namespace

void StopStageWriter() {
  if (!g_stage.threaded) return;
  pthread_mutex_lock(&g_stage.lock);
  g_stage.stopping = true;
  pthread_cond_broadcast(&g_stage.changed);
  pthread_mutex_unlock(&g_stage.lock);
  pthread_join(g_stage.thread, nullptr);
  g_stage.threaded = false;
}

PlatformOutput PlatformCreateTempFile(const char* destination, char* temp_path) {
  if (InjectFault(kFaultCreateTemp)) return nullptr;
  return OpenTempOutput(destination, temp_path);
}

PlatformOutput PlatformStartStagedFile(const char* destination, char* temp_path) {
  if (!StartStageRing()) return nullptr;
  PlatformOutput output = OpenTempOutput(destination, temp_path);
  if (output != nullptr) output->staged = true;
  return output;
}

uint8_t* PlatformStagePlace(PlatformOutput output) {
  if (g_stage.current != output) {
    HandOverSlice();
    g_stage.current = output;
  }
  uint64_t slot = g_stage.queued % kStageSlices;
  if (g_stage.fill == 0) {
    pthread_mutex_lock(&g_stage.lock);
    while (g_stage.queued - g_stage.written >= kStageSlices) {
      pthread_cond_wait(&g_stage.changed, &g_stage.lock);
    }
    pthread_mutex_unlock(&g_stage.lock);
  }
  return g_stage.memory + slot * kStageSliceSize + g_stage.fill;
}

void PlatformStageBytes(PlatformOutput output, size_t count) {
  if (g_stage.current != output) return;
  g_stage.fill += count;
  if (kStageSliceSize - g_stage.fill < kStagePlaceRoom) HandOverSlice();
}

void PlatformFinishStaging(PlatformOutput output) {
  if (g_stage.current == output) HandOverSlice();
}

bool PlatformTakeUpStagedFile(PlatformOutput output) {
  if (!InjectFault(kFaultCreateTemp)) return true;
  PlatformDiscardStagedFile(output);
  return false;
}

bool PlatformConfirmOutput(PlatformOutput output, size_t) {
  if (InjectFault(kFaultWrite)) output->failed = true;
  if (__atomic_load_n(&output->behind_failed, __ATOMIC_ACQUIRE)) output->failed = true;
  return !output->failed;
}

void PlatformDiscardStagedFile(PlatformOutput output) {
  char host_path[kHostPathSize];
  strcpy(host_path, output->host_path);
  PlatformAbandonOutput(output);
  unlink(host_path);
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
  if (output->staged) {
    PlatformFinishStaging(output);
    WaitForStageWriter(output);
    if (__atomic_load_n(&output->behind_failed, __ATOMIC_ACQUIRE)) output->failed = true;
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
  if (output->staged) {
    // The writer skips what is still queued of it, then lets it go.
    __atomic_store_n(&output->behind_failed, true, __ATOMIC_RELEASE);
    WaitForStageWriter(output);
  }
  close(output->fd);
  free(output);
}

namespace {

// Makes a rename in folder_of's folder durable: the folder's own entry list
// is flushed, as a write-through move does on Windows.
void FlushFolderOf(const char* host_path) {
  char folder[kHostPathSize];
  strcpy(folder, host_path);
  char* slash = strrchr(folder, '/');
  if (slash == nullptr) return;
  *slash = '\0';
  int fd = open(folder[0] != '\0' ? folder : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// A rename that waits for a holder as on Windows (the fault injector plays
// the holder).
bool RenameWhileHeld(const char* from, const char* to) {
  return RetryWhileHeld([&] { return rename(from, to) == 0 ? kAttemptDone : kAttemptFailed; });
}

bool Exists(const char* host_path) {
  struct stat status;
  return lstat(host_path, &status) == 0;
}

// Gives the old file a second name, "~3puXXXX.bak" beside it: a hard link,
// so the old file is never without a name. False when no name could be had.
bool LinkBackup(const char* to, const char* destination, char* backup_path, char* backup_host) {
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

// A replace left halfway, the destination without a file: the old file goes
// back to its name, or, when that fails, the new one goes in. Nothing is
// deleted here.
ReplaceOutcome SettleHalfway(const char* from, const char* to, const char* backup_host,
                             char* backup_path, mode_t source_mode) {
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

}  // namespace

// The old file first gets its backup name (a hard link), then the new file
// is renamed over the destination, so the destination always holds one of
// the two. The folder is flushed after the rename.
ReplaceOutcome PlatformReplaceKeepingBackup(const char* source, const char* destination,
                                            char* backup_path) {
  backup_path[0] = '\0';
  if (InjectFault(kFaultKill)) _exit(137);
  if (InjectFault(kFaultReplace)) return kNotReplaced;
  char from[kHostPathSize];
  char to[kHostPathSize];
  char backup_host[kHostPathSize];
  if (!MapWindowsPath(source, from) || !MapWindowsPath(destination, to)) return kNotReplaced;
  struct stat source_status;
  if (stat(from, &source_status) != 0 || !S_ISREG(source_status.st_mode)) return kNotReplaced;
  mode_t source_mode = source_status.st_mode & 07777;
  struct stat old_status;
  if (stat(to, &old_status) != 0) {
    if (!RenameWhileHeld(from, to)) return kNotReplaced;
    FlushFolderOf(to);
    return kReplaced;
  }
  if (!S_ISREG(old_status.st_mode) || !HasWriteBits(old_status)) return kNotReplaced;
  if (!LinkBackup(to, destination, backup_path, backup_host)) return kNotReplaced;
  if (chmod(from, old_status.st_mode & 07777) != 0) {
    unlink(backup_host);
    backup_path[0] = '\0';
    return kNotReplaced;
  }
  if (InjectFault(kFaultReplaceHalfway)) {
    // The state a replace can stop in: the old file only under its backup
    // name, the new one still under its temporary name.
    unlink(to);
    return SettleHalfway(from, to, backup_host, backup_path, source_mode);
  }
  if (RenameWhileHeld(from, to)) {
    FlushFolderOf(to);
    return kReplaced;
  }
  if (!Exists(to)) return SettleHalfway(from, to, backup_host, backup_path, source_mode);
  unlink(backup_host);  // the destination still holds the old file
  backup_path[0] = '\0';
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

// Deletes a file; like DeleteFileA it refuses folders and read-only files.
bool PlatformDeleteFile(const char* path) {
  char host[kHostPathSize];
  struct stat status;
  if (!MapWindowsPath(path, host) || lstat(host, &status) != 0) return false;
  if (S_ISDIR(status.st_mode)) return false;
  if (S_ISREG(status.st_mode) && !HasWriteBits(status)) return false;
  return RetryWhileHeld([&] { return unlink(host) == 0 ? kAttemptDone : kAttemptFailed; });
}
