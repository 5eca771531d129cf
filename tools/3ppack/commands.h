// The archive tool's commands other than create: each takes the arguments
// after its name and returns the exit status.
#pragma once

struct ArchiveReader;

int RunList(int argc, char** argv);
int RunTest(int argc, char** argv);
int RunExtract(int argc, char** argv);
int RunDiff(int argc, char** argv);
int RunKeygen(int argc, char** argv);

// Prints the listing of the archive open in reader (read from a file or
// packed in memory): version, entry count and one line per entry, or the same as
// JSON. command names the command in messages. Returns the exit status: 1
// when an entry is damaged.
int ListOpenArchive(ArchiveReader* reader, const char* command, bool json);
