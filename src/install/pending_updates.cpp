#include "install/pending_updates.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/run_log.h"
#include "install/destination.h"
#include "platform/platform.h"

namespace {

constexpr int kMaxPending = 255;          // one per entry at most
constexpr int kMaxCreatedFolders = 1024;  // more are left in place on a rollback
constexpr size_t kViewerProgramSize = 256 + 12;  // the Windows folder, "\\notepad.exe"
constexpr size_t kViewerCommandSize = kViewerProgramSize + 1 + 520;

enum PendingState {
  kStaged,    // the new file waits under its temporary name
  kInPlace,   // the destination holds the new file; the old one is at backup_path
  kLeftOut,   // the system left no destination: old at backup_path, new at temp_path
};

struct PendingFile {
  char destination[kMaxDestinationPath + 1];
  char temp_path[kMaxTempPath];     // the finished new file
  char backup_path[kMaxTempPath];   // the old file during the commit; empty: none
  int64_t time;                     // the new file's last-write time
  uint32_t original_attributes;     // the destination's word before the run; invalid: no file
  uint32_t final_attributes;        // set after the commit; invalid: as the replace leaves it
  PendingState state;
};

struct PendingUpdates {
  // the new files, in archive order
  int count;
  PendingFile files[kMaxPending];
  // the folders this run made, outermost first
  int folder_count;
  char folders[kMaxCreatedFolders][kFolderSize];
  // the viewers a complete run starts, in archive order
  int viewer_count;
  char viewers[kMaxPending][kMaxDestinationPath + 1];
  bool committed;  // every file is in place: nothing is undone any more
};

PendingUpdates g_pending;

// Paths name one file when they match without regard to ASCII case.
bool SamePath(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

PendingFile* FindFile(const char* path) {
  for (int i = 0; i < g_pending.count; ++i) {
    if (SamePath(g_pending.files[i].destination, path)) return &g_pending.files[i];
  }
  return nullptr;
}

// Clears the read-only bit of path when it is set (Windows refuses to
// replace or move onto a read-only file).
void ClearReadOnly(const char* path) {
  uint32_t attributes = PlatformGetFileAttributes(path);
  if (attributes != kInvalidFileAttributes && (attributes & kAttributeReadOnly)) {
    PlatformSetFileAttributes(path, attributes & ~kAttributeReadOnly);
  }
}

// Deletes a file that the run made and no longer needs.
void DeleteOwnFile(const char* path) {
  if (!PlatformDeleteFile(path)) {
    ClearReadOnly(path);
    PlatformDeleteFile(path);
  }
}

// Puts the old file of one destination back. A backup that cannot be moved
// back is left where it is: it may be the only copy.
void UndoOne(PendingFile* file) {
  switch (file->state) {
    case kStaged:
      if (file->temp_path[0] != '\0') DeleteOwnFile(file->temp_path);
      break;
    case kInPlace:
      if (file->backup_path[0] == '\0') {
        DeleteOwnFile(file->destination);  // there was no file before the run
        break;
      }
      ClearReadOnly(file->destination);
      if (!PlatformRestoreBackup(file->backup_path, file->destination)) return;
      break;
    case kLeftOut:
      if (!PlatformRestoreBackup(file->backup_path, file->destination)) return;
      DeleteOwnFile(file->temp_path);
      break;
  }
  file->state = kStaged;
  file->temp_path[0] = '\0';
  if (file->original_attributes != kInvalidFileAttributes &&
      PlatformGetFileAttributes(file->destination) != file->original_attributes) {
    PlatformSetFileAttributes(file->destination, file->original_attributes);
  }
}

}  // namespace

bool FindPending(const char* path, PendingView* view) {
  const PendingFile* file = FindFile(path);
  if (file == nullptr) return false;
  view->last_write_time = file->time;
  if (file->final_attributes != kInvalidFileAttributes) {
    view->attributes = file->final_attributes;
  } else if (file->original_attributes != kInvalidFileAttributes) {
    view->attributes = file->original_attributes;
  } else {
    view->attributes = kAttributeArchive;  // what a newly written file reports
  }
  return true;
}

void AddPending(const char* destination, const char* temp_path, int32_t modification_time,
                WriteChoice choice) {
  PendingFile* file = FindFile(destination);
  if (file != nullptr) {
    DeleteOwnFile(file->temp_path);
  } else {
    if (g_pending.count == kMaxPending) return;  // cannot happen: one per entry
    file = &g_pending.files[g_pending.count++];
    snprintf(file->destination, sizeof file->destination, "%s", destination);
    file->original_attributes = PlatformGetFileAttributes(destination);
    file->final_attributes = kInvalidFileAttributes;
    file->backup_path[0] = '\0';
    file->state = kStaged;
  }
  snprintf(file->temp_path, sizeof file->temp_path, "%s", temp_path);
  file->time = modification_time;
  if (choice.decision == kOverwrite) file->final_attributes = choice.saved_attributes;
}

void NoteCreatedFolder(const char* folder) {
  if (g_pending.folder_count == kMaxCreatedFolders) return;
  snprintf(g_pending.folders[g_pending.folder_count++], kFolderSize, "%s", folder);
}

void QueueViewer(uint8_t kind, const char* path) {
  if (kind < 'A' || kind > 'Z' || g_pending.viewer_count == kMaxPending) return;
  snprintf(g_pending.viewers[g_pending.viewer_count++], kMaxDestinationPath + 1, "%s", path);
}

void CommitPending() {
  for (int i = 0; i < g_pending.count; ++i) {
    CheckInterrupt();
    PendingFile* file = &g_pending.files[i];
    ClearReadOnly(file->destination);
    switch (PlatformReplaceKeepingBackup(file->temp_path, file->destination, file->backup_path)) {
      case kReplaced:
        file->state = kInPlace;
        break;
      case kStranded:
        file->state = kLeftOut;
        ErrorStop(MSG_CANNOT_WRITE, file->destination);
      case kNotReplaced:
        ErrorStop(MSG_CANNOT_WRITE, file->destination);
    }
  }
  // Every file is in place: the update stands, whatever comes now.
  g_pending.committed = true;
  for (int i = 0; i < g_pending.count; ++i) {
    PendingFile* file = &g_pending.files[i];
    if (file->final_attributes != kInvalidFileAttributes) {
      // The saved word comes back with the archive bit added, as any write
      // sets it: backup programs look for it. (NORMAL means "no other bit"
      // and may not be combined with one.)
      uint32_t saved = file->final_attributes & ~kAttributeNormal;
      PlatformSetFileAttributes(file->destination, saved | kAttributeArchive);
    }
    if (file->backup_path[0] != '\0') DeleteOwnFile(file->backup_path);
  }
}

void LaunchQueuedViewers(const char* windows_directory) {
  char program[kViewerProgramSize];
  snprintf(program, sizeof program, "%s\\notepad.exe", windows_directory);
  for (int i = 0; i < g_pending.viewer_count; ++i) {
    char command[kViewerCommandSize];
    snprintf(command, sizeof command, "%s %s", program, g_pending.viewers[i]);
    PlatformStartProgram(program, command);
  }
}

void RollBackPending() {
  if (g_pending.committed) return;
  if (g_pending.count > 0 || g_pending.folder_count > 0) {
    LogRollback(g_pending.count, g_pending.folder_count);
  }
  for (int i = g_pending.count; i-- > 0;) UndoOne(&g_pending.files[i]);
  for (int i = g_pending.folder_count; i-- > 0;) PlatformRemoveDirectory(g_pending.folders[i]);
  g_pending.count = 0;
  g_pending.folder_count = 0;
  g_pending.viewer_count = 0;
}
