#include "console/exit_status.h"

namespace {

struct StopStatus {
  MessageId stop;
  ScriptStatus status;
};

// Every message that a stop prints, with its status.
constexpr StopStatus kStopStatuses[] = {
    {MSG_NOT_INSTALLED, kStatusNotInstalled},
    {MSG_ARCHIVE_MISSING, kStatusArchiveMissing},
    {MSG_DECODE_ERROR, kStatusArchiveRefused},
    {MSG_NO_VALID_SIGNATURE, kStatusArchiveRefused},
    {MSG_PRE_V100_INSTALLED, kStatusVersionRefused},
    {MSG_MAJOR_MISMATCH, kStatusVersionRefused},
    {MSG_UPDATE_CANCELLED, kStatusVersionRefused},
    {MSG_CANNOT_WRITE, kStatusCannotWrite},
    {MSG_ANOTHER_RUNNING, kStatusAnotherRun},
};

}  // namespace

ScriptStatus ScriptStatusOf(MessageId id) {
  for (const StopStatus& row : kStopStatuses) {
    if (row.stop == id) return row.status;
  }
  return kStatusOtherStop;
}
