// What the installer needs of the run. The driver owns it and hands it to
// each entry, so the installer never reaches back into the driver.
#pragma once

enum OverwriteMode { kSkipAll = 0, kAsk = 1, kOverwriteAll = 2 };

struct InstallContext {
  const char* install_directory;  // the installation folder, from the registry
  const char* windows_directory;  // the Windows folder, empty when the system gave none
  OverwriteMode overwrite_mode;   // Ask at the first entry; answers A and S change it
};
