// The command line: Windows-style options for unattended runs. Without any
// of them the run is what it always was; an argument that is not one of
// them is ignored, as every argument used to be.
#pragma once

struct RunOptions {
  bool quiet;             // /quiet: no question, no pause, a status per stop
  bool overwrite_newer;   // /overwrite-newer: newer installed files are overwritten unasked
  bool downgrade;         // /downgrade: a downgrade goes on unasked
  bool usage;             // /?: show the usage text and do nothing else
  bool verify;            // /verify: compare the installation with the archive, change nothing
  const char* log_path;   // /log=FILE: the log to append to; nullptr when none
};

// Reads the arguments (argv[1] on). Each option starts with '/' or '-' and
// its name is matched without regard to ASCII case; /log takes its file
// after '=' as it stands. A later /log wins.
RunOptions ParseOptions(int argc, char** argv);
