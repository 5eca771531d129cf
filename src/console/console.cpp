#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t kPrintBufferSize = 4096;

StopHook g_stop_hook = nullptr;  // the run's rollback, once it may have changed something

// Runs the stop hook once; a stop raised while it runs finds none.
void RunStopHook() {
  StopHook hook = g_stop_hook;
  g_stop_hook = nullptr;
  if (hook != nullptr) hook();
}

// Formats into a local buffer and writes it with line feeds widened to CR LF.
// The longest message holds two paths of a few hundred bytes, far below the
// buffer; a longer result is cut rather than overrun.
void PrintFormatted(MessageId id, va_list args) {
  char formatted[kPrintBufferSize];
  int length = vsnprintf(formatted, sizeof formatted, MessageText(id), args);
  if (length < 0) return;
  size_t count = static_cast<size_t>(length) < sizeof formatted ? static_cast<size_t>(length)
                                                                : sizeof formatted - 1;
  char widened[2 * kPrintBufferSize];
  size_t out = 0;
  for (size_t i = 0; i < count; ++i) {
    if (formatted[i] == '\n') widened[out++] = '\r';
    widened[out++] = formatted[i];
  }
  PlatformWriteConsole(widened, out);
}

// An interrupt during the pause ends it: the run is already undone.
[[noreturn]] void PauseAndExit(unsigned pause_ms) {
  PlatformSleep(pause_ms);
  PlatformExit(1);
}

// The next input byte; an interrupt while waiting ends the run.
int NextInputByte() {
  int byte = PlatformReadConsoleByte();
  if (byte == kConsoleInterrupted) InterruptStop();
  return byte;
}

}  // namespace

void PrintMessage(MessageId id, ...) {
  va_list args;
  va_start(args, id);
  PrintFormatted(id, args);
  va_end(args);
}

void SetStopHook(StopHook hook) { g_stop_hook = hook; }

void InterruptStop() {
  RunStopHook();
  PlatformExit(1);
}

void CheckInterrupt() {
  if (PlatformInterrupted()) InterruptStop();
}

void FatalStop(MessageId id, ...) {
  RunStopHook();
  va_list args;
  va_start(args, id);
  PrintFormatted(id, args);
  va_end(args);
  PauseAndExit(kFatalPauseMs);
}

void ErrorStop(MessageId id, ...) {
  RunStopHook();
  va_list args;
  va_start(args, id);
  PrintFormatted(id, args);
  va_end(args);
  PauseAndExit(kErrorPauseMs);
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
