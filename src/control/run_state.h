// The run-wide state that the driver owns and the entry installer reads.
#pragma once

#include <cstdint>

#include "control/registry_lookup.h"

enum OverwriteMode { kSkipAll = 0, kAsk = 1, kOverwriteAll = 2 };

struct RunState {
  // where the product lives
  char install_directory[kInstallDirSize];  // from the registry, all zero at start
  char windows_directory[256];              // from the platform, all zero at start
  char installed_version[kInstalledVersionSize];  // empty when none recorded
  // the archive
  const char* archive_version;  // the header's version string
  uint16_t entry_count;         // 0..255
  // the dialogue
  OverwriteMode overwrite_mode;  // Ask at the first entry; answers A and S change it
};

// The one run of the process.
RunState& CurrentRun();
// Back to the all-zero start (unit tests).
void ResetRunState();
