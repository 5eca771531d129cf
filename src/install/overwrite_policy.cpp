#include "install/overwrite_policy.h"

#include "console/console.h"
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

}  // namespace

WriteChoice DecideWrite(const char* path, int32_t entry_time, OverwriteMode* mode) {
  WriteChoice choice = {kWrite, kInvalidFileAttributes, false};
  PendingView pending = {0, kInvalidFileAttributes};
  bool is_pending = FindPending(path, &pending);
  int64_t file_time = pending.last_write_time;
  if (!is_pending) {
    if (!PlatformProbeReadable(path)) return choice;
    if (!PlatformQueryLastWriteTime(path, &file_time)) {
      PrintMessage(MSG_BAD_FILE_HANDLE);
      choice.decision = kSkip;
      return choice;
    }
  }
  if (static_cast<int64_t>(entry_time) >= file_time) return choice;
  choice.newer = true;
  choice.decision = DecideForNewerFile(path, mode);
  if (choice.decision == kOverwrite) {
    choice.saved_attributes = is_pending ? pending.attributes : PlatformGetFileAttributes(path);
  }
  return choice;
}
