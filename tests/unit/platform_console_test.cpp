// The console of the host build: blocks for files, conversion for a
// terminal, quiet failure on a closed or broken output, and the input's end.
// Each case that changes standard output runs in a child process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// Runs body in a child process and returns its wait status.
template <typename Body>
int RunInChild(Body body) {
  fflush(nullptr);  // the child's exit must not repeat what stdio holds
  pid_t child = fork();
  if (child == 0) {
    body();
    _exit(99);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return status;
}

off_t SizeOf(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 ? status.st_size : -1;
}

TEST(PosixConsole, FilesGetFullBlocksAndTheRestAtExit) {
  char path[] = "/tmp/posix_console_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string expected;
  for (int i = 0; i < 4100; ++i) expected += static_cast<char>('0' + i % 10);
  int status = RunInChild([&] {
    dup2(fd, 1);
    ResetConsole();
    PlatformWriteConsole(expected.data(), 100);
    if (SizeOf(fd) != 0) _exit(10);
    PlatformWriteConsole(expected.data() + 100, 4000);
    if (SizeOf(fd) != 4096) _exit(11);
    PlatformExit(7);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  std::string content(4200, '\0');
  content.resize(static_cast<size_t>(pread(fd, content.data(), content.size(), 0)));
  EXPECT_EQ(content, expected);
  close(fd);
  unlink(path);
}

TEST(PosixConsole, ClosedOrBrokenOutputLosesBytesQuietly) {
  std::string text(10000, 'x');
  int status = RunInChild([&] {
    close(1);
    ResetConsole();
    PlatformWriteConsole(text.data(), text.size());
    PlatformExit(3);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  close(pipe_fds[0]);  // nobody will ever read
  status = RunInChild([&] {
    dup2(pipe_fds[1], 1);
    ResetConsole();
    PlatformWriteConsole(text.data(), text.size());
    PlatformExit(4);
  });
  close(pipe_fds[1]);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 4);
}

TEST(PosixConsole, TerminalShowsEachCallConvertedAtOnce) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave_name = ptsname(master);
  int status = RunInChild([&] {
    int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) _exit(20);
    dup2(slave, 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    ResetConsole();
    PlatformWriteConsole("\x82\xA0[", 3);  // HIRAGANA A
    PlatformWriteConsole("\x82", 1);       // HIRAGANA I, split over two calls
    PlatformWriteConsole("\xA2]", 2);
    _exit(0);  // no flush: a terminal holds nothing back
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string expected = "\xE3\x81\x82[\xE3\x81\x84]";
  std::string shown;
  pollfd ready = {master, POLLIN, 0};
  while (shown.size() < expected.size() && poll(&ready, 1, 2000) > 0) {
    char chunk[64];
    ssize_t got = read(master, chunk, sizeof chunk);
    if (got <= 0) break;
    shown.append(chunk, static_cast<size_t>(got));
  }
  EXPECT_EQ(shown, expected);
  close(master);
}

TEST(PosixConsole, InputEndsForGood) {
  char path[] = "/tmp/posix_console_in_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string input(5000, 'n');
  input[4999] = '\n';
  ASSERT_EQ(write(fd, input.data(), input.size()), 5000);
  lseek(fd, 0, SEEK_SET);
  int saved_stdin = dup(0);
  dup2(fd, 0);
  ResetConsole();
  std::string read_back;
  for (int c; (c = PlatformReadConsoleByte()) != -1 && read_back.size() < 6000;) read_back += static_cast<char>(c);
  EXPECT_EQ(read_back, input);
  // More input arriving later does not revive it.
  ASSERT_EQ(pwrite(fd, "y\n", 2, 5000), 2);
  EXPECT_EQ(PlatformReadConsoleByte(), -1);
  EXPECT_EQ(PlatformReadConsoleByte(), -1);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  close(fd);
  unlink(path);
  ResetConsole();
}

}  // namespace
