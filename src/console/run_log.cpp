#include "console/run_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t kLineSize = 2048;  // two 255-byte paths and a message fit many times over
constexpr size_t kTextSize = 256;   // a folder or a version string of the start line
constexpr size_t kTagSize = 96;     // the computer's name and the process ID

struct RunLog {
  PlatformLog file;             // nullptr: no log (none asked for, or it failed)
  const char* path;             // as given, for the report
  bool failed;                  // the log failed and the console has not reported it yet
  bool started;                 // the start line is written
  char tag[kTagSize];           // "NAME:PID", the same on every line of the run
  // what the start line tells
  const char* program_version;
  char folder[kTextSize];       // empty until known
  char installed[kTextSize];    // empty until the versions are known
  char archive[kTextSize];
  bool versions_known;
};

RunLog g_log = {};

bool IsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool IsTrailByte(unsigned char byte) {
  return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// A single byte that is not a character in the same way on both systems:
// a control byte, or one of the few that one converter maps to a control
// or private character and the other refuses.
bool IsUnsafeSingleByte(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || byte == 0x80 || byte == 0xA0 || byte >= 0xFD;
}

// Drops the log after a failure; the console reports it once.
void GiveUpLog() {
  PlatformCloseLog(g_log.file);
  g_log.file = nullptr;
  g_log.failed = true;
}

// Converts one formatted line (code page 932) to UTF-8 and appends it with
// the run's tag in front and CR LF behind, in one write. A control byte in
// the converted text becomes '?': only the CR LF added here ends a line.
void WriteLine(const char* text) {
  char utf8[3 * kLineSize + kTagSize];
  size_t length = strlen(g_log.tag);
  memcpy(utf8, g_log.tag, length);
  utf8[length++] = ' ';
  size_t body = length;
  length += PlatformToUtf8(text, strlen(text), utf8 + length, sizeof utf8 - length - 2);
  for (size_t i = body; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x20 || byte == 0x7F) utf8[i] = '?';
  }
  utf8[length++] = '\r';
  utf8[length++] = '\n';
  if (!PlatformAppendLog(g_log.file, utf8, length)) GiveUpLog();
}

void WriteStartLine() {
  g_log.started = true;
  char time_text[64];
  FormatLogTime(PlatformTimeNow(), time_text, sizeof time_text);
  char line[kLineSize];
  int used =
      snprintf(line, sizeof line, "%s 3pupdate %s started", time_text, g_log.program_version);
  if (g_log.folder[0] != '\0') {
    used += snprintf(line + used, sizeof line - used, ": folder [%s]", g_log.folder);
  }
  if (g_log.versions_known) {
    snprintf(line + used, sizeof line - used, ", installed [%s], archive [%s]", g_log.installed,
             g_log.archive);
  }
  WriteLine(line);
}

// Formats a line and writes it, after the start line. Every text argument
// has been through CleanLogText.
void LogLine(const char* format, ...) {
  if (g_log.file == nullptr) return;
  if (!g_log.started) WriteStartLine();
  if (g_log.file == nullptr) return;
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  WriteLine(line);
}

// The run's tag: the computer's name (in UTF-8, a blank or ':' in it read
// as '?', so the tag stays one word that ends at its ':') and the process ID.
void MakeTag() {
  char name[kTextSize];
  char clean[kTextSize];
  PlatformGetComputerName(name, sizeof name);
  CleanLogText(name, clean, sizeof clean);
  char utf8[kTagSize - 16];
  size_t length = PlatformToUtf8(clean, strlen(clean), utf8, sizeof utf8 - 1);
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(utf8[i]);
    if (byte <= 0x20 || byte == 0x7F || byte == ':') utf8[i] = '?';
  }
  utf8[length] = '\0';
  snprintf(g_log.tag, sizeof g_log.tag, "%s:%lu", length > 0 ? utf8 : "?",
           static_cast<unsigned long>(PlatformProcessId()));
}

}  // namespace

void CleanLogText(const char* text, char* out, size_t size) {
  size_t used = 0;
  for (size_t i = 0; text[i] != '\0' && used + 1 < size; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (IsLeadByte(byte) && IsTrailByte(static_cast<unsigned char>(text[i + 1]))) {
      if (used + 2 >= size) break;
      out[used++] = text[i];
      out[used++] = text[++i];
      continue;
    }
    out[used++] = (IsLeadByte(byte) || IsUnsafeSingleByte(byte)) ? '?' : text[i];
  }
  if (size > 0) out[used] = '\0';
}

void OpenRunLog(const char* path, const char* program_version) {
  g_log.path = path;
  g_log.program_version = program_version;
  MakeTag();
  g_log.file = PlatformOpenLog(path);
  if (g_log.file == nullptr) g_log.failed = true;
}

void DropLogIfSameFile(const char* path) {
  if (g_log.file == nullptr || PlatformLogIsFile(g_log.file, path) == kOtherFile) return;
  PlatformDiscardLog(g_log.file);
  g_log.file = nullptr;
  g_log.failed = true;
}

const char* TakeLogFailure() {
  if (!g_log.failed) return nullptr;
  g_log.failed = false;
  return g_log.path;
}

void NoteLogFolder(const char* install_directory) {
  CleanLogText(install_directory, g_log.folder, sizeof g_log.folder);
}

void NoteLogVersions(const char* installed_version, const char* archive_version) {
  CleanLogText(installed_version, g_log.installed, sizeof g_log.installed);
  CleanLogText(archive_version, g_log.archive, sizeof g_log.archive);
  g_log.versions_known = true;
}

void LogEntry(const char* destination, LogDecision decision, uint32_t size) {
  static const char* const kDecisions[] = {"written", "overwritten", "kept", "skipped",
                                           "up to date"};
  if (g_log.file == nullptr) return;
  char clean[kTextSize * 2];
  CleanLogText(destination, clean, sizeof clean);
  LogLine("%s [%s] %lu bytes", kDecisions[decision], clean, static_cast<unsigned long>(size));
}

namespace {

// Writes label and the console text of message as one line.
void LogConsoleText(const char* label, const char* message) {
  if (g_log.file == nullptr) return;
  // Each line feed of the dialogue, with the blanks around it, becomes one
  // blank; other blanks (a path's) stay. A double-byte character is copied
  // whole.
  char plain[kLineSize];
  size_t out = 0;
  bool at_break = true;
  for (const char* p = message; *p != '\0' && out + 3 < sizeof plain; ++p) {
    unsigned char byte = static_cast<unsigned char>(*p);
    if (byte == '\n' || byte == '\r') {
      while (out > 0 && plain[out - 1] == ' ') --out;
      at_break = true;
      continue;
    }
    if (at_break && byte == ' ') continue;
    if (at_break && out > 0) plain[out++] = ' ';
    at_break = false;
    plain[out++] = *p;
    if (IsLeadByte(byte) && p[1] != '\0') plain[out++] = *++p;
  }
  plain[out] = '\0';
  LogLine("%s: %s", label, plain);
}

}  // namespace

void LogStop(const char* message) { LogConsoleText("stopped", message); }

void LogLeftText(const char* message) { LogConsoleText("left", message); }

void LogFound(LogFinding finding, const char* destination, uint64_t size, int64_t time) {
  static const char* const kFindings[] = {"up to date", "differs", "missing", "newer, kept",
                                          "no destination", "cannot be read", "replaced later"};
  if (g_log.file == nullptr) return;
  char clean[kTextSize * 2];
  CleanLogText(destination, clean, sizeof clean);
  if (finding != kFoundCurrent) {
    LogLine("%s [%s]", kFindings[finding], clean);
    return;
  }
  char time_text[64];
  FormatLogTime(time, time_text, sizeof time_text);
  LogLine("%s [%s] %llu bytes, %s", kFindings[finding], clean,
          static_cast<unsigned long long>(size), time_text);
}

void LogLeft(const char* path, const char* of_destination) {
  if (g_log.file == nullptr) return;
  char clean[kTextSize * 2];
  CleanLogText(path, clean, sizeof clean);
  if (of_destination == nullptr) {
    LogLine("left [%s]", clean);
    return;
  }
  char destination[kTextSize * 2];
  CleanLogText(of_destination, destination, sizeof destination);
  LogLine("left [%s]: the old file of [%s]", clean, destination);
}

void LogPutBack(const char* destination, const char* backup) {
  if (g_log.file == nullptr) return;
  char clean[kTextSize * 2];
  char from[kTextSize * 2];
  CleanLogText(destination, clean, sizeof clean);
  CleanLogText(backup, from, sizeof from);
  LogLine("put back [%s] from [%s], left by an earlier run", clean, from);
}

void LogRollback(int files, int of_files, int folders, int of_folders) {
  if (files == of_files && folders == of_folders) {
    LogLine("rolled back: %d file%s, %d folder%s", files, files == 1 ? "" : "s", folders,
            folders == 1 ? "" : "s");
  } else {
    LogLine("rolled back in part: %d of %d file%s, %d of %d folder%s", files, of_files,
            of_files == 1 ? "" : "s", folders, of_folders, of_folders == 1 ? "" : "s");
  }
}

void LogEnd(int status) {
  if (g_log.file == nullptr) return;
  char time_text[64];
  FormatLogTime(PlatformTimeNow(), time_text, sizeof time_text);
  LogLine("%s ended: status %d", time_text, status);
  if (g_log.file != nullptr) PlatformCloseLog(g_log.file);
  g_log.file = nullptr;
}

// The civil date from the day count (proleptic Gregorian calendar, days
// since 1970-01-01), in whole 400-year eras.
void FormatLogTime(int64_t seconds, char* out, size_t size) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t day_of_era = days - era * 146097;
  int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t month_index = (5 * day_of_year + 2) / 153;
  int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  snprintf(out, size, "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(year),
           static_cast<int>(month), static_cast<int>(day), static_cast<int>(rest / 3600),
           static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
}
