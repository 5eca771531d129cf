// The run's log and the name of the run lock: what the scenarios cannot
// show (time stamps are masked there; a log that fails in the middle of a
// run; spellings of one folder).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "console/run_log.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/run_lock_name.h"

namespace {

std::string LogTime(int64_t seconds) {
  char text[64];
  FormatLogTime(seconds, text, sizeof text);
  return text;
}

TEST(RunLog, TimeStampsAreUtcCalendarDates) {
  EXPECT_EQ(LogTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(LogTime(951782399), "2000-02-28T23:59:59Z");
  EXPECT_EQ(LogTime(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(LogTime(2147483648LL), "2038-01-19T03:14:08Z");
  EXPECT_EQ(LogTime(4107542400LL), "2100-03-01T00:00:00Z");  // 2100 has no 29 February
}

// A log on a full disk: every write fails, the report comes once, and the
// calls that follow neither report again nor stop anything.
TEST(RunLog, AWriteThatFailsIsReportedOnce) {
  char folder[] = "/tmp/run_log_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string link = std::string(folder) + "/full.log";
  std::string out = std::string(folder) + "/stdout";
  ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    if (chdir(folder) != 0 || freopen(out.c_str(), "wb", stdout) == nullptr) _exit(90);
    ResetConsole();
    OpenRunLog("full.log", "1.1");
    LogEntry("C:\\a.txt", kLogWritten, 5);
    LogEntry("C:\\b.txt", kLogKept, 5);
    LogStop("\n stop\n");
    LogEnd(0);
    PlatformExit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  FILE* shown = fopen(out.c_str(), "rb");
  ASSERT_NE(shown, nullptr);
  std::string text(4096, '\0');
  text.resize(fread(text.data(), 1, text.size(), shown));
  fclose(shown);
  size_t first = text.find("[full.log]");
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find("[full.log]", first + 1), std::string::npos) << text;
  unlink(out.c_str());
  unlink(link.c_str());
  rmdir(folder);
}

std::string LockName(const char* folder) {
  char name[kRunLockNameSize];
  FormatRunLockName(folder, name);
  return name;
}

// One folder is one lock however it is spelled; a double-byte character's
// trail byte is no letter, so two characters that differ there are two
// folders (ア 83 41, ヂ 83 61).
TEST(RunLockName, NamesTheFolderAsWindowsComparesIt) {
  EXPECT_EQ(LockName("C:\\Perinwood"), LockName("c:/PERINWOOD\\"));
  EXPECT_NE(LockName("C:\\Perinwood"), LockName("C:\\Perinwood2"));
  EXPECT_NE(LockName("C:\\\x83\x41"), LockName("C:\\\x83\x61"));
  EXPECT_EQ(LockName("C:\\\x83\x41x"), LockName("C:\\\x83\x41X"));
}

}  // namespace
