// Standard output and input. The caller hands over code-page-932 bytes with
// CR LF line ends already in place, so files and pipes get them unchanged
// through WriteFile (no runtime text mode to double the CRs). A console shows
// every call at once; one whose output code page is not 932 is given the text
// converted to UTF-16 through WriteConsoleW, and its code page is never
// changed. A Windows without code page 932 (a Western one without East Asian
// support) cannot convert: the console then gets the bytes as they are,
// which it shows in its own code page, rather than nothing.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {

constexpr UINT kShiftJis = 932;
constexpr size_t kBlock = 4096;

struct ConsoleOutput {
  bool probed;          // the kind of standard output has been looked at
  HANDLE handle;        // standard output
  bool is_console;      // a console (character device with a console mode)
  bool converts;        // console whose output code page is not 932
  char pending_lead;    // a lead byte whose trail byte comes with the next call
  bool has_pending;
  size_t filled;        // bytes waiting in block (files and pipes)
  char block[kBlock];
};
ConsoleOutput g_out;

void WriteAll(const char* bytes, size_t count) {
  while (count > 0) {
    DWORD wrote = 0;
    if (!WriteFile(g_out.handle, bytes, static_cast<DWORD>(count), &wrote, nullptr) ||
        wrote == 0) {
      return;  // failures of standard output go unnoticed by design
    }
    bytes += wrote;
    count -= wrote;
  }
}

void ProbeOutput() {
  g_out.probed = true;
  g_out.handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  g_out.is_console = g_out.handle != nullptr && g_out.handle != INVALID_HANDLE_VALUE &&
                     GetFileType(g_out.handle) == FILE_TYPE_CHAR &&
                     GetConsoleMode(g_out.handle, &mode);
  bool has_shift_jis = !InjectFault(kFaultCodePage) && IsValidCodePage(kShiftJis);
  g_out.converts = g_out.is_console && GetConsoleOutputCP() != kShiftJis && has_shift_jis;
  std::atexit(FlushConsoleOutput);
}

// Writes whole characters only, converted when the console's code page is
// not 932: a lead byte at the end of a call waits for its trail byte, which
// arrives with the next call, since a console shows half a character as a
// different one.
void WriteConsoleCharacters(const char* bytes, size_t count) {
  char text[kBlock + 1];
  wchar_t wide[kBlock + 1];
  while (count > 0) {
    size_t used = 0;
    if (g_out.has_pending) {
      text[used++] = g_out.pending_lead;
      g_out.has_pending = false;
    }
    size_t take = count < kBlock - used ? count : kBlock - used;
    std::memcpy(text + used, bytes, take);
    bytes += take;
    count -= take;
    used += take;
    // Find whether the last byte starts a character that is cut off.
    size_t position = 0;
    while (position < used) {
      if (IsDBCSLeadByteEx(kShiftJis, static_cast<BYTE>(text[position])) &&
          position + 1 == used) {
        g_out.pending_lead = text[position];
        g_out.has_pending = true;
        break;
      }
      position += IsDBCSLeadByteEx(kShiftJis, static_cast<BYTE>(text[position])) ? 2 : 1;
    }
    if (g_out.has_pending) --used;
    if (used == 0) continue;
    if (!g_out.converts) {
      WriteAll(text, used);
      continue;
    }
    int length = MultiByteToWideChar(kShiftJis, 0, text, static_cast<int>(used), wide, kBlock + 1);
    DWORD wrote = 0;
    if (length > 0) WriteConsoleW(g_out.handle, wide, static_cast<DWORD>(length), &wrote, nullptr);
    else WriteAll(text, used);
  }
}

}  // namespace

// Files and pipes: 4096-byte blocks, the rest written at exit. Console: the
// bytes are on screen when the call returns.
void PlatformWriteConsole(const char* bytes, size_t count) {
  if (!g_out.probed) ProbeOutput();
  if (g_out.is_console) {
    WriteConsoleCharacters(bytes, count);
    return;
  }
  while (count > 0) {
    size_t take = count < kBlock - g_out.filled ? count : kBlock - g_out.filled;
    std::memcpy(g_out.block + g_out.filled, bytes, take);
    g_out.filled += take;
    bytes += take;
    count -= take;
    if (g_out.filled == kBlock) FlushConsoleOutput();
  }
}

// The runtime's buffered stdin in text mode: one read fills the buffer (on a
// console, one line after Enter), and CR LF arrives as LF. Ctrl-C cuts a
// console read short, and the runtime then reports the end of the input; the
// control handler runs on another thread a moment later, so a console read
// that ends is given a little time to turn out to be an interrupt.
int PlatformReadConsoleByte() {
  constexpr DWORD kInterruptGraceMs = 500;
  // The read is marked before the flag is looked at: an interrupt that comes
  // after the look finds the mark and cancels the read (interrupts.cpp).
  NoteReadingInput(true);
  if (PlatformInterrupted()) {
    NoteReadingInput(false);
    return kConsoleInterrupted;
  }
  int byte = std::getchar();
  NoteReadingInput(false);
  if (byte != EOF) return byte;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  bool console = input != nullptr && input != INVALID_HANDLE_VALUE &&
                 GetFileType(input) == FILE_TYPE_CHAR && GetConsoleMode(input, &mode);
  if (PlatformInterrupted() || (console && WaitForInterrupt(kInterruptGraceMs))) {
    return kConsoleInterrupted;
  }
  return kConsoleEnded;
}

void FlushConsoleOutput() {
  WriteAll(g_out.block, g_out.filled);
  g_out.filled = 0;
}
