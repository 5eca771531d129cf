// Starting the viewer and pausing.
#include <windows.h>

#include "platform/platform.h"

// WinExec with SW_SHOWNORMAL: the program starts beside the updater, which
// neither waits for it nor looks at the result.
void PlatformStartProgram(const char* command_line) { WinExec(command_line, SW_SHOWNORMAL); }

void PlatformSleep(uint32_t milliseconds) { Sleep(milliseconds); }
