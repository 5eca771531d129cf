#include "control/update_driver.h"

#include <cstdint>

#include "archive/archive_reader.h"
#include "console/console.h"
#include "control/registry_lookup.h"
#include "control/version_gate.h"
#include "install/entry_cache.h"
#include "install/install_entry.h"
#include "install/pending_updates.h"
#include "platform/platform.h"

namespace {

constexpr const char* kArchiveName = "3pupdate.z";
constexpr unsigned kDonePauseMs = 5000;

// The one run of the process: what the driver found, and what it hands the
// installer.
struct RunState {
  // where the product lives
  char install_directory[kInstallDirSize];  // from the registry, all zero at start
  char windows_directory[256];              // from the platform, all zero at start
  char installed_version[kInstalledVersionSize];  // empty when none recorded
  // the archive
  const char* archive_version;  // the header's version string
  uint16_t entry_count;         // 0..255
  // the installer's view of the run: the two folders and the overwrite mode
  InstallContext install;
};

RunState g_run;
ArchiveReader g_archive;  // the archive of the run

// Opens the archive and parses its header; stops the run when the file is
// missing or its header is outside the format.
void OpenUpdateArchive() {
  switch (OpenArchive(&g_archive, kArchiveName)) {
    case kArchiveOpened: return;
    case kArchiveMissing: FatalStop(MSG_ARCHIVE_MISSING);
    case kArchiveBadHeader: ErrorStop(MSG_DECODE_ERROR);
  }
}

// A damaged archive must change nothing: every entry is decoded once before
// anything is asked or changed (its data kept in memory, or, with stage, in
// staged files that only the real run puts anywhere). When the decoded data
// was too large to keep, the archive is opened afresh for the real run.
void CheckWholeArchive(bool stage) {
  const InstallContext* stage_beside = stage ? &g_run.install : nullptr;
  if (!CheckEntries(&g_archive, g_archive.header.entry_count, stage_beside)) {
    ErrorStop(MSG_DECODE_ERROR);
  }
  if (EntriesCached()) return;
  OpenUpdateArchive();
}

// The stop hook: staged files that no entry took up go, and what the run
// did is rolled back.
void UndoRun() {
  DropStagedFiles();
  RollBackPending();
}

}  // namespace

void RunUpdate() {
  PlatformWatchInterrupts();
  if (QueryInstallDir(g_run.install_directory) == -1) FatalStop(MSG_NOT_INSTALLED);
  PlatformGetWindowsDirectory(g_run.windows_directory, sizeof g_run.windows_directory);
  g_run.install = {g_run.install_directory, g_run.windows_directory, kAsk};
  OpenUpdateArchive();
  QueryInstalledVersion(g_run.installed_version);
  // From here on every stop and every interrupt first undoes the run: the
  // check may stage files, and the entries change the machine. Files are
  // staged only when the version gate will not stop the run or ask first.
  SetStopHook(UndoRun);
  CheckWholeArchive(IsPlainUpdate(g_archive.header.version, g_run.installed_version));
  g_run.archive_version = g_archive.header.version;
  g_run.entry_count = g_archive.header.entry_count;

  CheckVersion(g_run.archive_version, g_run.installed_version);
  PrintMessage(MSG_UPDATE_BANNER, g_run.archive_version, static_cast<int>(g_run.entry_count));

  for (int i = 0; i < g_run.entry_count; ++i) {
    CheckInterrupt();
    InstallEntry(&g_run.install, &g_archive, i);
    PrintMessage(MSG_ENTRY_END);
  }
  DropStagedFiles();
  CommitPending();
  SetStopHook(nullptr);
  LaunchQueuedViewers(g_run.windows_directory);

  PrintMessage(MSG_UPDATE_DONE);
  CloseArchive(&g_archive);
  PlatformSleep(kDonePauseMs);
  // Complete, but with a file named on the console as left behind: not
  // what the update promised.
  PlatformExit(RunLeftSomething() ? 1 : 0);
}
