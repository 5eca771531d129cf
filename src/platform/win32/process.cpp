// Starting the viewer, pausing and ending the process.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

// WinExec with SW_SHOWNORMAL: the program starts beside the updater, which
// neither waits for it nor looks at the result.
void PlatformStartProgram(const char* command_line) { WinExec(command_line, SW_SHOWNORMAL); }

void PlatformSleep(uint32_t milliseconds) { Sleep(milliseconds); }

// Writes what the console holds back, flushes the runtime's streams and ends
// the process with status.
void PlatformExit(int status) {
  FlushConsoleOutput();
  std::fflush(nullptr);
  std::exit(status);
}
