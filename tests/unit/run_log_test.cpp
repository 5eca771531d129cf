// The run's log: what the scenarios cannot show (time stamps are masked
// there; a log that fails in the middle of a run; every byte a log text may
// hold).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "console/run_log.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

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

// A log on a full disk: every write fails, the log gives up at the first
// and has one report for the console; the calls that follow neither report
// again nor stop anything.
TEST(RunLog, AWriteThatFailsIsReportedOnce) {
  char folder[] = "/tmp/run_log_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string link = std::string(folder) + "/full.log";
  ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(folder), 0);
  OpenRunLog("full.log", "1.1");
  EXPECT_EQ(TakeLogFailure(), nullptr);
  LogEntry("C:\\a.txt", kLogWritten, 5);
  const char* failed = TakeLogFailure();
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(std::string(failed), "full.log");
  LogEntry("C:\\b.txt", kLogKept, 5);
  LogStop("\n stop\n");
  LogEnd(0);
  EXPECT_EQ(TakeLogFailure(), nullptr);
  ASSERT_EQ(chdir(here), 0);
  unlink(link.c_str());
  rmdir(folder);
}

std::string Clean(const char* text, size_t size = 64) {
  char out[64];
  CleanLogText(text, out, size);
  return out;
}

// What may reach a log line from an archive or the machine: control bytes
// and a lead byte without its trail become '?', whole characters stay, and
// a text cut to fit never ends in half a character.
TEST(RunLog, CleanTextKeepsCharactersAndNothingElse) {
  EXPECT_EQ(Clean("z]\r\n2026 ended\x7F"), "z]??2026 ended?");
  EXPECT_EQ(Clean("a\x81"), "a?");               // a lead byte at the end: no trail
  EXPECT_EQ(Clean("a\x81 b"), "a? b");           // a blank is no trail byte
  EXPECT_EQ(Clean("\x83\x41\x81]"), "\x83\x41\x81]");  // ア, then a real pair
  EXPECT_EQ(Clean("\xE0\x1F"), "??");           // a control byte is no trail either
  EXPECT_EQ(Clean("\x80\xA0\xFD\xFF"), "????");  // bytes the two systems convert apart
  EXPECT_EQ(Clean("ab\x83\x41", 4), "ab");      // no room for the pair: cut before it
}

}  // namespace
