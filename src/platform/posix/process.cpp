// Starting programs, pausing and ending the process on the emulated machine.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/holder_retry.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// Runs in the grandchild: a session of its own, the standard streams on
// /dev/null (so nobody waiting for our pipes to close waits for it), then
// the program. Never returns.
[[noreturn]] void RunDetached(const char* program, const char* argument) {
  setsid();
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
  }
  char* arguments[3] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  execv(program, arguments);
  _exit(127);
}

// The pause factor from UPDATER_PAUSE_SCALE: 1 when unset or unreadable,
// 0 for negative values.
double PauseScale() {
  const char* text = getenv("UPDATER_PAUSE_SCALE");
  if (text == nullptr || text[0] == '\0') return 1.0;
  char* end = nullptr;
  double scale = strtod(text, &end);
  if (end == text || *end != '\0' || !(scale == scale)) return 1.0;
  return scale < 0 ? 0.0 : scale;
}

// Sleeps milliseconds times the pause factor.
void SleepScaled(uint32_t milliseconds) {
  double scaled = static_cast<double>(milliseconds) * PauseScale();
  if (scaled <= 0) return;
  struct timespec left;
  left.tv_sec = static_cast<time_t>(scaled / 1000.0);
  left.tv_nsec = static_cast<long>((scaled - static_cast<double>(left.tv_sec) * 1000.0) * 1000000.0);
  if (left.tv_nsec >= 1000000000L) left.tv_nsec = 999999999L;
  int wake = InterruptWakeDescriptor();
  if (wake >= 0) {
    // The pause is a wait on the interrupt pipe: an interrupt ends it.
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += left.tv_sec;
    end.tv_nsec += left.tv_nsec;
    if (end.tv_nsec >= 1000000000L) {
      end.tv_sec += 1;
      end.tv_nsec -= 1000000000L;
    }
    while (!PlatformInterrupted()) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      int64_t ms = (end.tv_sec - now.tv_sec) * 1000LL + (end.tv_nsec - now.tv_nsec) / 1000000L;
      if (ms <= 0) return;
      struct pollfd wait = {wake, POLLIN, 0};
      poll(&wait, 1, static_cast<int>(ms));
    }
    return;
  }
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

// CreateProcessA with the program named: program is mapped like any path,
// and the rest of the command line after it and one blank, unsplit, is the
// one argument. Only an executable regular file is started, in a grandchild
// so that it is neither our child to wait for nor left a zombie; the
// intermediate child is reaped at once.
void PlatformStartProgram(const char* program, const char* command_line) {
  if (program == nullptr || command_line == nullptr) return;
  size_t program_length = strlen(program);
  const char* argument = nullptr;
  if (strncmp(command_line, program, program_length) == 0 && command_line[program_length] == ' ') {
    argument = command_line + program_length + 1;
  }
  char host[kHostPathSize];
  struct stat status;
  if (!MapWindowsPath(program, host) || stat(host, &status) != 0) return;
  if (!S_ISREG(status.st_mode) || (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) return;
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    pid_t grandchild = fork();
    if (grandchild == 0) RunDetached(host, argument);
    _exit(0);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}


void PlatformSleep(uint32_t milliseconds) {
  LogTestPause(milliseconds);
  SleepScaled(milliseconds);
}

// Scaled like the run's pauses, so that tests need not wait, but never
// logged: the pause log holds the pauses of the dialogue only. Only the end
// of the session (SIGTERM, SIGHUP) ends the attempts; after SIGINT the
// waits go on, so that a rollback still gets every attempt.
bool PauseForHolder(uint32_t milliseconds) {
  PlatformInterrupted();
  if (SessionClosing()) return true;
  double scaled = static_cast<double>(milliseconds) * PauseScale();
  if (scaled <= 0) return false;
  struct timespec left;
  left.tv_sec = static_cast<time_t>(scaled / 1000.0);
  left.tv_nsec = static_cast<long>((scaled - static_cast<double>(left.tv_sec) * 1000.0) * 1000000.0);
  if (left.tv_nsec >= 1000000000L) left.tv_nsec = 999999999L;
  // A signal wakes the sleep; only the end of the session ends it.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    if (SessionEnded()) return true;
  }
  return false;
}

[[noreturn]] void PlatformExit(int status) {
  FlushConsoleOutput();
  StopStageWriter();
  StopReadHashers();
  ReleaseRunLock();
  exit(status);
}
