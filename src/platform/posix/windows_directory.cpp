// The Windows directory of the emulated machine.
//
// C:\windows, as under Wine, unless the machine folder holds the file
// windows_directory: then its bytes, exactly, are the path.
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

constexpr char kDefaultWindowsDirectory[] = "C:\\windows";
constexpr size_t kMaxWindowsDirectoryFile = 4096;  // larger never fits a caller

// Reads the windows_directory file into text (kMaxWindowsDirectoryFile + 1
// bytes). Returns its byte count, or -1 when there is no such regular file
// (then the default holds); a file too large gives kMaxWindowsDirectoryFile + 1.
long ReadWindowsDirectoryFile(char* text) {
  const char* machine = MachineFolder();
  if (machine == nullptr) return -1;
  char path[kHostPathSize];
  if (strlen(machine) >= kHostPathSize) return -1;
  strcpy(path, machine);
  if (!AppendMatchingName(path, "windows_directory")) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return -1;
  }
  size_t done = 0;
  while (done <= kMaxWindowsDirectoryFile) {
    ssize_t got = read(fd, text + done, kMaxWindowsDirectoryFile + 1 - done);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  close(fd);
  return static_cast<long>(done);
}

}  // namespace

// Copies the path and its terminator into buffer when both fit in size
// bytes; otherwise, like a failed GetWindowsDirectoryA, leaves the buffer
// exactly as it was.
void PlatformGetWindowsDirectory(char* buffer, uint32_t size) {
  char text[kMaxWindowsDirectoryFile + 1];
  long count = ReadWindowsDirectoryFile(text);
  if (count < 0) {
    count = static_cast<long>(strlen(kDefaultWindowsDirectory));
    memcpy(text, kDefaultWindowsDirectory, static_cast<size_t>(count));
  }
  if (static_cast<unsigned long>(count) + 1 > size) return;
  memcpy(buffer, text, static_cast<size_t>(count));
  buffer[count] = '\0';
}
