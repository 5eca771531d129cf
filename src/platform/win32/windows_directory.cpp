// The Windows directory, from GetWindowsDirectoryA.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

// GetWindowsDirectoryA into a scratch buffer first: the real call may scribble
// on a buffer that is too small, and the caller relies on an untouched buffer
// when the path does not fit.
void PlatformGetWindowsDirectory(char* buffer, uint32_t size) {
  char scratch[MAX_PATH * 4];
  UINT length = GetWindowsDirectoryA(scratch, sizeof scratch);
  if (length == 0 || length >= sizeof scratch || length >= size) return;
  std::memcpy(buffer, scratch, length + 1);
}
