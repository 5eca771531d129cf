// Standard output and input of the emulated machine.
//
// A terminal gets every call's bytes at once, converted from code page 932
// to the terminal's own character set when that is not code page 932, so the
// Japanese is readable. Files and pipes get the bytes unchanged, gathered in
// 4096-byte blocks as the Windows runtime's buffered stream would, and the
// rest at PlatformExit. A reader that went away (EPIPE), a closed standard
// output or any other write failure only loses the bytes.
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <strings.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

constexpr size_t kConsoleBlockSize = 4096;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

struct Console {
  // Output.
  bool ready;                              // the output mode was decided
  bool terminal;                           // standard output is a terminal
  iconv_t converter;                       // code page 932 to the terminal's set, or none
  unsigned char pending_lead;              // a lead byte whose trail comes next call (0: none)
  size_t out_used;                         // bytes waiting in out_block
  unsigned char out_block[kConsoleBlockSize];
  // Input.
  bool in_ended;                           // end of input or an error was seen: -1 from now on
  size_t in_next;                          // next byte to hand out of in_block
  size_t in_count;                         // bytes in in_block
  unsigned char in_block[kConsoleBlockSize];
};

Console g_console = {false, false, kNoConverter, 0, 0, {}, false, 0, 0, {}};
bool g_sigpipe_ignored = false;
bool g_flush_registered = false;

// A standard stream closed at start would hand its descriptor to the next
// file opened (the archive, an output file): console bytes would then be
// read from the archive or written into a user's file. Holds 0, 1 and 2 on
// /dev/null before main runs; open takes the lowest free descriptor.
[[gnu::constructor]] void KeepStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
  }
}

// Writes all bytes to standard output, giving up quietly on any failure
// other than an interruption (a non-blocking output that is full included,
// so nothing ever waits in a loop).
void WriteAll(const void* bytes, size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t wrote = write(1, next, count);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    next += wrote;
    count -= static_cast<size_t>(wrote);
  }
}

bool IsCodePage932(const char* codeset) {
  static const char* const kNames[] = {"CP932", "SHIFT_JIS", "SHIFT-JIS", "SJIS", "WINDOWS-31J",
                                       "MS_KANJI", "CSSHIFTJIS", "IBM-943"};
  for (const char* name : kNames) {
    if (strcasecmp(codeset, name) == 0) return true;
  }
  return false;
}

// Decides the output mode once: a terminal whose locale's character set is
// not code page 932 gets a converter. The locale is read without changing
// the program's own.
void PrepareConsole() {
  if (g_console.ready) return;
  g_console.ready = true;
  if (!g_sigpipe_ignored) {
    signal(SIGPIPE, SIG_IGN);
    g_sigpipe_ignored = true;
  }
  g_console.terminal = isatty(1) == 1;
  if (!g_console.terminal) {
    // A return from main ends the process without PlatformExit: the held
    // bytes must not be lost then either.
    if (!g_flush_registered) atexit(FlushConsoleOutput);
    g_flush_registered = true;
    return;
  }
  locale_t user_locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (user_locale == static_cast<locale_t>(0)) return;
  char target[128];
  const char* codeset = nl_langinfo_l(CODESET, user_locale);
  bool convert = codeset != nullptr && codeset[0] != '\0' && !IsCodePage932(codeset) &&
                 strlen(codeset) + sizeof "//TRANSLIT" <= sizeof target;
  if (convert) {
    strcpy(target, codeset);
    strcat(target, "//TRANSLIT");
    g_console.converter = iconv_open(target, "CP932");
    if (g_console.converter == kNoConverter) g_console.converter = iconv_open(codeset, "CP932");
  }
  freelocale(user_locale);
}

// Converts count bytes and writes the result at once. Bytes that do not
// convert show as '?'; a lead byte at the very end waits for its trail byte
// in the next call.
void WriteConverted(const unsigned char* bytes, size_t count) {
  char out[kConsoleBlockSize];
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  size_t in_left = count;
  while (in_left > 0) {
    char* next = out;
    size_t out_left = sizeof out;
    size_t result = iconv(g_console.converter, &in, &in_left, &next, &out_left);
    int error = errno;
    WriteAll(out, static_cast<size_t>(next - out));
    if (result != static_cast<size_t>(-1) || error == E2BIG) continue;
    if (error == EINVAL && in_left == 1) {
      g_console.pending_lead = static_cast<unsigned char>(*in);
      return;
    }
    // Unusable input: show one '?' for the byte or the double-byte pair.
    size_t skip = (IsLeadByte(static_cast<unsigned char>(*in)) && in_left >= 2) ? 2 : 1;
    in += skip;
    in_left -= skip;
    WriteAll("?", 1);
    iconv(g_console.converter, nullptr, nullptr, nullptr, nullptr);
  }
}

// Waits until standard input has something to read (or has ended). False
// when an interrupt arrived first.
bool WaitForInput() {
  for (;;) {
    if (PlatformInterrupted()) return false;
    int wake = InterruptWakeDescriptor();
    if (wake < 0) return true;
    struct pollfd waits[2] = {{0, POLLIN, 0}, {wake, POLLIN, 0}};
    int ready = poll(waits, 2, -1);
    if (PlatformInterrupted()) return false;
    if (ready > 0 && waits[0].revents != 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the read report it
  }
}

}  // namespace

void PlatformWriteConsole(const char* bytes, size_t count) {
  PrepareConsole();
  const unsigned char* next = reinterpret_cast<const unsigned char*>(bytes);
  if (g_console.terminal && g_console.converter != kNoConverter) {
    if (g_console.pending_lead != 0 && count > 0) {
      unsigned char pair[2] = {g_console.pending_lead, next[0]};
      g_console.pending_lead = 0;
      WriteConverted(pair, 2);
      ++next;
      --count;
    }
    WriteConverted(next, count);
    return;
  }
  if (g_console.terminal) {
    WriteAll(next, count);
    return;
  }
  while (count > 0) {
    size_t room = kConsoleBlockSize - g_console.out_used;
    size_t take = count < room ? count : room;
    memcpy(g_console.out_block + g_console.out_used, next, take);
    g_console.out_used += take;
    next += take;
    count -= take;
    if (g_console.out_used == kConsoleBlockSize) FlushConsoleOutput();
  }
}

int PlatformReadConsoleByte() {
  if (g_console.in_ended) return kConsoleEnded;
  if (g_console.in_next == g_console.in_count) {
    ssize_t got;
    do {
      if (!WaitForInput()) return kConsoleInterrupted;
      got = read(0, g_console.in_block, sizeof g_console.in_block);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      g_console.in_ended = true;
      return kConsoleEnded;
    }
    g_console.in_next = 0;
    g_console.in_count = static_cast<size_t>(got);
  }
  return g_console.in_block[g_console.in_next++];
}

void FlushConsoleOutput() {
  if (g_console.out_used == 0) return;
  size_t count = g_console.out_used;
  g_console.out_used = 0;
  WriteAll(g_console.out_block, count);
}

void ResetConsole() {
  if (g_console.converter != kNoConverter) iconv_close(g_console.converter);
  g_console.ready = false;
  g_console.terminal = false;
  g_console.converter = kNoConverter;
  g_console.pending_lead = 0;
  g_console.out_used = 0;
  g_console.in_ended = false;
  g_console.in_next = 0;
  g_console.in_count = 0;
}
