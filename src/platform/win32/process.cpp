// Starting the viewer, pausing and ending the process.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/holder_retry.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {
constexpr size_t kMaxCommandLine = 1024;
}

// CreateProcessA with the program named: the command line goes to it byte
// for byte, and an unquoted path with blanks can never be read as another
// program's name (WinExec would try "C:\Program" first). The program runs
// beside the updater, shown normally; both handles are closed at once, since
// it is never waited for.
void PlatformStartProgram(const char* program, const char* command_line) {
  char line[kMaxCommandLine];  // the call may write into its command line
  size_t length = std::strlen(command_line);
  if (length >= sizeof line) return;
  std::memcpy(line, command_line, length + 1);
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started;
  if (!CreateProcessA(program, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    return;
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
}

// An interrupt ends the pause at once. The test program logs the pause
// first, as the host build does; the shipped one has no log.
void PlatformSleep(uint32_t milliseconds) {
  LogTestPause(milliseconds);
  WaitForInterrupt(milliseconds);
}

// Looks at the flag once (an injected interrupt shows there), then waits
// out the holder: only a console that is being closed ends the wait and
// the attempts, since the system ends the process a few seconds on; after
// Ctrl-C the waits go on, so that a rollback still gets every attempt.
bool PauseForHolder(uint32_t milliseconds) {
  PlatformInterrupted();
  return ConsoleClosing() || WaitForClosing(milliseconds);
}

// Writes what the console holds back, flushes the runtime's streams and ends
// the process with status.
void PlatformExit(int status) {
  FlushConsoleOutput();
  StopReadHashers();
  std::fflush(nullptr);
  std::exit(status);
}
