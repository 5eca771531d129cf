// Putting a finished temporary file in its destination's place, keeping the
// old file until the whole update is in, and putting the old file back.
//
// Where the volume has hard links (NTFS), the old file first gets a second
// name, "~3pu-NAME.bak", and ReplaceFile (keeping no backup of its own) then
// puts the new file in place: it gives the new file the old one's
// permissions, short name, object ID, named streams, compression,
// encryption and creation time, and the link holds the old file through
// ReplaceFile's own steps. The final attribute word is set right after.
// Where the volume has no hard links (FAT), ReplaceFile keeps the old file
// under the backup name itself; any other refusal of the link stops the
// replace with the file as it was. The backup name, after the destination's,
// lets a later run put back an old file that a crash between ReplaceFile's
// two renames left without its own name.
//
// What a failed call left is read from the disk: the destination holds the
// new file when its file ID is the one the temporary file had when it was
// closed, or (ReplaceFile, whose renames may change a FAT file's ID) when
// the old file is under its backup name and the temporary file is gone.
// Anything that could not be looked at counts as present, so that no move
// ever replaces a file the program believed absent, and the backup name
// goes only where the destination is seen to be the old file still.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/holder_retry.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {

struct FileId {
  DWORD volume;  // the volume's serial number
  DWORD high;    // the file ID
  DWORD low;
  DWORD links;   // how many names the file has (not part of its identity)
};

// The identities of the temporary files closed so far, newest last; a run
// replaces at most 255 files, and superseded ones drop out of the ring.
constexpr int kClosedFiles = 512;

struct ClosedFile {
  char path[kMaxTempPath];
  FileId id;
};

struct ClosedFiles {
  int next;  // slot the next note goes to
  ClosedFile files[kClosedFiles];
};
ClosedFiles g_closed;

// The attribute bits that SetFileAttributes sets; the others (directory,
// compressed, encrypted, sparse, reparse point) belong to the file system.
constexpr DWORD kSettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

enum Presence { kPresent, kAbsent, kUnknown };

// Opens path (ANSI, or the wide long form) for reading its attributes or
// (write) also writing them, sharing everything; a folder opens too.
HANDLE OpenForAttributes(const char* path, bool write) {
  DWORD access = FILE_READ_ATTRIBUTES | (write ? FILE_WRITE_ATTRIBUTES : 0);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (!IsLongPath(path)) {
    return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
  }
  wchar_t wide[kWidePath];
  if (!ToLongWidePath(path, wide, kWidePath)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

// The attribute word of path itself (a link is not followed), long names
// included. INVALID_FILE_ATTRIBUTES, with the error set, when it cannot be
// read.
DWORD ReadWord(const char* path) {
  if (!IsLongPath(path)) return GetFileAttributesA(path);
  wchar_t wide[kWidePath];
  if (ToLongWidePath(path, wide, kWidePath)) return GetFileAttributesW(wide);
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return INVALID_FILE_ATTRIBUTES;
}

// Only "file not found" and "path not found" mean absent: any other
// failure (a network error, a refused look) leaves it unknown.
bool MeansAbsent(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Whether a file is at path.
Presence Probe(const char* path) {
  if (ReadWord(path) != INVALID_FILE_ATTRIBUTES) return kPresent;
  return MeansAbsent(GetLastError()) ? kAbsent : kUnknown;
}

bool SameFile(const FileId& a, const FileId& b) {
  return a.volume == b.volume && a.high == b.high && a.low == b.low;
}

bool ReadFileId(HANDLE file, FileId* id) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return false;
  *id = FileId{information.dwVolumeSerialNumber, information.nFileIndexHigh,
               information.nFileIndexLow, information.nNumberOfLinks};
  return true;
}

// The identity noted when the temporary file at path was closed.
bool ClosedFileId(const char* path, FileId* id) {
  for (int i = 0; i < kClosedFiles; ++i) {
    const ClosedFile& closed = g_closed.files[i];
    if (closed.path[0] != '\0' && std::strcmp(closed.path, path) == 0) {
      *id = closed.id;
      return true;
    }
  }
  return false;
}

// Which file is at path: kPresent with its ID in *id, kAbsent when no file
// is there, kUnknown when the look failed (the file may be there or not).
Presence ReadIdentity(const char* path, FileId* id) {
  if (InjectFault(kFaultFileId)) return kUnknown;
  HANDLE file = OpenForAttributes(path, false);
  if (file == INVALID_HANDLE_VALUE) return MeansAbsent(GetLastError()) ? kAbsent : kUnknown;
  bool read = ReadFileId(file, id);
  CloseHandle(file);
  return read ? kPresent : kUnknown;
}

// True when the file at path was looked at and is the one known by id.
bool HoldsFile(const char* path, const FileId* id) {
  FileId found;
  return id != nullptr && ReadIdentity(path, &found) == kPresent && SameFile(found, *id);
}

// True when path and backup were both looked at and are one file under two
// names: the destination still names the old file, so its second name may
// go. Any look that failed says no, and the second name stays.
bool StillOldFile(const char* path, const char* backup) {
  FileId at_path;
  FileId at_backup;
  return ReadIdentity(path, &at_path) == kPresent && ReadIdentity(backup, &at_backup) == kPresent &&
         SameFile(at_path, at_backup);
}

// One write-through MoveFileEx; with replace, an existing file at to is
// replaced, without it the move fails when a file is there. The call
// returns only when the move is on the disk.
bool MoveWriteThrough(const char* from, const char* to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!IsLongPath(from) && !IsLongPath(to)) return MoveFileExA(from, to, flags) != 0;
  wchar_t wide_from[kWidePath];
  wchar_t wide_to[kWidePath];
  return ToLongWidePath(from, wide_from, kWidePath) && ToLongWidePath(to, wide_to, kWidePath) &&
         MoveFileExW(wide_from, wide_to, flags) != 0;
}

// Failures of a move or replace that a moment's wait can cure: another
// process (a virus scanner, an indexer, a viewer that is closing) still
// holds the destination or the new file, or a file there is pending
// deletion. With ERROR_UNABLE_TO_REMOVE_REPLACED nothing has moved yet.
AttemptResult ReplaceFailure(DWORD error) {
  bool held = IsHeldError(error) || error == ERROR_ACCESS_DENIED ||
              error == ERROR_UNABLE_TO_REMOVE_REPLACED;
  return held ? kAttemptHeld : kAttemptFailed;
}

// DeleteFile without waiting for a holder.
bool DeleteNow(const char* path) {
  if (!IsLongPath(path)) return DeleteFileA(path) != 0;
  wchar_t wide[kWidePath];
  return ToLongWidePath(path, wide, kWidePath) && DeleteFileW(wide) != 0;
}

// Takes the backup name off the old file again when the old file stays at
// its own name. A name that cannot be deleted stays in backup_path, so that
// the caller can say where it is.
void DropBackupName(char* backup_path) {
  if (InjectFault(kFaultDelete)) return;
  if (DeleteNow(backup_path) || GetLastError() == ERROR_FILE_NOT_FOUND ||
      GetLastError() == ERROR_PATH_NOT_FOUND) {
    backup_path[0] = '\0';
  }
}

// A write-through move, waiting for a holder.
bool MoveWhileHeld(const char* from, const char* to, bool replace) {
  return RetryWhileHeld([&] {
    return MoveWriteThrough(from, to, replace) ? kAttemptDone : ReplaceFailure(GetLastError());
  });
}

bool SetAttributeBits(const char* path, DWORD bits) {
  if (!IsLongPath(path)) return SetFileAttributesA(path, bits) != 0;
  wchar_t wide[kWidePath];
  return ToLongWidePath(path, wide, kWidePath) && SetFileAttributesW(wide, bits) != 0;
}

// Gives path exactly the attribute word (NORMAL when no bit is left). A
// layer that keeps the hidden and system bits beside the file cannot change
// them once the file is read-only (Wine, run as an ordinary user): the other
// bits go first, the read-only bit with the last call.
bool SetWord(const char* path, uint32_t word) {
  if (InjectFault(kFaultSetAttributes)) return false;
  DWORD wanted = word & kSettableAttributes;
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  DWORD first = wanted & ~FILE_ATTRIBUTE_READONLY;
  if (first != wanted && first != 0 && !SetAttributeBits(path, first)) return false;
  return SetAttributeBits(path, wanted);
}

// Gives the file at to the creation time of the file at from (ReplaceFile
// does this itself).
bool CarryCreationTime(const char* from, const char* to) {
  if (InjectFault(kFaultSetTimes)) return false;
  HANDLE source = OpenForAttributes(from, false);
  if (source == INVALID_HANDLE_VALUE) return false;
  FILETIME created;
  bool read = GetFileTime(source, &created, nullptr, nullptr) != 0;
  CloseHandle(source);
  if (!read) return false;
  HANDLE target = OpenForAttributes(to, true);
  if (target == INVALID_HANDLE_VALUE) return false;
  bool set = SetFileTime(target, &created, nullptr, nullptr) != 0;
  return CloseHandle(target) != 0 && set;
}

enum LinkResult {
  kLinked,        // the old file has its second name
  kNoHardLinks,   // the volume has no hard links: ReplaceFile's two renames are the way
  kLinkRefused,   // any other failure: the replace stops with the file as it was
};

// CreateHardLink of link_path to target, the wide long form where needed.
bool MakeHardLink(const char* link_path, const char* target) {
  if (!IsLongPath(link_path) && !IsLongPath(target)) {
    return CreateHardLinkA(link_path, target, nullptr) != 0;
  }
  wchar_t wide_link[kWidePath];
  wchar_t wide_target[kWidePath];
  return ToLongWidePath(link_path, wide_link, kWidePath) &&
         ToLongWidePath(target, wide_target, kWidePath) &&
         CreateHardLinkW(wide_link, wide_target, nullptr) != 0;
}

// The errors of a volume that has no hard links at all: FAT and exFAT
// answer ERROR_INVALID_FUNCTION, some network file systems
// ERROR_NOT_SUPPORTED. The 1023-link limit (ERROR_TOO_MANY_LINKS), a
// refused access or a holder are not among them: the volume has links,
// and the two renames would only open the gap the link is there to close.
bool MeansNoHardLinks(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_CALL_NOT_IMPLEMENTED;
}

// The backup name that says whose old file it is: "~3pu-NAME.bak" beside
// destination NAME. False when it would not fit in a name (255 characters,
// counted here in bytes) or in kMaxTempPath.
bool ComposeNamedBackup(const char* destination, char* backup_path) {
  char folder[kMaxTempPath];
  if (!CopyParentFolder(destination, folder)) return false;
  const char* name = destination + std::strlen(folder);
  size_t name_length = std::strlen(name);
  if (name_length == 0 || name_length + std::strlen("~3pu-.bak") > 255) return false;
  int length = std::snprintf(backup_path, kMaxTempPath, "%s~3pu-%s.bak", folder, name);
  return length > 0 && static_cast<size_t>(length) < kMaxTempPath;
}

// Gives the old file at destination a second name beside it (written to
// backup_path; empty unless kLinked): the name that says whose file it is,
// or "~3puXXXX.bak" where an earlier run's file has that one. A holder that
// keeps the link from being made is waited for as for any held file (the
// waits of RetryWhileHeld, without the injector's "held" kind, whose counts
// belong to the moves).
LinkResult LinkBackup(const char* destination, char* backup_path) {
  char folder[kMaxTempPath];
  backup_path[0] = '\0';
  if (InjectFault(kFaultHardLink)) return kNoHardLinks;
  if (ComposeNamedBackup(destination, backup_path) && MakeHardLink(backup_path, destination)) {
    return kLinked;
  }
  backup_path[0] = '\0';
  if (!CopyParentFolder(destination, folder)) return kLinkRefused;
  constexpr size_t kWaits = sizeof kHolderWaitsMs / sizeof kHolderWaitsMs[0];
  size_t waited = 0;
  for (int attempt = 0; attempt < kTempNameTries;) {
    int length = std::snprintf(backup_path, kMaxTempPath, "%s~3pu%04X.bak", folder,
                               NextTempNumber());
    if (length < 0 || static_cast<size_t>(length) >= kMaxTempPath) break;
    if (MakeHardLink(backup_path, destination)) return kLinked;
    DWORD error = GetLastError();
    backup_path[0] = '\0';
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
      ++attempt;
      continue;
    }
    if (MeansNoHardLinks(error)) return kNoHardLinks;
    if (!IsHeldError(error) || waited == kWaits || PauseForHolder(kHolderWaitsMs[waited])) break;
    ++waited;
  }
  backup_path[0] = '\0';
  return kLinkRefused;
}

// Picks a backup name beside destination that no file has (for
// ReplaceFile, which makes the backup itself): the one that says whose file
// it is, else "~3puXXXX.bak".
bool PickBackupName(const char* destination, char* backup_path) {
  if (ComposeNamedBackup(destination, backup_path) && Probe(backup_path) == kAbsent) return true;
  char folder[kMaxTempPath];
  if (!CopyParentFolder(destination, folder)) return false;
  for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
    int length = std::snprintf(backup_path, kMaxTempPath, "%s~3pu%04X.bak", folder,
                               NextTempNumber());
    if (length < 0 || static_cast<size_t>(length) >= kMaxTempPath) break;
    if (Probe(backup_path) == kAbsent) return true;
  }
  backup_path[0] = '\0';
  return false;
}

// ReplaceFile of replaced by replacement, keeping the old file under backup
// (or nowhere when backup is null). Where the wide call refuses "\\?\" names
// (Wine), write-through moves do the same, the old file first.
bool ReplaceWithFileCall(const char* replacement, const char* replaced, const char* backup) {
  if (!IsLongPath(replacement) && !IsLongPath(replaced) &&
      (backup == nullptr || !IsLongPath(backup))) {
    return ReplaceFileA(replaced, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                        nullptr) != 0;
  }
  wchar_t wide_replacement[kWidePath];
  wchar_t wide_replaced[kWidePath];
  wchar_t wide_backup[kWidePath];
  if (!ToLongWidePath(replacement, wide_replacement, kWidePath) ||
      !ToLongWidePath(replaced, wide_replaced, kWidePath) ||
      (backup != nullptr && !ToLongWidePath(backup, wide_backup, kWidePath))) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (ReplaceFileW(wide_replaced, wide_replacement, backup != nullptr ? wide_backup : nullptr,
                   REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    return true;
  }
  if (GetLastError() != ERROR_INVALID_NAME) return false;
  if (backup == nullptr) return MoveWriteThrough(replacement, replaced, true);
  if (!MoveWriteThrough(replaced, backup, false)) return false;
  if (MoveWriteThrough(replacement, replaced, false)) return true;
  SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
  return false;
}

// The destination has no file after a failed replace: the old file goes
// back from its backup name, or else the new one goes in. Neither move
// replaces anything, and nothing is deleted.
ReplaceOutcome SettleHalfway(const char* source, const char* destination, char* backup_path) {
  if (InjectFault(kFaultKillHalfway)) TerminateProcess(GetCurrentProcess(), 137);
  Presence backup = backup_path[0] != '\0' ? Probe(backup_path) : kAbsent;
  if (backup == kAbsent) backup_path[0] = '\0';
  if (backup == kPresent && !InjectFault(kFaultRestore) &&
      MoveWhileHeld(backup_path, destination, false)) {
    backup_path[0] = '\0';
    return kNotReplaced;
  }
  return MoveWhileHeld(source, destination, false) ? kReplaced : kStranded;
}

// No file at destination: the new file moves there with its word, and the
// move fails if a file has appeared meanwhile. After a failed move the new
// file is in when the destination is seen to be it, or when it is seen
// gone from its temporary name while the destination cannot be looked at
// (a move whose reply was lost); otherwise it counts as not moved, and the
// caller stops with nothing deleted.
ReplaceOutcome MoveIntoPlace(const char* source, const char* destination, uint32_t word,
                             const FileId* new_id) {
  if (!SetWord(source, word)) return kNotReplaced;
  if (MoveWhileHeld(source, destination, false)) return kReplaced;
  FileId found;
  switch (ReadIdentity(destination, &found)) {
    case kPresent:
      return new_id != nullptr && SameFile(found, *new_id) ? kReplaced : kNotReplaced;
    case kUnknown:
      return Probe(source) == kAbsent ? kReplaced : kNotReplaced;
    case kAbsent:
      break;
  }
  return kNotReplaced;
}

// After a ReplaceFile, which gives the new file the old one's word: the
// final word. When it cannot be set, the new file is in with the wrong
// word; the caller's rollback puts the old file back (retrying, and naming
// it where it cannot), so nothing is undone here.
ReplaceOutcome KeepWord(const char* destination, uint32_t word) {
  return SetWord(destination, word) ? kReplaced : kReplacedWrongWord;
}

// The old file has its backup link: ReplaceFile, keeping no backup of its
// own, puts the new file in its place and gives it what belongs to the old
// one beyond its bytes (permissions, short name, object ID, named streams,
// compression, encryption, creation time). Inside ReplaceFile the old file
// may lose its name for a moment (ERROR_UNABLE_TO_MOVE_REPLACEMENT); the
// link keeps it all the while, and such a gap is settled from it. The new
// file is given its word right after (ReplaceFile gives it the old one's).
ReplaceOutcome ReplaceOverLink(const char* source, const char* destination, uint32_t word,
                               const FileId* new_id, char* backup_path) {
  if (!CarryCreationTime(destination, source)) {
    DropBackupName(backup_path);
    return kNotReplaced;
  }
  if (InjectFault(kFaultReplaceHalfway)) {
    // The state a system that stops halfway would leave: the old file only
    // under its backup name, the new one still under its temporary name.
    if (DeleteNow(destination)) return SettleHalfway(source, destination, backup_path);
  }
  bool replaced = RetryWhileHeld([&] {
    if (ReplaceWithFileCall(source, destination, nullptr)) return kAttemptDone;
    DWORD error = GetLastError();
    // The gap inside ReplaceFile: settled below from the link.
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) return kAttemptFailed;
    return ReplaceFailure(error);
  });
  if (replaced || HoldsFile(destination, new_id)) return KeepWord(destination, word);
  if (Probe(destination) == kAbsent) return SettleHalfway(source, destination, backup_path);
  // The second name goes only when the destination is seen to name the old
  // file still. When that is not known (a look failed), the second name may
  // be the only one: it stays, and the caller says where it is.
  if (StillOldFile(destination, backup_path)) DropBackupName(backup_path);
  return kNotReplaced;
}

// No hard links: ReplaceFile keeps the old file under the backup name and
// gives the new one the old one's word and creation time; the final word
// is set right after it.
ReplaceOutcome ReplaceWithBackup(const char* source, const char* destination, uint32_t word,
                                 const FileId* new_id, char* backup_path) {
  if (!PickBackupName(destination, backup_path)) return kNotReplaced;
  if (InjectFault(kFaultReplaceHalfway)) {
    // The state ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 leaves.
    if (!MoveWriteThrough(destination, backup_path, false)) {
      backup_path[0] = '\0';
      return kNotReplaced;
    }
    return SettleHalfway(source, destination, backup_path);
  }
  ReplaceOutcome outcome = kNotReplaced;
  RetryWhileHeld([&] {
    if (ReplaceWithFileCall(source, destination, backup_path)) {
      outcome = kReplaced;
      return kAttemptDone;
    }
    DWORD error = GetLastError();
    Presence there = Probe(destination);
    if (there == kAbsent) {
      outcome = SettleHalfway(source, destination, backup_path);
      return kAttemptDone;
    }
    if (there == kPresent && (HoldsFile(destination, new_id) ||
                              (Probe(backup_path) == kPresent && Probe(source) == kAbsent))) {
      outcome = kReplaced;  // the new file is in after all
      return kAttemptDone;
    }
    return ReplaceFailure(error);
  });
  // A failed ReplaceFile normally leaves no backup; one that is there, or
  // could not be looked at, stays named, since it may be the old file.
  if (outcome == kNotReplaced && Probe(backup_path) == kAbsent) backup_path[0] = '\0';
  if (outcome != kReplaced) return outcome;
  return KeepWord(destination, word);
}

}  // namespace

void NoteClosedFile(const char* path, HANDLE file) {
  ClosedFile* slot = &g_closed.files[g_closed.next];
  if (!ReadFileId(file, &slot->id)) return;
  std::snprintf(slot->path, sizeof slot->path, "%s", path);
  g_closed.next = (g_closed.next + 1) % kClosedFiles;
}

ReplaceOutcome PlatformReplaceKeepingBackup(const char* source, const char* destination,
                                            uint32_t final_attributes, char* backup_path) {
  backup_path[0] = '\0';
  if (InjectFault(kFaultKill)) TerminateProcess(GetCurrentProcess(), 137);
  if (InjectFault(kFaultReplace)) return kNotReplaced;
  if (InjectFault(kFaultTempVanished)) DeleteNow(source);  // a scanner took it away
  FileId id;
  const FileId* new_id = ClosedFileId(source, &id) ? &id : nullptr;
  switch (Probe(destination)) {
    case kUnknown:
      return kNotReplaced;
    case kAbsent:
      return MoveIntoPlace(source, destination, final_attributes, new_id);
    case kPresent:
      break;
  }
  // The system refuses to replace a read-only file: its bit goes right
  // before the replace and comes back when the old file stays.
  DWORD old_word = ReadWord(destination);
  bool read_only = old_word != INVALID_FILE_ATTRIBUTES && (old_word & FILE_ATTRIBUTE_READONLY);
  DWORD writable = old_word & kSettableAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (read_only && !SetAttributeBits(destination, writable != 0 ? writable
                                                                 : FILE_ATTRIBUTE_NORMAL)) {
    return kNotReplaced;
  }
  ReplaceOutcome outcome = kNotReplaced;
  switch (LinkBackup(destination, backup_path)) {
    case kLinked:
      outcome = ReplaceOverLink(source, destination, final_attributes, new_id, backup_path);
      break;
    case kNoHardLinks:
      outcome = ReplaceWithBackup(source, destination, final_attributes, new_id, backup_path);
      break;
    case kLinkRefused:
      break;
  }
  if (outcome == kNotReplaced && read_only && Probe(destination) == kPresent) {
    SetAttributeBits(destination, old_word & kSettableAttributes);
  }
  return outcome;
}

// The old file goes back by a write-through rename of its backup name over
// the new file: the old file is the same file it was (its permissions, its
// streams), none of the new one's merged onto it. A rename onto a file that
// another program holds, even sharing everything (a scanner on the file
// just replaced), is refused, so a held destination is replaced by
// ReplaceFile instead, which opens it sharing everything (the old file then
// takes the new one's permissions: better than no old file). A destination
// that is gone takes the old file by a move that replaces nothing. Every
// move is tried again while a holder keeps it from happening.
bool PlatformRestoreBackup(const char* backup, const char* destination) {
  if (InjectFault(kFaultRestore)) return false;
  switch (Probe(destination)) {
    case kUnknown:
      return false;
    case kAbsent:
      return MoveWhileHeld(backup, destination, false);
    case kPresent:
      break;
  }
  return RetryWhileHeld([&] {
    if (MoveWriteThrough(backup, destination, true)) return kAttemptDone;
    if (ReplaceFailure(GetLastError()) != kAttemptHeld) return kAttemptFailed;
    if (ReplaceWithFileCall(backup, destination, nullptr)) return kAttemptDone;
    DWORD error = GetLastError();
    // Without a backup name, ERROR_UNABLE_TO_MOVE_REPLACEMENT leaves no file
    // at destination and the old one still under its backup name.
    if (Probe(destination) == kAbsent) {
      return MoveWriteThrough(backup, destination, false) ? kAttemptDone
                                                          : ReplaceFailure(GetLastError());
    }
    return ReplaceFailure(error);
  });
}

// A reparse point under the backup name is not moved: a link is no file,
// and any other kind may hold the old file, which then stays.
EarlierBackup PlatformFindEarlierBackup(const char* destination, char* backup_path) {
  if (!ComposeNamedBackup(destination, backup_path)) return kNoEarlierBackup;
  DWORD word = ReadWord(backup_path);
  if (word == INVALID_FILE_ATTRIBUTES) {
    return MeansAbsent(GetLastError()) ? kNoEarlierBackup : kBackupUnknown;
  }
  if ((word & FILE_ATTRIBUTE_DIRECTORY) != 0) return kNoEarlierBackup;
  if ((word & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kBackupUnknown;
  FileId id;
  if (ReadIdentity(backup_path, &id) != kPresent) return kBackupUnknown;
  // A second name of a file in place is no lost destination's old file.
  return id.links > 1 ? kNoEarlierBackup : kBackupFound;
}

bool PlatformPutBackEarlierBackup(const char* backup, const char* destination) {
  return !InjectFault(kFaultRestore) && MoveWhileHeld(backup, destination, false);
}
