#include "install/pending_updates.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/run_log.h"
#include "install/destination.h"
#include "platform/platform.h"

namespace {

constexpr int kMaxPending = 255;          // one per entry at most
constexpr size_t kViewerProgramSize = 256 + 12;  // the Windows folder, "\\notepad.exe"
constexpr size_t kViewerCommandSize = kViewerProgramSize + 1 + 520;
constexpr size_t kOwnNameLength = 12;     // "~3puXXXX.tmp"
constexpr int kMaxNamedLeft = 2 * kMaxPending;  // a staged and a written file per entry

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
  uint32_t final_attributes;        // the word the replace gives the new file
  PendingState state;
};

// The folder of one entry's destination, as the chain of folders to it was
// made: the run writes there, and may have made its outer part.
struct FolderChain {
  char folder[kFolderSize];  // components joined by one backslash
  size_t first_made;         // length of the outermost folder this run made; 0: none
};

struct PendingUpdates {
  // the new files, in archive order
  int count;
  PendingFile files[kMaxPending];
  // the folders of the entries, in archive order
  int chain_count;
  FolderChain chains[kMaxPending];
  // the viewers a complete run starts, in archive order
  int viewer_count;
  char viewers[kMaxPending][kMaxDestinationPath + 1];
  bool committed;  // every file is in place: nothing is undone any more
  bool left_over;  // something of the run stays where it should not
  // the files named on the console as left: they stay as the console says
  int named_left_count;
  char named_left[kMaxNamedLeft][kMaxTempPath];
};

PendingUpdates g_pending;

char FoldCase(char byte) { return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + 32) : byte; }


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

// Deletes a file that the run made and no longer needs, read-only or not.
bool RemoveOwnFile(const char* path) {
  if (PlatformDeleteFile(path)) return true;
  ClearReadOnly(path);
  return PlatformDeleteFile(path);
}

// The same for a file whose staying is only named on the console; false
// when it stays.
bool DeleteOwnFile(const char* path) {
  if (RemoveOwnFile(path)) return true;
  ReportLeftOver(path);
  return false;
}

// Puts the old file of one destination back; false when something of it
// stays other than before (named). A backup that cannot be moved back is
// left where it is, and named: it may be the only copy.
bool UndoOne(PendingFile* file) {
  bool undone = true;
  switch (file->state) {
    case kStaged:
      if (file->temp_path[0] != '\0') undone = DeleteOwnFile(file->temp_path);
      break;
    case kInPlace:
      if (file->backup_path[0] == '\0') {
        // Only a file that had no old one goes; without a backup of an old
        // file there is nothing to put back.
        if (file->original_attributes == kInvalidFileAttributes) {
          undone = DeleteOwnFile(file->destination);
        }
        break;
      }
      ClearReadOnly(file->destination);
      [[fallthrough]];
    case kLeftOut:
      if (!PlatformRestoreBackup(file->backup_path, file->destination)) {
        // The new file stays, with its own word; the user must know where
        // the old one is.
        if (file->state == kInPlace) {
          PlatformSetFileAttributes(file->destination, file->final_attributes);
        }
        PrintMessage(MSG_UNDO_FAILED, file->destination, file->backup_path);
        LogLeft(file->backup_path, file->destination);
        g_pending.left_over = true;
        return false;
      }
      if (file->state == kLeftOut) undone = DeleteOwnFile(file->temp_path);
      break;
  }
  file->state = kStaged;
  file->temp_path[0] = '\0';
  if (file->original_attributes != kInvalidFileAttributes &&
      PlatformGetFileAttributes(file->destination) != file->original_attributes) {
    PlatformSetFileAttributes(file->destination, file->original_attributes);
  }
  return undone;
}

// Removes the folders a chain's entry made, deepest first, up to the
// outermost one; a folder that still holds anything stays. Returns how many
// went.
int RemoveMadeFolders(FolderChain* chain) {
  int removed = 0;
  if (chain->first_made == 0) return 0;
  char* folder = chain->folder;
  for (size_t length = strlen(folder); length >= chain->first_made;) {
    removed += PlatformRemoveDirectory(folder) ? 1 : 0;
    while (length > 0 && folder[length - 1] != '\\') --length;
    if (length == 0) break;
    folder[--length] = '\0';
  }
  return removed;
}

// How many folders a chain's entry made: the outermost one and each below it.
int CountMadeFolders(const FolderChain& chain) {
  if (chain.first_made == 0) return 0;
  int count = 1;
  for (const char* p = chain.folder + chain.first_made; *p != '\0'; ++p) count += *p == '\\';
  return count;
}

// True when name begins with prefix, in any case.
bool StartsWithFolded(const char* name, const char* prefix) {
  for (; *prefix != '\0'; ++name, ++prefix) {
    if (FoldCase(*name) != *prefix) return false;
  }
  return true;
}

// True for "~3pu-NAME.bak": the old file of destination NAME, kept by a
// replace.
bool IsNamedBackup(const char* name) {
  size_t length = strlen(name);
  return length > strlen("~3pu-.bak") && StartsWithFolded(name, "~3pu-") &&
         StartsWithFolded(name + length - 4, ".bak");
}

// True for a name the run gives its own files: "~3pu", four hex digits,
// ".tmp" or ".bak", in any case; or "~3pu-NAME.bak".
bool IsOwnFileName(const char* name) {
  if (IsNamedBackup(name)) return true;
  if (strlen(name) != kOwnNameLength || !StartsWithFolded(name, "~3pu")) return false;
  for (size_t i = 4; i < 8; ++i) {
    if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return StartsWithFolded(name + 8, ".tmp") || StartsWithFolded(name + 8, ".bak");
}

// True for an own name of the old file of a destination, kept by a replace.
bool IsBackupName(const char* name) { return StartsWithFolded(name + strlen(name) - 4, ".bak"); }

// What the search for another name of a leftover file needs: the folder,
// the file's identity and, once found, that other name.
struct TwinSearch {
  const char* folder;
  PlatformFileIdentity identity;
  char twin[kMaxTempPath];  // empty until found
};

// A name in the folder, not of the run's pattern, of the same file.
void MatchTwin(void* context, const char* name) {
  TwinSearch* search = static_cast<TwinSearch*>(context);
  if (search->twin[0] != '\0' || IsOwnFileName(name)) return;
  char path[kMaxTempPath];
  if (snprintf(path, sizeof path, "%s\\%s", search->folder, name) >= static_cast<int>(sizeof path)) {
    return;
  }
  PlatformFileIdentity other;
  if (PlatformGetFileIdentity(path, &other) && other.volume == search->identity.volume &&
      other.index == search->identity.index) {
    snprintf(search->twin, sizeof search->twin, "%s", path);
  }
}

// Remembers a file named on the console as left, so that the litter
// cleanup leaves it as named (path may lie in g_pending itself).
void NoteNamedLeft(const char* path) {
  if (g_pending.named_left_count == kMaxNamedLeft) return;
  char* slot = g_pending.named_left[g_pending.named_left_count++];
  size_t length = strnlen(path, kMaxTempPath - 1);
  memmove(slot, path, length);
  slot[length] = '\0';
}

// A leftover that may be the only copy of a file stays, named once.
void KeepEarlierFile(const char* path) {
  PrintMessage(MSG_EARLIER_FILE_KEPT, path);
  g_pending.left_over = true;
  NoteNamedLeft(path);
}

// Deletes a file of the run's own name pattern that an earlier, killed run
// left in a folder this run writes to, when nothing is lost with it: a
// temporary file with one name (a new file, which the archive holds), or
// provably a second name of a file in place (the same file ID as another
// file of the folder). A backup with one name is the only copy of an old
// file whose destination an earlier run may have left missing, and a file
// whose identity cannot be read may be one: they stay, named. A file of
// this run that could not be deleted is named on the console already, and
// stays as named.
void DeleteLitter(void* context, const char* name) {
  if (!IsOwnFileName(name)) return;
  const char* folder = static_cast<const char*>(context);
  char path[kMaxTempPath];
  if (snprintf(path, sizeof path, "%s\\%s", folder, name) >= static_cast<int>(sizeof path)) {
    return;
  }
  for (int i = 0; i < g_pending.count; ++i) {
    if (SamePath(g_pending.files[i].backup_path, path)) return;
  }
  for (int i = 0; i < g_pending.named_left_count; ++i) {
    if (SamePath(g_pending.named_left[i], path)) return;
  }
  TwinSearch search = {folder, {}, {}};
  if (!PlatformGetFileIdentity(path, &search.identity)) {
    KeepEarlierFile(path);
  } else if (search.identity.links > 1) {
    PlatformListFiles(folder, MatchTwin, &search);
    if (search.twin[0] != '\0') {
      // The read-only bit belongs to the file, not to a name: taking it off
      // for the deletion would take it off the file in place too, and a
      // crash before it went back on would leave that file writable. A
      // read-only second name stays, named.
      if (!PlatformDeleteFile(path)) ReportLeftOver(path);
    } else {
      KeepEarlierFile(path);
    }
  } else if (IsBackupName(name)) {
    KeepEarlierFile(path);
  } else {
    DeleteOwnFile(path);
  }
}

// What the search for an earlier run's numbered backup needs.
struct NumberedSearch {
  const char* folder;
  bool found;
};

// A "~3puXXXX.bak" of the folder that may be the only copy of a file (one
// name, or a look that failed).
void MatchNumberedBackup(void* context, const char* name) {
  NumberedSearch* search = static_cast<NumberedSearch*>(context);
  if (search->found || !IsOwnFileName(name) || IsNamedBackup(name) || !IsBackupName(name)) return;
  char path[kMaxTempPath];
  PlatformFileIdentity identity;
  search->found = snprintf(path, sizeof path, "%s\\%s", search->folder, name) >=
                      static_cast<int>(sizeof path) ||
                  !PlatformGetFileIdentity(path, &identity) || identity.links == 1;
}

void ReportBackupLeft(const PendingFile* file) {
  PrintMessage(MSG_BACKUP_LEFT, file->destination, file->backup_path);
  LogLeft(file->backup_path, file->destination);
  g_pending.left_over = true;
}

// Clears the litter of earlier runs out of every folder this run writes
// to, each folder once.
void DeleteEarlierLitter() {
  for (int i = 0; i < g_pending.chain_count; ++i) {
    const char* folder = g_pending.chains[i].folder;
    bool seen = false;
    for (int k = 0; k < i && !seen; ++k) seen = SamePath(g_pending.chains[k].folder, folder);
    if (!seen) PlatformListFiles(folder, DeleteLitter, const_cast<char*>(folder));
  }
}

}  // namespace

void ReportLeftOver(const char* path) {
  PrintMessage(MSG_FILE_LEFT, path);
  LogLeft(path, nullptr);
  g_pending.left_over = true;
  NoteNamedLeft(path);
}

bool RunLeftSomething() { return g_pending.left_over; }

bool FolderMayHoldNumberedBackup(const char* destination) {
  char folder[kFolderSize];
  SplitDestinationPath(destination, folder);
  NumberedSearch search = {folder, false};
  return !PlatformListFiles(folder, MatchNumberedBackup, &search) || search.found;
}

bool FindPending(const char* path, PendingView* view) {
  const PendingFile* file = FindFile(path);
  if (file == nullptr) return false;
  view->last_write_time = file->time;
  view->attributes = file->final_attributes;
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
    file->original_attributes = choice.attributes;
    file->backup_path[0] = '\0';
    file->state = kStaged;
  }
  snprintf(file->temp_path, sizeof file->temp_path, "%s", temp_path);
  file->time = modification_time;
  if (choice.attributes == kInvalidFileAttributes) {
    file->final_attributes = kAttributeArchive;  // what a newly written file reports
  } else {
    // The word of the file it replaces (the one saved for Overwrite), with
    // the archive bit added as any write sets it: backup programs look for
    // it. (NORMAL means "no other bit" and may not be combined with one.)
    file->final_attributes = (choice.attributes & ~kAttributeNormal) | kAttributeArchive;
  }
}

void NoteFolderChain(const char* folder, size_t first_made) {
  if (g_pending.chain_count == kMaxPending) return;  // cannot happen: one per entry
  FolderChain* chain = &g_pending.chains[g_pending.chain_count++];
  snprintf(chain->folder, sizeof chain->folder, "%s", folder);
  chain->first_made = first_made;
}

void QueueViewer(uint8_t kind, const char* path) {
  if (kind < 'A' || kind > 'Z' || g_pending.viewer_count == kMaxPending) return;
  snprintf(g_pending.viewers[g_pending.viewer_count++], kMaxDestinationPath + 1, "%s", path);
}

void CommitPending() {
  for (int i = 0; i < g_pending.count; ++i) {
    CheckInterrupt();
    PendingFile* file = &g_pending.files[i];
    switch (PlatformReplaceKeepingBackup(file->temp_path, file->destination,
                                         file->final_attributes, file->backup_path)) {
      case kReplaced:
        file->state = kInPlace;
        break;
      case kReplacedWrongWord:
        // The new file is in without its word: the rollback puts the old one
        // back, as for any file already in place.
        file->state = kInPlace;
        ErrorStop(MSG_CANNOT_WRITE, file->destination);
      case kStranded:
        file->state = kLeftOut;
        ErrorStop(MSG_CANNOT_WRITE, file->destination);
      case kNotReplaced:
        // The old file is still at its own name; a second name the replace
        // could not take off it again is named, then the run stops.
        if (file->backup_path[0] != '\0') ReportBackupLeft(file);
        CheckInterrupt();  // a wait for a holder cut short by an interrupt
        ErrorStop(MSG_CANNOT_WRITE, file->destination);
    }
  }
  // Every file is in place: the update stands, whatever comes now.
  g_pending.committed = true;
  for (int i = 0; i < g_pending.count; ++i) {
    PendingFile* file = &g_pending.files[i];
    if (file->backup_path[0] == '\0') continue;
    if (RemoveOwnFile(file->backup_path)) {
      file->backup_path[0] = '\0';
    } else {
      ReportBackupLeft(file);
    }
  }
  DeleteEarlierLitter();
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
  // What was put back is logged once it is back, and only that: a staged
  // file that never took its place changed nothing (one that stays is named
  // on its own line). The line comes when the run had changed something on
  // the disk, and says "in part" when not all of it is back.
  int folders = 0;
  int changed = 0;  // files whose destination the run had changed
  int put_back = 0;
  for (int i = g_pending.count; i-- > 0;) {
    bool was_changed = g_pending.files[i].state != kStaged;
    bool undone = UndoOne(&g_pending.files[i]);
    if (was_changed) {
      ++changed;
      put_back += undone ? 1 : 0;
    }
  }
  for (int i = 0; i < g_pending.chain_count; ++i) folders += CountMadeFolders(g_pending.chains[i]);
  int removed = 0;
  for (int i = g_pending.chain_count; i-- > 0;) removed += RemoveMadeFolders(&g_pending.chains[i]);
  if (changed > 0 || folders > 0) LogRollback(put_back, changed, removed, folders);
  g_pending.count = 0;
  g_pending.chain_count = 0;
  g_pending.viewer_count = 0;
}
