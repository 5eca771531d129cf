#include "install/overwrite_policy.h"

#include "console/console.h"
#include "console/run_log.h"
#include "install/pending_updates.h"
#include "platform/platform.h"

namespace {

// The Yes/No/All/SkipAll question about a newer file at path.
WriteDecision AskOverwrite(const char* path, OverwriteMode* mode) {
  PrintMessage(MSG_NEWER_FILE_EXISTS);
  PrintMessage(MSG_ASK_OVERWRITE, path);
  int answer = ReadAnswerKey("yYnNaAsS");
  if (answer < 0) return kSkip;
  DiscardLine();
  switch (answer) {
    case 'y': case 'Y': return kOverwrite;
    case 'a': case 'A': *mode = kOverwriteAll; return kOverwrite;
    case 's': case 'S': *mode = kSkipAll; return kSkip;
    default: return kSkip;
  }
}

// The decision for an existing file that is newer than the entry.
WriteDecision DecideForNewerFile(const char* path, OverwriteMode* mode) {
  switch (*mode) {
    case kSkipAll: return kSkip;
    case kOverwriteAll: return kOverwrite;
    case kAsk: break;
  }
  return AskOverwrite(path, mode);
}

// Set once an entry was skipped because its destination could not be looked at.
bool g_file_unknown = false;

// A destination that could not be looked at: it may hold a newer file, so
// it is neither written nor asked about; the run is not complete.
WriteChoice SkipUnknownFile(WriteChoice choice) {
  PrintMessage(MSG_BAD_FILE_HANDLE);
  g_file_unknown = true;
  choice.decision = kSkip;
  return choice;
}

// A destination that an earlier run's crash left without a file, its old
// file under the backup name beside it, gets that file back before the
// decision: the update then goes on as over the old file, which keeps its
// attribute word (hidden, system, read-only) and its question. The put-back
// stays when the run rolls back: it is the file that was there. A backup
// that may be there but does not come back leaves the destination unknown,
// and so does one beside an earlier run's numbered backup: a run whose
// backup name was taken kept the old file under a number, so the latest
// old file of the destination may be that one.
PlatformPresence PutBackEarlierBackup(const char* path) {
  char backup[kMaxTempPath];
  switch (PlatformFindEarlierBackup(path, backup)) {
    case kNoEarlierBackup: return kFileAbsent;
    case kBackupUnknown: return kPresenceUnknown;
    case kBackupFound: break;
  }
  if (FolderMayHoldNumberedBackup(path) || !PlatformPutBackEarlierBackup(backup, path)) {
    return kPresenceUnknown;
  }
  LogPutBack(path, backup);
  return PlatformProbeFile(path);
}

}  // namespace

bool AnyFileUnknown() { return g_file_unknown; }

WriteChoice DecideWrite(const char* path, int32_t entry_time, OverwriteMode* mode) {
  WriteChoice choice = {kWrite, kInvalidFileAttributes, false, false, false};
  PendingView pending = {0, kInvalidFileAttributes};
  bool is_pending = FindPending(path, &pending);
  int64_t file_time = pending.last_write_time;
  if (is_pending) {
    choice.attributes = pending.attributes;
  } else {
    PlatformPresence presence = PlatformProbeFile(path);
    if (presence == kFileAbsent) presence = PutBackEarlierBackup(path);
    switch (presence) {
      case kFileAbsent: return choice;
      case kPresenceUnknown: return SkipUnknownFile(choice);
      case kFilePresent: break;
    }
    if (!PlatformQueryLastWriteTime(path, &file_time)) return SkipUnknownFile(choice);
    choice.found = true;
    // Read once, before anything of the run touches the file.
    choice.attributes = PlatformGetFileAttributes(path);
    choice.may_be_current = static_cast<int64_t>(entry_time) == file_time;
  }
  if (static_cast<int64_t>(entry_time) >= file_time) return choice;
  choice.newer = true;
  choice.decision = DecideForNewerFile(path, mode);
  return choice;
}
