// /verify: whether the installation holds what the archive would put there,
// for the tools that roll an update out to many machines. The registry
// keeps the version the installer wrote, so only the files can tell.
#pragma once

#include "archive/archive_reader.h"
#include "install/install_context.h"

// Decodes every entry of the archive open in reader and compares it with the
// file at its destination, changing nothing and asking nothing; each file is
// read without changing its last-access time. Once the whole archive has
// proved intact (its digest), prints and logs one line per entry: up to date
// (bytes and time), differs, missing, newer (kept, as an update keeps it),
// no destination, cannot be read, or replaced by a later entry. Ends the
// process: status 0 when every entry is up to date or kept as newer, else 9.
// A damaged archive stops with MSG_DECODE_ERROR before any line.
[[noreturn]] void VerifyInstallation(ArchiveReader* reader, const InstallContext* context);
