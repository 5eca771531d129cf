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

// The messages that name a file the run leaves other than it promised: the
// log gets each of them, and the run can no more end as complete or as
// cleanly rolled back.
bool NamesFileLeft(MessageId id) {
  return id == MSG_UNDO_FAILED || id == MSG_BACKUP_LEFT || id == MSG_FILE_LEFT ||
         id == MSG_EARLIER_FILE_KEPT || id == MSG_LEFT_WRITABLE;
}

// The unattended status of a stop, or of an interrupt: a stop that left a
// named file behind is no clean rollback.
int UnattendedStatus(int status) { return g_file_left ? kStatusOtherStop : status; }

// Runs the stop hook once; a stop raised while it runs finds none.
void RunStopHook() {
  StopHook hook = g_stop_hook;
  g_stop_hook = nullptr;
  if (hook != nullptr) hook();
}

// Writes the formatted text with line feeds widened to CR LF.
void WriteWidened(const char* formatted) {
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

// Logs the end and ends the process; the pause is made only when someone
// may be reading the console. An interrupt during the pause ends it: the
// run is already undone.
[[noreturn]] void EndRun(int status, unsigned pause_ms) {
  LogEnd(status);
  if (!g_unattended) PlatformSleep(pause_ms);
  PlatformExit(status);
}

// A stop: the message is logged, the run undone, then the message shown.
[[noreturn]] void Stop(MessageId id, const char* text, unsigned pause_ms) {
  LogStop(text);
  RunStopHook();
  WriteWidened(text);
  EndRun(g_unattended ? UnattendedStatus(ScriptStatusOf(id)) : 1, pause_ms);
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
  if (NamesFileLeft(id)) {
    g_file_left = true;
    LogLeft(text);
  }
}

void SetStopHook(StopHook hook) { g_stop_hook = hook; }

void SetUnattended(bool unattended) { g_unattended = unattended; }

void InterruptStop() {
  LogStop("interrupted");
  RunStopHook();
  int status = g_unattended ? UnattendedStatus(kStatusInterrupted) : 1;
  LogEnd(status);
  PlatformExit(status);
}

void CheckInterrupt() {
  if (PlatformInterrupted()) InterruptStop();
}

void FatalStop(MessageId id, ...) {
  char text[kPrintBufferSize];
  va_list args;
  va_start(args, id);
  FormatText(text, id, args);
  va_end(args);
  Stop(id, text, kFatalPauseMs);
}

void ErrorStop(MessageId id, ...) {
  char text[kPrintBufferSize];
  va_list args;
  va_start(args, id);
  FormatText(text, id, args);
  va_end(args);
  Stop(id, text, kErrorPauseMs);
}

void FinishRun(bool left_something) {
  EndRun(left_something || g_file_left ? kStatusOtherStop : kStatusUpdated, kDonePauseMs);
}

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
