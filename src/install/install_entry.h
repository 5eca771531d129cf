// One entry of the archive, from its record to its file on disk.
#pragma once

// Reads the next entry record, composes its destination and creates the
// folders on the way, decides whether to write, decodes the data (into the
// file, or dropped for a skipped entry) with the progress bar, finishes the
// file and starts the viewer for an upper-case kind letter. Ends the process
// on a decoding or writing failure, leaving the destination as it was.
void InstallEntry();

// Decodes every remaining entry's data without writing, printing or asking.
// False at the first entry that does not decode.
bool WalkEntriesDry(int entry_count);
