// Stands in for notepad.exe in the end-to-end scenarios: records the command
// line tail it was started with, one line per start, in the file named by the
// environment variable UPDATER_VIEWER_LOG, then ends at once.
//
// The updater hands the viewer its tail unsplit as one argument on the host;
// a Windows start splits the tail at blanks, so the arguments are joined back
// with single blanks. With no argument an empty line is recorded.
//
// Viewers started side by side must not lose each other's lines. On the host
// an O_APPEND write of one line is atomic. The Windows C runtime's append
// mode is not: it seeks to the end and then writes, so two viewers can both
// write at the same offset (seen under Wine: 2 runs in 40 kept one line of
// two). There the line is written under an exclusive byte-range lock.
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
bool AppendLine(const char* log_path, const std::string& line) {
  HANDLE log = CreateFileA(log_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED whole = {};
  bool ok = LockFileEx(log, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
  DWORD written = 0;
  ok = ok && SetFilePointer(log, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
       WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
       written == line.size();
  UnlockFileEx(log, 0, MAXDWORD, MAXDWORD, &whole);
  return CloseHandle(log) && ok;
}
#else
bool AppendLine(const char* log_path, const std::string& line) {
  std::FILE* log = std::fopen(log_path, "ab");
  if (log == nullptr) return false;
  std::setvbuf(log, nullptr, _IOFBF, line.size() + 16);
  std::fwrite(line.data(), 1, line.size(), log);
  return std::fclose(log) == 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const char* log_path = std::getenv("UPDATER_VIEWER_LOG");
  if (log_path == nullptr || log_path[0] == '\0') return 0;
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  line += '\n';
  return AppendLine(log_path, line) ? 0 : 1;
}
