// Interrupts on the host: SIGINT, SIGTERM and SIGHUP raise a flag instead of
// ending the process (SIGTERM and SIGHUP, the end of a session, also the
// closing mark that cuts waits for a holder short), and write a byte into a pipe of our own. A wait for
// standard input or a pause also waits on that pipe, so a signal that
// arrives just before the wait begins still ends it (a flag alone would be
// missed there).
#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <fcntl.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
volatile sig_atomic_t g_closing = 0;  // SIGTERM or SIGHUP: the session is ending
int g_wake_pipe[2] = {-1, -1};

void NoteInterrupt(int signal_number) {
  int saved_errno = errno;
  if (signal_number != SIGINT) g_closing = 1;
  g_interrupted = 1;
  if (g_wake_pipe[1] >= 0) {
    ssize_t ignored = write(g_wake_pipe[1], "!", 1);
    (void)ignored;
  }
  errno = saved_errno;
}

}  // namespace

void PlatformWatchInterrupts() {
  if (g_wake_pipe[0] < 0 && pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_wake_pipe[0] = g_wake_pipe[1] = -1;
  }
  struct sigaction action = {};
  action.sa_handler = NoteInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns with EINTR
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

bool PlatformInterrupted() {
  if (InjectFault(kFaultInterrupt)) g_interrupted = 1;
  return g_interrupted != 0;
}

bool SessionClosing() {
  if (InjectFault(kFaultClosing)) {
    g_closing = 1;
    g_interrupted = 1;
  }
  return SessionEnded();
}

bool SessionEnded() { return g_closing != 0; }

int InterruptWakeDescriptor() { return g_wake_pipe[0]; }
