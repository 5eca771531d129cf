// One entry of the archive, from its record to its file on disk.
#pragma once

#include "install/install_context.h"

struct ArchiveReader;

// Handles entry number index (counted from 0, in archive order) of the
// archive open in reader: composes its
// destination and creates the folders on the way, decides whether to write,
// writes the data (from memory when the archive check kept it, else decoded
// from the archive, which then stands at this entry's record) with the
// progress bar, finishes the file into the pending result (pending_updates)
// and queues the viewer for an upper-case kind letter. The context gives the
// roots and the overwrite mode, which an answer may change. Ends the process
// on a decoding or writing failure, after the stop hook has rolled the run
// back.
void InstallEntry(InstallContext* context, ArchiveReader* reader, int index);
