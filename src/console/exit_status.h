// The exit statuses of an unattended run (/quiet), which scripts act on. An
// interactive run ends with 0 after a complete update and 1 after any stop.
// Either ends with 1 after a complete update that names a file it could not
// delete or put back.
#pragma once

#include "console/messages.h"

enum ScriptStatus {
  kStatusUpdated = 0,         // the update is complete
  kStatusOtherStop = 1,       // a stop that no row below names; a complete run that left a file
  kStatusNotInstalled = 2,    // no installation found
  kStatusArchiveMissing = 3,  // no 3pupdate.z in the current folder
  kStatusArchiveRefused = 4,  // the archive is damaged or refused
  kStatusVersionRefused = 5,  // the versions do not allow the update, or a downgrade was refused
  kStatusCannotWrite = 6,     // a file could not be written; the run was rolled back
  kStatusInterrupted = 7,     // Ctrl-C, Ctrl-Break, the console closed (SIGINT, SIGTERM, SIGHUP)
  kStatusAnotherRun = 8,      // another update of the same installation is running
  kStatusNotCurrent = 9,      // /verify: a file differs from the archive's, or is missing
};

// The unattended status of a stop with the message id.
ScriptStatus ScriptStatusOf(MessageId id);
