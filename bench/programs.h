// Starting the programs the benchmark times (the host's 3pupdate and 3ppack,
// Wine with the 32-bit Windows programs): directly, with no shell, so that
// only the program is timed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts args[0] with args in folder (the current one when empty), with the
// extra environment settings added, standard input from /dev/null and
// standard output to output (/dev/null when empty). Returns its process id,
// or -1 when it cannot start.
pid_t StartProgram(const std::vector<std::string>& args, const std::string& folder,
                   const std::vector<std::string>& settings, const std::string& output);

// Waits for pid to end; true when it exits with status 0. *cpu_seconds gets
// its CPU time (user and system).
bool WaitForProgram(pid_t pid, double* cpu_seconds);

// The size of the file at path, or -1 when there is none.
long long FileSize(const std::string& path);
