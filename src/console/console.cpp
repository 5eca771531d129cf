#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/exit_status.h"
#include "console/run_log.h"
#include "platform/platform.h"

namespace {

constexpr size_t kPrintBufferSize = 4096;
constexpr unsigned kDonePauseMs = 5000;

StopHook g_stop_hook = nullptr;  // the run's rollback, once it may have changed something
bool g_unattended = false;       // /quiet: no pauses, a status per stop
bool g_file_left = false;        // a file was named as left other than the run promised

// The messages that name a file the run leaves other than it promised: each
// goes to the log too (below, or where it is printed), and the run can no
// more end as complete or as cleanly rolled back.
bool NamesFileLeft(MessageId id) {
  return id == MSG_UNDO_FAILED || id == MSG_BACKUP_LEFT || id == MSG_FILE_LEFT ||
         id == MSG_EARLIER_FILE_KEPT || id == MSG_LEFT_WRITABLE;
}

// Of those, the ones no lower layer logs with the file it names: the console
// logs their text (the rollback and the commit log the others, with paths).
bool LoggedHere(MessageId id) { return id == MSG_EARLIER_FILE_KEPT || id == MSG_LEFT_WRITABLE; }

// The unattended status of a stop, or of an interrupt: a stop that left a
// named file behind is no clean rollback.
int UnattendedStatus(int status) { return g_file_left ? kStatusOtherStop : status; }

// Runs the stop hook once; a stop raised while it runs finds none. True
// when the undo left a file where it should not be.
bool RunStopHook() {
  StopHook hook = g_stop_hook;
  g_stop_hook = nullptr;
  return hook != nullptr && hook();
}

void WriteWidened(const char* formatted);

// The log reports nothing itself: a log that failed is named here, once,
// before the next text the console shows (or at the end of the run).
void ReportLogFailure() {
  const char* path = TakeLogFailure();
  if (path == nullptr) return;
  char text[kPrintBufferSize];
  snprintf(text, sizeof text, MessageText(MSG_LOG_FAILED), path);
  WriteWidened(text);
}

// Writes the formatted text with line feeds widened to CR LF.
void WriteWidened(const char* formatted) {
  ReportLogFailure();
  char widened[2 * kPrintBufferSize];
  size_t out = 0;
  for (size_t i = 0; formatted[i] != '\0'; ++i) {
    if (formatted[i] == '\n') widened[out++] = '\r';
    widened[out++] = formatted[i];
  }
  PlatformWriteConsole(widened, out);
}

// Formats the message into text (kPrintBufferSize bytes). The longest
// message holds two paths of a few hundred bytes, far below the buffer; a
// longer result is cut rather than overrun.
void FormatText(char* text, MessageId id, va_list args) {
  if (vsnprintf(text, kPrintBufferSize, MessageText(id), args) < 0) text[0] = '\0';
}

// Formats the message as the log gets it (kPrintBufferSize bytes): each %s
// argument made safe for a log line first (CleanLogText), each %d as it is.
// The catalogue's messages use no other conversion.
void FormatLogText(char* text, MessageId id, va_list args) {
  size_t used = 0;
  for (const char* p = MessageText(id); *p != '\0' && used + 1 < kPrintBufferSize; ++p) {
    if (*p != '%' || (p[1] != 's' && p[1] != 'd' && p[1] != '%')) {
      text[used++] = *p;
      continue;
    }
    char piece[kPrintBufferSize];
    ++p;
    if (*p == 's') {
      CleanLogText(va_arg(args, const char*), piece, sizeof piece);
    } else if (*p == 'd') {
      snprintf(piece, sizeof piece, "%d", va_arg(args, int));
    } else {
      snprintf(piece, sizeof piece, "%%");
    }
    size_t length = strlen(piece);
    if (length > kPrintBufferSize - 1 - used) length = kPrintBufferSize - 1 - used;
    memcpy(text + used, piece, length);
    used += length;
  }
  text[used] = '\0';
}

// Logs the end and ends the process; the pause is made only when someone
// may be reading the console. An interrupt during the pause ends it: the
// run is already undone.
[[noreturn]] void EndRun(int status, unsigned pause_ms) {
  LogEnd(status);
  ReportLogFailure();
  if (!g_unattended) PlatformSleep(pause_ms);
  PlatformExit(status);
}

// A stop: the message is logged, the run undone, then the message shown.
// An undo that left a file behind did not undo everything: status 1, not
// the status that says the run was rolled back.
[[noreturn]] void Stop(MessageId id, const char* text, const char* log_text, unsigned pause_ms) {
  LogStop(log_text);
  bool left = RunStopHook();
  WriteWidened(text);
  EndRun(g_unattended && !left ? UnattendedStatus(ScriptStatusOf(id)) : 1, pause_ms);
}

// Formats the message for the console and for the log, and stops.
[[noreturn]] void StopWith(MessageId id, unsigned pause_ms, va_list args) {
  char text[kPrintBufferSize];
  char log_text[kPrintBufferSize];
  va_list log_args;
  va_copy(log_args, args);
  FormatText(text, id, args);
  FormatLogText(log_text, id, log_args);
  va_end(log_args);
  Stop(id, text, log_text, pause_ms);
}

// The next input byte; an interrupt while waiting ends the run.
int NextInputByte() {
  int byte = PlatformReadConsoleByte();
  if (byte == kConsoleInterrupted) InterruptStop();
  return byte;
}

}  // namespace

void PrintMessage(MessageId id, ...) {
  char text[kPrintBufferSize];
  va_list args;
  va_start(args, id);
  FormatText(text, id, args);
  va_end(args);
  WriteWidened(text);
  if (NamesFileLeft(id)) g_file_left = true;
  if (LoggedHere(id)) {
    char log_text[kPrintBufferSize];
    va_start(args, id);
    FormatLogText(log_text, id, args);
    va_end(args);
    LogLeftText(log_text);
  }
}

void SetStopHook(StopHook hook) { g_stop_hook = hook; }

void SetUnattended(bool unattended) { g_unattended = unattended; }

void InterruptStop() {
  LogStop("interrupted");
  bool left = RunStopHook();
  int status = g_unattended && !left ? UnattendedStatus(kStatusInterrupted) : 1;
  LogEnd(status);
  ReportLogFailure();
  PlatformExit(status);
}

void CheckInterrupt() {
  if (PlatformInterrupted()) InterruptStop();
}

void FatalStop(MessageId id, ...) {
  va_list args;
  va_start(args, id);
  StopWith(id, kFatalPauseMs, args);
}

void ErrorStop(MessageId id, ...) {
  va_list args;
  va_start(args, id);
  StopWith(id, kErrorPauseMs, args);
}

void FinishRun(bool left_something) {
  EndRun(left_something || g_file_left ? kStatusOtherStop : kStatusUpdated, kDonePauseMs);
}

void FinishVerify(bool current) { EndRun(current ? kStatusUpdated : kStatusNotCurrent, 0); }

int ReadAnswerKey(const char* accepted) {
  for (;;) {
    int byte = NextInputByte();
    if (byte < 0) return -1;
    if (byte != 0 && strchr(accepted, byte) != nullptr) return byte;
  }
}

void DiscardLine() {
  for (;;) {
    int byte = NextInputByte();
    if (byte < 0 || byte == '\n') return;
  }
}
