#include "control/update_driver.h"

#include <cstdint>

#include "archive/archive_reader.h"
#include "console/console.h"
#include "control/archive_trust.h"
#include "console/run_log.h"
#include "control/registry_lookup.h"
#include "control/verify_run.h"
#include "control/version_gate.h"
#include "install/entry_cache.h"
#include "install/install_entry.h"
#include "install/overwrite_policy.h"
#include "install/pending_updates.h"
#include "platform/platform.h"

namespace {

constexpr const char* kArchiveName = "3pupdate.z";
constexpr const char* kProgramVersion = "1.1";  // the updater's own, for the log

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

// Stops the run unless the archive's header has been read: when the file
// cannot be read or its header or trailer is outside the format.
void StopUnlessOpened(OpenResult result) {
  switch (result) {
    case kArchiveOpened: return;
    case kArchiveMissing: FatalStop(MSG_ARCHIVE_MISSING);
    case kArchiveBadHeader:
    case kArchiveBadTrailer: ErrorStop(MSG_DECODE_ERROR);
  }
}

// Opens the archive and parses its header. A build that carries keys
// parses nothing its signature does not cover: the trailer's signature is
// checked as soon as the trailer is found, and a first pass hashes every
// byte before it and compares the digest, before the header is parsed.
// A build without a key hashes the bytes as the check reads them.
void OpenUpdateArchive() {
  if (!KeyRequired()) {
    StopUnlessOpened(OpenArchive(&g_archive, kArchiveName));
    return;
  }
  StopUnlessOpened(OpenArchiveTrailer(&g_archive, kArchiveName));
  RequireTrustedSigner(&g_archive);
  if (!VerifyArchiveDigest(&g_archive)) ErrorStop(MSG_DECODE_ERROR);
  StopUnlessOpened(ReadArchiveAgain(&g_archive));
}

// A damaged archive must change nothing: every entry is decoded once before
// anything is asked or changed (its data kept in memory, or, with stage, in
// staged files that only the real run puts anywhere). When the decoded data
// was too large to keep, the archive is read again for the real run, through
// the same open file. The bytes read must be intact (the trailer's digest).
void CheckWholeArchive(bool stage) {
  if (!CheckEntries(&g_archive, g_archive.header.entry_count, &g_run.install, stage) ||
      !FinishArchiveRead(&g_archive)) {
    ErrorStop(MSG_DECODE_ERROR);
  }
  if (EntriesCached()) return;
  StopUnlessOpened(ReadArchiveAgain(&g_archive));
}

// What the options say before the run starts: the usage text alone, or how
// the dialogue goes (pauses, statuses) and the log.
void StartRun(const RunOptions& options) {
  if (options.usage) {
    PrintMessage(MSG_USAGE);
    PlatformExit(0);
  }
  // A look asks nothing and makes no pause, like an unattended run.
  SetUnattended(options.quiet || options.verify);
  if (options.log_path != nullptr) OpenRunLog(options.log_path, kProgramVersion);
  // A log on the archive would write into the file the run must read
  // unchanged (on Windows it would keep the archive from opening at all).
  DropLogIfSameFile(kArchiveName);
}

// Two runs on one installation would interleave their files; the second
// stops before it reads or writes anything of the update. A look shares
// the lock with other looks only: it never sees an update halfway.
void TakeInstallationLock(RunLockMode mode) {
  NoteLogFolder(g_run.install_directory);
  if (PlatformTakeRunLock(g_run.install_directory, mode) == kRunLockBusy) {
    FatalStop(MSG_ANOTHER_RUNNING);
  }
}

// How a newer installed file is treated from the first entry on: asked
// about, or (/quiet) kept, or (/overwrite-newer) overwritten.
OverwriteMode FirstOverwriteMode(const RunOptions& options) {
  if (options.overwrite_newer) return kOverwriteAll;
  return options.quiet ? kSkipAll : kAsk;
}

DowngradeAnswer DowngradeAnswerOf(const RunOptions& options) {
  if (options.downgrade) return kAcceptDowngrade;
  return options.quiet ? kRefuseDowngrade : kAskDowngrade;
}

// The stop hook: staged files that no entry took up go, and what the run
// did is rolled back. True when something stays where it should not.
bool UndoRun() {
  DropStagedFiles();
  RollBackPending();
  return RunLeftSomething();
}

}  // namespace

void RunUpdate(const RunOptions& options) {
  PlatformWatchInterrupts();
  StartRun(options);
  if (QueryInstallDir(g_run.install_directory) == -1) FatalStop(MSG_NOT_INSTALLED);
  TakeInstallationLock(options.verify ? kRunLockShared : kRunLockExclusive);
  PlatformGetWindowsDirectory(g_run.windows_directory, sizeof g_run.windows_directory);
  g_run.install = {g_run.install_directory, g_run.windows_directory, FirstOverwriteMode(options)};
  OpenUpdateArchive();
  QueryInstalledVersion(g_run.installed_version);
  NoteLogVersions(g_run.installed_version, g_archive.header.version);
  if (options.verify) VerifyInstallation(&g_archive, &g_run.install);
  DowngradeAnswer downgrade = DowngradeAnswerOf(options);
  // From here on every stop and every interrupt first undoes the run: the
  // check may stage files, and the entries change the machine. Files are
  // staged only when the version gate will not stop the run or ask first.
  SetStopHook(UndoRun);
  CheckWholeArchive(IsPlainUpdate(g_archive.header.version, g_run.installed_version, downgrade));
  g_run.archive_version = g_archive.header.version;
  g_run.entry_count = g_archive.header.entry_count;

  CheckVersion(g_run.archive_version, g_run.installed_version, downgrade);
  PrintMessage(MSG_UPDATE_BANNER, g_run.archive_version, static_cast<int>(g_run.entry_count));

  for (int i = 0; i < g_run.entry_count; ++i) {
    CheckInterrupt();
    InstallEntry(&g_run.install, &g_archive, i);
    PrintMessage(MSG_ENTRY_END);
  }
  DropStagedFiles();
  // A second read must have read the very bytes the check verified.
  if (!EntriesCached() && !FinishArchiveRead(&g_archive)) ErrorStop(MSG_DECODE_ERROR);
  CommitPending();
  SetStopHook(nullptr);
  // An unattended run has nobody to close a viewer (under a distribution
  // tool's service account it would not even be seen).
  if (!options.quiet) LaunchQueuedViewers(g_run.windows_directory);

  PrintMessage(MSG_UPDATE_DONE);
  CloseArchive(&g_archive);
  // Complete, but with a file named on the console as left behind, or an
  // entry skipped because its file could not be looked at: not what the
  // update promised.
  FinishRun(RunLeftSomething() || AnyFileUnknown());
}
