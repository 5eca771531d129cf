// One run of the updater, from finding the installation to the exit status.
#pragma once

// Finds the installation, checks the whole archive, applies the version gate
// and installs every entry in archive order; ends the process with status 0
// after a complete update (pause 5000 ms) or 1 after any stop. Never returns.
[[noreturn]] void RunUpdate();
