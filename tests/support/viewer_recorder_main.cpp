// Stands in for notepad.exe in the end-to-end scenarios: records the command
// line tail it was started with, one line per start, in the file named by the
// environment variable UPDATER_VIEWER_LOG, then ends at once.
//
// The updater hands the viewer its tail unsplit as one argument on the host;
// a Windows start splits the tail at blanks, so the arguments are joined back
// with single blanks. With no argument an empty line is recorded. The line is
// appended with one write so that viewers started side by side do not mix
// their lines.
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* log_path = std::getenv("UPDATER_VIEWER_LOG");
  if (log_path == nullptr || log_path[0] == '\0') return 0;
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  line += '\n';
  std::FILE* log = std::fopen(log_path, "ab");
  if (log == nullptr) return 1;
  std::setvbuf(log, nullptr, _IOFBF, line.size() + 16);
  std::fwrite(line.data(), 1, line.size(), log);
  return std::fclose(log) == 0 ? 0 : 1;
}
