// Paths: Windows paths and registry keys to folders of the emulated machine.
//
// A Windows path is cut into components at backslashes (and slashes, which
// Windows accepts too), reading code page 932 double-byte characters whole so
// that a trail byte 0x5C is never taken for a separator, as the ANSI calls
// do; such a name keeps its bytes on disk, backslash byte and all. "." and
// ".." are resolved lexically, trailing dots and blanks are dropped from a
// name, and names are found without regard to ASCII case.
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "platform/posix/posix_internal.h"

namespace {

constexpr int kMaxComponents = 256;
constexpr size_t kMaxComponentSize = 1024;  // one name and its terminator

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Compares two names without regard to ASCII case. The trail byte of a
// double-byte character is part of that character, not a letter, so it must
// match exactly.
bool EqualIgnoringAsciiCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
    if (IsLeadByte(static_cast<unsigned char>(*a)) && a[1] != '\0') {
      ++a;
      ++b;
      if (*a != *b) return false;
    }
  }
  return *a == *b;
}

// Copies one name of count bytes into out (kMaxComponentSize bytes,
// NUL-terminated). Names keep their code page 932 bytes on disk. False when
// the name does not fit.
bool CopyName(const char* name, size_t count, char* out) {
  if (count >= kMaxComponentSize) return false;
  memcpy(out, name, count);
  out[count] = '\0';
  return true;
}

// Appends "/" and name to path (kHostPathSize bytes). False when it does not fit.
bool AppendRaw(char* path, const char* name) {
  size_t used = strlen(path);
  size_t extra = strlen(name);
  if (used + 1 + extra >= kHostPathSize) return false;
  path[used] = '/';
  memcpy(path + used + 1, name, extra + 1);
  return true;
}

// One component of a parsed Windows path: where it starts in the path and
// how many bytes it has (trailing dots and blanks already dropped).
struct Component {
  const char* start;
  size_t count;
};

// True when the name holds a byte that Windows refuses in file names. Trail
// bytes of double-byte characters are exempt: 0x7C there is not '|'.
bool HasForbiddenByte(const char* name, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    unsigned char byte = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(byte)) {
      ++i;
      continue;
    }
    if (byte < 0x20 || strchr("<>:\"|?*", byte) != nullptr) return true;
  }
  return false;
}

// Cuts rest into components, resolving "." and "..". With absolute, ".."
// stops at the root; otherwise leading ".." components are kept. Returns the
// number of components, or -1 when a name is unusable or there are too many.
int SplitWindowsPath(const char* rest, bool absolute, Component* parts) {
  int used = 0;
  const char* p = rest;
  while (*p != '\0') {
    while (IsSeparator(*p)) ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && !IsSeparator(*p)) {
      if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') ++p;
      ++p;
    }
    size_t count = static_cast<size_t>(p - start);
    if (count == 1 && start[0] == '.') continue;
    if (count == 2 && start[0] == '.' && start[1] == '.') {
      if (used > 0 && !(parts[used - 1].count == 2 && memcmp(parts[used - 1].start, "..", 2) == 0)) {
        --used;
        continue;
      }
      if (absolute) continue;
    } else {
      // Windows drops trailing dots and blanks from every name ("a." is "a").
      while (count > 0 && (start[count - 1] == '.' || start[count - 1] == ' ')) --count;
      if (count == 0 || HasForbiddenByte(start, count)) return -1;
    }
    if (used == kMaxComponents) return -1;
    parts[used++] = Component{start, count};
  }
  return used;
}

}  // namespace

const char* MachineFolder() {
  const char* folder = getenv("UPDATER_MACHINE");
  return (folder != nullptr && folder[0] != '\0') ? folder : nullptr;
}

bool AppendMatchingName(char* path, const char* name) {
  size_t used = strlen(path);
  if (!AppendRaw(path, name)) return false;
  struct stat status;
  if (lstat(path, &status) == 0) return true;
  path[used] = '\0';
  // No exact entry: take the case-insensitive match that sorts first, so the
  // choice among several does not depend on the folder's listing order.
  char best[kMaxComponentSize] = "";
  if (DIR* folder = opendir(used == 0 ? "/" : path)) {
    while (struct dirent* entry = readdir(folder)) {
      if (!EqualIgnoringAsciiCase(entry->d_name, name)) continue;
      if (strlen(entry->d_name) >= sizeof best) continue;
      if (best[0] == '\0' || strcmp(entry->d_name, best) < 0) strcpy(best, entry->d_name);
    }
    closedir(folder);
  }
  AppendRaw(path, best[0] != '\0' ? best : name);
  return best[0] != '\0';
}

bool MapWindowsPath(const char* windows_path, char* out) {
  if (windows_path == nullptr) return false;
  char drive = '\0';
  const char* rest = windows_path;
  char first = windows_path[0];
  if (((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')) && windows_path[1] == ':') {
    drive = LowerAscii(first);
    rest = windows_path + 2;
  } else if (IsSeparator(first)) {
    if (IsSeparator(windows_path[1])) return false;  // \\server\share: no network here
    drive = 'c';
  }
  Component parts[kMaxComponents];
  int count = SplitWindowsPath(rest, drive != '\0', parts);
  if (count < 0) return false;

  bool found = true;  // every component so far exists: keep matching
  if (drive != '\0') {
    const char* machine = MachineFolder();
    if (machine == nullptr || strlen(machine) >= kHostPathSize) return false;
    strcpy(out, machine);
    char drive_folder[] = "drive_x";
    drive_folder[6] = drive;
    found = AppendMatchingName(out, drive_folder);
  } else {
    strcpy(out, ".");
  }
  char name[kMaxComponentSize];
  for (int i = 0; i < count; ++i) {
    if (!CopyName(parts[i].start, parts[i].count, name)) return false;
    if (found) {
      size_t before = strlen(out);
      found = AppendMatchingName(out, name);
      if (!found && strlen(out) == before) return false;  // did not fit
    } else if (!AppendRaw(out, name)) {
      return false;
    }
  }
  return true;
}

bool MapRegistryKey(const char* hive_folder, const char* subkey, char* out) {
  const char* machine = MachineFolder();
  if (machine == nullptr || strlen(machine) >= kHostPathSize) return false;
  strcpy(out, machine);
  AppendMatchingName(out, "registry");
  AppendMatchingName(out, hive_folder);
  char name[kMaxComponentSize];
  const char* p = subkey != nullptr ? subkey : "";
  while (*p != '\0') {
    if (*p == '\\') {
      ++p;
      continue;
    }
    const char* start = p;
    while (*p != '\0' && *p != '\\') ++p;
    size_t count = static_cast<size_t>(p - start);
    // A slash is legal in a key name but cannot be a folder name here; "."
    // and ".." would leave the key's folder.
    if (memchr(start, '/', count) != nullptr) return false;
    if ((count == 1 && start[0] == '.') || (count == 2 && start[0] == '.' && start[1] == '.')) return false;
    if (!CopyName(start, count, name)) return false;
    size_t before = strlen(out);
    if (!AppendMatchingName(out, name) && strlen(out) == before) return false;
  }
  return true;
}
