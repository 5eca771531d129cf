// One run of the updater, from finding the installation to the exit status.
#pragma once

#include "control/options.h"

// Finds the installation, takes its lock, checks the whole archive, applies
// the version gate and installs every entry in archive order; ends the
// process with status 0 after a complete update (pause 5000 ms) or 1 after
// any stop. The options may answer the questions in advance, drop the
// pauses and give each stop its own status (/quiet), and keep a log. /?
// only shows the usage text. Never returns.
[[noreturn]] void RunUpdate(const RunOptions& options);
