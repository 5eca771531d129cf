// The message catalogue: every text the user sees, as code page 932 bytes.
#pragma once

enum MessageId {
  MSG_NOT_INSTALLED,
  MSG_ARCHIVE_MISSING,
  MSG_PRE_V100_INSTALLED,
  MSG_INSTALLED_VERSION,
  MSG_TARGET_VERSION,
  MSG_MAJOR_MISMATCH,
  MSG_NEWER_INSTALLED,
  MSG_ASK_DOWNGRADE,
  MSG_UPDATE_CANCELLED,
  MSG_UPDATE_START,
  MSG_UPDATE_BANNER,
  MSG_ENTRY_END,
  MSG_UPDATE_DONE,
  MSG_BAD_FILE_HANDLE,
  MSG_NEWER_FILE_EXISTS,
  MSG_ASK_OVERWRITE,
  MSG_CANNOT_WRITE,
  MSG_UPDATING_FILE,
  MSG_PROGRESS_EMPTY,
  MSG_PROGRESS_CELL,
  MSG_DECODE_ERROR,
  MSG_NO_VALID_SIGNATURE,
  kMessageCount
};

// The print format of a message, in code page 932 bytes (line feeds as \n).
const char* MessageText(MessageId id);
