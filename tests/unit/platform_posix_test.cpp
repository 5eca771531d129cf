// The emulated Windows machine of the host build: paths, registry, Windows
// directory, attributes, temporary output, times, fault injection, program
// start and pauses. Each test works in a machine folder of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void WriteHostFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  chmod(path.c_str(), mode);
}

std::string ReadHostFile(const std::string& path) {
  std::string content;
  FILE* stream = fopen(path.c_str(), "rb");
  if (stream == nullptr) return "<absent>";
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, stream)) > 0) content.append(chunk, got);
  fclose(stream);
  return content;
}

mode_t ModeOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

// The program's replace, with the backup of the old file dropped at once.
bool ReplaceInOneStep(const char* source, const char* destination,
                      uint32_t final_attributes = kAttributeArchive) {
  char backup[kMaxTempPath];
  if (PlatformReplaceKeepingBackup(source, destination, final_attributes, backup) != kReplaced) {
    return false;
  }
  return backup[0] == '\0' ||
         (PlatformSetFileAttributes(backup, kAttributeArchive) && PlatformDeleteFile(backup));
}

std::string Mapped(const char* windows_path) {
  char host[kHostPathSize];
  return MapWindowsPath(windows_path, host) ? std::string(host) : std::string("<unmapped>");
}

class PosixMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/posix_machine_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    machine_ = pattern;
    c_ = machine_ + "/drive_c";
    mkdir(c_.c_str(), 0755);
    setenv("UPDATER_MACHINE", machine_.c_str(), 1);
    unsetenv("UPDATER_FAULTS");
    ResetFaultInjection();
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(cwd_), 0);
    unsetenv("UPDATER_MACHINE");
    unsetenv("UPDATER_FAULTS");
    ResetFaultInjection();
    nftw(machine_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  void MakeFolder(const std::string& relative) { mkdir((machine_ + "/" + relative).c_str(), 0755); }

  std::string machine_;
  std::string c_;
  char cwd_[4096];
};

TEST_F(PosixMachine, MapsDriveRootedAndRelativePaths) {
  EXPECT_EQ(Mapped("C:\\a\\b"), c_ + "/a/b");
  EXPECT_EQ(Mapped("X:\\Dir\\f.txt"), machine_ + "/drive_x/Dir/f.txt");
  EXPECT_EQ(Mapped("\\a\\b"), c_ + "/a/b");
  EXPECT_EQ(Mapped("a\\b"), "./a/b");
  EXPECT_EQ(Mapped("C:\\a/b\\\\c\\"), c_ + "/a/b/c");
  // Windows resolves dots lexically and never climbs above the root.
  EXPECT_EQ(Mapped("C:\\a\\..\\..\\b\\.\\c"), c_ + "/b/c");
  EXPECT_EQ(Mapped("..\\x\\..\\y"), "./../y");
  EXPECT_EQ(Mapped("C:\\readme.txt. "), c_ + "/readme.txt");
  // A double-byte character whose trail byte is 0x5C is one name, bytes kept.
  EXPECT_EQ(Mapped("C:\\\x95\x5C.txt"), c_ + "/\x95\x5C.txt");
  // A lead byte cut off from its trail stays a byte of its own.
  EXPECT_EQ(Mapped("C:\\x\\\x95"), c_ + "/x/\x95");

  EXPECT_EQ(Mapped("\\\\server\\share\\f"), "<unmapped>");
  EXPECT_EQ(Mapped("C:\\a?b"), "<unmapped>");
  EXPECT_EQ(Mapped("C:\\a\\b:c"), "<unmapped>");
  unsetenv("UPDATER_MACHINE");
  EXPECT_EQ(Mapped("C:\\a"), "<unmapped>");
  EXPECT_EQ(Mapped("3pupdate.z"), "./3pupdate.z");
}

TEST_F(PosixMachine, MatchesEveryComponentIgnoringCase) {
  MakeFolder("drive_c/Program Files");
  MakeFolder("drive_c/Program Files/Bitmap");
  WriteHostFile(c_ + "/Program Files/Bitmap/readme.txt", "old");
  std::string bitmap = c_ + "/Program Files/Bitmap";

  EXPECT_EQ(Mapped("c:\\PROGRAM FILES\\bitmap\\README.TXT"), bitmap + "/readme.txt");
  EXPECT_EQ(Mapped("C:\\program files\\BITMAP\\New.Txt"), bitmap + "/New.Txt");
  EXPECT_EQ(PlatformProbeFile("C:\\program files\\bitmap\\README.TXT"), kFilePresent);
  EXPECT_EQ(PlatformProbeFile("C:\\program files\\bitmap"), kFileAbsent);  // a folder is no file
  EXPECT_EQ(PlatformProbeFile("C:\\program files\\bitmap\\none.txt"), kFileAbsent);

  // A folder that exists in another spelling is there already; a new one keeps its spelling.
  EXPECT_FALSE(PlatformCreateDirectory("C:\\program files\\BITMAP"));
  EXPECT_TRUE(PlatformCreateDirectory("C:\\program files\\bitmap\\Sub"));
  struct stat status;
  EXPECT_EQ(stat((bitmap + "/Sub").c_str(), &status), 0);

  // A trail byte in the letter range belongs to its character: 0x83 0x41
  // (katakana A) and 0x83 0x61 are different names.
  WriteHostFile(bitmap + "/\x83\x61", "other");
  EXPECT_EQ(Mapped("C:\\Program Files\\Bitmap\\\x83\x41"), bitmap + "/\x83\x41");
  EXPECT_EQ(Mapped("C:\\Program Files\\BITMAP\\\x83\x61"), bitmap + "/\x83\x61");

  // Relative paths are matched in the current folder.
  ASSERT_EQ(chdir(bitmap.c_str()), 0);
  PlatformFile file = PlatformOpenForReading("ReadMe.TXT");
  ASSERT_NE(file, nullptr);
  char bytes[8] = {};
  EXPECT_EQ(PlatformReadFile(file, bytes, sizeof bytes), 3u);
  EXPECT_STREQ(bytes, "old");
  EXPECT_EQ(PlatformReadFile(file, bytes, sizeof bytes), 0u);
  PlatformCloseFile(file);

  // An exact match wins over other spellings; among several others, the
  // first in byte order serves.
  WriteHostFile(bitmap + "/README.TXT", "upper");
  EXPECT_EQ(Mapped("C:\\Program Files\\Bitmap\\readme.txt"), bitmap + "/readme.txt");
  EXPECT_EQ(Mapped("C:\\Program Files\\Bitmap\\Readme.txt"), bitmap + "/README.TXT");
}

TEST_F(PosixMachine, RegistryFindsKeysAndValuesIgnoringCase) {
  std::string key = machine_ + "/registry/HKEY_LOCAL_MACHINE/Software/Maker/Product/Directories";
  std::string cmd = "mkdir -p '" + key + "/Nested' '" + machine_ + "/registry/HKEY_CURRENT_USER/Software'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  WriteHostFile(key + "/InstallDir", std::string("C:\\Prod\0x", 10));

  char path[512];
  PlatformFormatKeyPath(path, "SoftWare", "MAKER", "product", "Directories");
  EXPECT_STREQ(path, "SoftWare\\MAKER\\product\\Directories");
  PlatformKey handle = nullptr;
  ASSERT_EQ(PlatformRegOpenKey(kHiveLocalMachine, path, &handle), 0);
  uint32_t size = 0;
  ASSERT_EQ(PlatformRegQueryValue(handle, "installdir", nullptr, &size), 0);
  EXPECT_EQ(size, 10u);
  uint8_t data[16];
  memset(data, '#', sizeof data);
  uint32_t small = 4;
  EXPECT_NE(PlatformRegQueryValue(handle, "INSTALLDIR", data, &small), 0);  // more data
  EXPECT_EQ(memcmp(data, "C:\\P#", 5), 0);                                  // no byte past the size
  EXPECT_EQ(PlatformRegQueryValue(handle, "InstallDir", data, &size), 0);
  EXPECT_EQ(memcmp(data, "C:\\Prod\0x", 10), 0);
  EXPECT_NE(PlatformRegQueryValue(handle, "Nested", nullptr, &size), 0);  // a subkey, not a value
  EXPECT_NE(PlatformRegQueryValue(handle, "Version", nullptr, &size), 0);
  PlatformRegCloseKey(handle);

  EXPECT_EQ(PlatformRegOpenKey(kHiveCurrentUser, "SOFTWARE", &handle), 0);
  PlatformRegCloseKey(handle);
  EXPECT_NE(PlatformRegOpenKey(kHiveCurrentUser, path, &handle), 0);
  EXPECT_NE(PlatformRegOpenKey(kHiveLocalMachine, "Software\\..\\Software", &handle), 0);
  unsetenv("UPDATER_MACHINE");
  EXPECT_NE(PlatformRegOpenKey(kHiveLocalMachine, path, &handle), 0);
}

TEST_F(PosixMachine, WindowsDirectoryComesFromItsFileAndFailsWhenTooLong) {
  char buffer[256];
  memset(buffer, 0, sizeof buffer);
  PlatformGetWindowsDirectory(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "C:\\windows");

  std::string file = machine_ + "/windows_directory";
  WriteHostFile(file, "D:\\WINNT");
  PlatformGetWindowsDirectory(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "D:\\WINNT");

  std::string longest(255, 'w');
  WriteHostFile(file, longest);
  PlatformGetWindowsDirectory(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), longest);

  memset(buffer, 0, sizeof buffer);
  WriteHostFile(file, longest + "w");
  PlatformGetWindowsDirectory(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(256, '\0'));  // untouched

  char tiny[4] = {'k', 'e', 'e', 'p'};
  WriteHostFile(file, "C:\\W");
  PlatformGetWindowsDirectory(tiny, sizeof tiny);
  EXPECT_EQ(memcmp(tiny, "keep", 4), 0);
}

TEST_F(PosixMachine, ReadOnlyFilesAreRefusedEvenToRoot) {
  WriteHostFile(c_ + "/f.txt", "data", 0664);
  EXPECT_EQ(PlatformGetFileAttributes("C:\\F.TXT"), kAttributeArchive);
  EXPECT_TRUE(PlatformCanWriteExisting("C:\\f.txt"));
  EXPECT_TRUE(PlatformCanWriteExisting("C:\\absent.txt"));
  EXPECT_TRUE(PlatformCanWriteExisting("C:\\no folder\\absent.txt"));

  ASSERT_TRUE(PlatformSetFileAttributes("C:\\f.txt", kAttributeReadOnly | kAttributeArchive));
  EXPECT_EQ(ModeOf(c_ + "/f.txt"), 0444u);
  EXPECT_EQ(PlatformGetFileAttributes("C:\\f.txt"), kAttributeReadOnly | kAttributeArchive);
  EXPECT_FALSE(PlatformCanWriteExisting("C:\\f.txt"));
  EXPECT_FALSE(PlatformSetFileTimes("C:\\f.txt", 1000));
  EXPECT_FALSE(PlatformDeleteFile("C:\\f.txt"));
  char temp[kMaxTempPath];
  PlatformOutput output = PlatformCreateTempFile("C:\\new.bin", temp);
  ASSERT_NE(output, nullptr);
  EXPECT_TRUE(PlatformCloseOutput(output));
  // The replace itself gives the new file its final word, read-only too.
  EXPECT_TRUE(ReplaceInOneStep(temp, "C:\\f.txt", kAttributeReadOnly | kAttributeArchive));
  EXPECT_EQ(ReadHostFile(c_ + "/f.txt"), "");
  EXPECT_EQ(ModeOf(c_ + "/f.txt"), 0444u);

  ASSERT_TRUE(PlatformSetFileAttributes("C:\\f.txt", kAttributeArchive));
  EXPECT_EQ(ModeOf(c_ + "/f.txt"), 0644u);  // the owner's write bit only
  EXPECT_TRUE(PlatformDeleteFile("C:\\f.txt"));

  MakeFolder("drive_c/dir");
  EXPECT_EQ(PlatformGetFileAttributes("C:\\dir"), kAttributeDirectory);
  EXPECT_FALSE(PlatformCanWriteExisting("C:\\dir"));
  EXPECT_EQ(PlatformGetFileAttributes("C:\\none"), kInvalidFileAttributes);
  EXPECT_FALSE(PlatformSetFileAttributes("C:\\none", 0));

  // Links, dangling or not, are reparse points: never followed, never
  // replaced; the target keeps its mode.
  WriteHostFile(c_ + "/target.txt", "target", 0444);
  ASSERT_EQ(symlink("target.txt", (c_ + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink("gone.txt", (c_ + "/dangling.txt").c_str()), 0);
  for (const char* link : {"C:\\link.txt", "C:\\dangling.txt"}) {
    EXPECT_EQ(PlatformGetFileAttributes(link), kAttributeReparsePoint | kAttributeArchive) << link;
    EXPECT_FALSE(PlatformSetFileAttributes(link, kAttributeArchive)) << link;
    EXPECT_FALSE(PlatformCanWriteExisting(link)) << link;
    output = PlatformCreateTempFile(link, temp);
    ASSERT_NE(output, nullptr);
    EXPECT_TRUE(PlatformCloseOutput(output));
    EXPECT_FALSE(ReplaceInOneStep(temp, link)) << link;
    EXPECT_TRUE(PlatformDeleteFile(temp));
  }
  EXPECT_EQ(ModeOf(c_ + "/target.txt"), 0444u);
  EXPECT_EQ(ReadHostFile(c_ + "/gone.txt"), "<absent>");
}

TEST_F(PosixMachine, TempFileReplacesDestinationKeepingItsPermissionBits) {
  MakeFolder("drive_c/Dest");
  WriteHostFile(c_ + "/Dest/target.bin", "old", 0640);
  char temp[kMaxTempPath];
  PlatformOutput output = PlatformCreateTempFile("C:\\dest\\target.bin", temp);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(strncmp(temp, "C:\\dest\\~3pu", 12), 0) << temp;

  // More than the output buffer holds, in the decoder's 1024-byte pieces and
  // in blocks larger than the buffer, some of them when the buffer is exactly
  // full or empty: every byte lands once and in order.
  std::string expected;
  auto write = [&](const std::string& bytes) {
    ASSERT_TRUE(PlatformWriteOutput(output, bytes.data(), bytes.size()));
    expected += bytes;
  };
  for (int i = 0; i < 556; ++i) {
    write(std::string(1024, static_cast<char>('a' + i % 26)));
    if (i == 255 || i == 299) write(std::string(600 * 1024 + 7, static_cast<char>('A' + i % 26)));
  }
  write("tail");
  write(std::string(300 * 1024, 'Z'));
  write("end");
  ASSERT_TRUE(PlatformCloseOutput(output));

  // A second temporary file in the same folder gets another name.
  char other[kMaxTempPath];
  PlatformOutput second = PlatformCreateTempFile("C:\\Dest\\target.bin", other);
  ASSERT_NE(second, nullptr);
  EXPECT_STRNE(strrchr(temp, '\\'), strrchr(other, '\\'));
  PlatformAbandonOutput(second);
  EXPECT_TRUE(PlatformDeleteFile(other));

  ASSERT_TRUE(ReplaceInOneStep(temp, "C:\\DEST\\TARGET.BIN"));
  EXPECT_EQ(ReadHostFile(c_ + "/Dest/target.bin"), expected);
  EXPECT_EQ(ModeOf(c_ + "/Dest/target.bin"), 0640u);
  EXPECT_EQ(ReadHostFile(Mapped(temp)), "<absent>");

  // A folder in the way: the replace fails and the temporary file stays.
  MakeFolder("drive_c/Dest/sub");
  output = PlatformCreateTempFile("C:\\Dest\\new.bin", temp);
  ASSERT_NE(output, nullptr);
  PlatformCloseOutput(output);
  EXPECT_FALSE(ReplaceInOneStep(temp, "C:\\Dest\\sub"));
  EXPECT_TRUE(PlatformDeleteFile(temp));
  EXPECT_EQ(PlatformCreateTempFile("C:\\missing\\new.bin", temp), nullptr);
}

TEST_F(PosixMachine, FileTimesRoundTrip) {
  WriteHostFile(c_ + "/t.txt", "x");
  const int64_t times[] = {0, 946684800, 2147483647, -86400};
  for (int64_t seconds : times) {
    ASSERT_TRUE(PlatformSetFileTimes("C:\\T.txt", seconds));
    int64_t read_back = 1;
    ASSERT_TRUE(PlatformQueryLastWriteTime("c:\\t.TXT", &read_back));
    EXPECT_EQ(read_back, seconds);
    struct stat status;
    ASSERT_EQ(stat((c_ + "/t.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_atime, seconds);
  }
  int64_t unused;
  EXPECT_FALSE(PlatformQueryLastWriteTime("C:\\none.txt", &unused));
  EXPECT_FALSE(PlatformSetFileTimes("C:\\none.txt", 5));
}

// A look at an installed file (/verify) reads it whole and leaves its
// last-access time as it was, which a plain read under relatime would move
// (the time is older than the file's change time); nothing there is an
// absence, a folder or a failed mapping is not.
TEST_F(PosixMachine, LookingAtAFileLeavesItsAccessTime) {
  WriteHostFile(c_ + "/seen.txt", "the bytes");
  ASSERT_TRUE(PlatformSetFileTimes("C:\\seen.txt", 946684800));
  bool absent = true;
  PlatformFile file = PlatformOpenToLook("C:\\SEEN.TXT", &absent);
  ASSERT_NE(file, nullptr);
  char bytes[32] = {};
  EXPECT_EQ(PlatformReadFile(file, bytes, sizeof bytes), 9u);
  EXPECT_STREQ(bytes, "the bytes");
  PlatformCloseFile(file);
  struct stat status;
  ASSERT_EQ(stat((c_ + "/seen.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_atime, 946684800);
  EXPECT_EQ(PlatformOpenToLook("C:\\none.txt", &absent), nullptr);
  EXPECT_TRUE(absent);
  EXPECT_EQ(PlatformOpenToLook("C:\\none\\deeper.txt", &absent), nullptr);
  EXPECT_TRUE(absent);
  MakeFolder("drive_c/folder");
  EXPECT_EQ(PlatformOpenToLook("C:\\folder", &absent), nullptr);
  EXPECT_FALSE(absent);
}

// The run lock is the file ~3pu.lock in the installation folder: every
// spelling of the folder reaches it; an update excludes updates and looks,
// a look excludes updates; its last holder deletes it; a folder that is not
// there gives no lock at all.
TEST_F(PosixMachine, RunLockIsOneFileInTheFolderHoweverSpelled) {
  MakeFolder("drive_c/Perinwood");
  std::string lock_file = c_ + "/Perinwood/~3pu.lock";
  ASSERT_EQ(PlatformTakeRunLock("C:\\Perinwood", kRunLockExclusive), kRunLockTaken);
  EXPECT_NE(ModeOf(lock_file), 0u);
  EXPECT_EQ(PlatformTakeRunLock("c:/PERINWOOD\\", kRunLockExclusive), kRunLockBusy);
  EXPECT_EQ(PlatformTakeRunLock("C:\\perinwood", kRunLockShared), kRunLockBusy);
  ReleaseRunLock();
  EXPECT_EQ(ReadHostFile(lock_file), "<absent>");
  ASSERT_EQ(PlatformTakeRunLock("C:\\Perinwood\\", kRunLockShared), kRunLockTaken);
  EXPECT_EQ(PlatformTakeRunLock("C:\\Perinwood", kRunLockExclusive), kRunLockBusy);
  ReleaseRunLock();
  EXPECT_EQ(ReadHostFile(lock_file), "<absent>");
  EXPECT_EQ(PlatformTakeRunLock("C:\\Elsewhere", kRunLockExclusive), kRunLockUnavailable);
}

TEST_F(PosixMachine, FaultPlanFailsTheNthCallOfEachKindOnce) {
  setenv("UPDATER_FAULTS", "write=2,close=1,open_read=3,query_time=1", 1);
  ResetFaultInjection();
  WriteHostFile(c_ + "/f.txt", "x");
  EXPECT_EQ(PlatformProbeFile("C:\\f.txt"), kFilePresent);
  EXPECT_EQ(PlatformProbeFile("C:\\f.txt"), kFilePresent);
  EXPECT_EQ(PlatformProbeFile("C:\\f.txt"), kPresenceUnknown);  // a failed look is no absence
  EXPECT_EQ(PlatformProbeFile("C:\\f.txt"), kFilePresent);
  int64_t seconds;
  EXPECT_FALSE(PlatformQueryLastWriteTime("C:\\f.txt", &seconds));
  EXPECT_TRUE(PlatformQueryLastWriteTime("C:\\f.txt", &seconds));

  char temp[kMaxTempPath];
  PlatformOutput output = PlatformCreateTempFile("C:\\new.bin", temp);
  ASSERT_NE(output, nullptr);
  EXPECT_TRUE(PlatformWriteOutput(output, "a", 1));
  EXPECT_FALSE(PlatformWriteOutput(output, "b", 1));
  EXPECT_FALSE(PlatformWriteOutput(output, "c", 1));  // the file stays failed
  EXPECT_FALSE(PlatformCloseOutput(output));
  output = PlatformCreateTempFile("C:\\new.bin", temp);
  ASSERT_NE(output, nullptr);
  EXPECT_TRUE(PlatformWriteOutput(output, "d", 1));
  EXPECT_TRUE(PlatformCloseOutput(output));

  setenv("UPDATER_FAULTS", "replace=1,create_directory=2", 1);
  ResetFaultInjection();
  EXPECT_FALSE(ReplaceInOneStep(temp, "C:\\g.txt"));
  EXPECT_TRUE(ReplaceInOneStep(temp, "C:\\g.txt"));
  EXPECT_TRUE(PlatformCreateDirectory("C:\\d1"));
  EXPECT_FALSE(PlatformCreateDirectory("C:\\d2"));
  EXPECT_TRUE(PlatformCreateDirectory("C:\\d3"));

  unsetenv("UPDATER_FAULTS");
  ResetFaultInjection();
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(InjectFault(kFaultWrite));
}

// Waits up to two seconds for the file to hold a full line.
std::string WaitForLine(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    std::string content = ReadHostFile(path);
    if (content != "<absent>" && !content.empty() && content.back() == '\n') return content;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ReadHostFile(path);
}

TEST_F(PosixMachine, StartsAnExecutableWithTheUnsplitTail) {
  MakeFolder("drive_c/Windows");
  std::string log = machine_ + "/viewer.log";
  WriteHostFile(c_ + "/Windows/notepad.exe",
                "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" >> '" + log + "'\n", 0755);
  PlatformStartProgram("C:\\windows\\NOTEPAD.EXE", "C:\\windows\\NOTEPAD.EXE C:\\My Files\\read me.txt");
  EXPECT_EQ(WaitForLine(log), "1|C:\\My Files\\read me.txt\n");

  // Not executable, or not there: nothing starts.
  WriteHostFile(c_ + "/Windows/plain.exe", "#!/bin/sh\necho ran >> '" + log + "'\n", 0644);
  PlatformStartProgram("C:\\windows\\plain.exe", "C:\\windows\\plain.exe x");
  PlatformStartProgram("C:\\windows\\absent.exe", "C:\\windows\\absent.exe x");
  PlatformStartProgram("C:\\windows", "C:\\windows x");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ReadHostFile(log), "1|C:\\My Files\\read me.txt\n");
}

TEST_F(PosixMachine, StartedProgramHoldsNoneOfOurStreams) {
  WriteHostFile(c_ + "/slow.exe", "#!/bin/sh\nsleep 3\n", 0755);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(pipe_fds[1], 1);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    PlatformStartProgram("C:\\slow.exe", "C:\\slow.exe arg");
    _exit(0);
  }
  close(pipe_fds[1]);
  char byte;
  EXPECT_EQ(read(pipe_fds[0], &byte, 1), 0);  // end of the pipe, not the program's end
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
}

TEST_F(PosixMachine, PausesAreLoggedUnscaled) {
  std::string log = machine_ + "/pauses";
  setenv("UPDATER_PAUSE_LOG", log.c_str(), 1);
  setenv("UPDATER_PAUSE_SCALE", "0", 1);
  auto start = std::chrono::steady_clock::now();
  PlatformSleep(5000);
  PlatformSleep(10000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  setenv("UPDATER_PAUSE_SCALE", "0.01", 1);
  start = std::chrono::steady_clock::now();
  PlatformSleep(5000);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(ReadHostFile(log), "5000\n10000\n5000\n");
  unsetenv("UPDATER_PAUSE_LOG");
  unsetenv("UPDATER_PAUSE_SCALE");
}

}  // namespace

// The archive is read through a ring of chunks that a second thread hashes
// behind the reader: the bytes served must be the file's, in order, across
// chunk boundaries and when the ring is full, and the digest must be that of
// exactly the first limit bytes, again after a rewind.
TEST_F(PosixMachine, ReadsAndHashesThroughTheChunkRing) {
  std::string bytes;
  uint32_t state = 1;
  for (size_t i = 0; i < 5 * 256 * 1024 + 777; ++i) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 24);
  }
  WriteHostFile(c_ + "/big.z", bytes);
  auto digest_of = [&](size_t size) {
    std::vector<uint8_t> out(kDigestSize);
    PlatformDigest digest;
    PlatformStartDigest(&digest);
    PlatformAddToDigest(&digest, bytes.data(), size);
    PlatformFinishDigest(&digest, out.data());
    return out;
  };
  PlatformFile file = PlatformOpenForReading("C:\\big.z");
  ASSERT_NE(file, nullptr);
  for (uint64_t limit : {uint64_t{3 * 256 * 1024 + 5}, uint64_t{bytes.size()}}) {
    PlatformDigestWhileReading(file, limit);
    std::string read;
    char piece[1000];
    size_t got = 0;
    while ((got = PlatformReadFile(file, piece, sizeof piece)) > 0) read.append(piece, got);
    EXPECT_TRUE(read == bytes) << "limit " << limit;
    std::vector<uint8_t> out(kDigestSize);
    ASSERT_TRUE(PlatformFinishReadDigest(file, out.data()));
    EXPECT_EQ(out, digest_of(limit));
    ASSERT_TRUE(PlatformRewindFile(file));
  }
  // Finishing early reads on to the limit: the digest covers bytes not yet served.
  PlatformDigestWhileReading(file, bytes.size());
  char first[10];
  EXPECT_EQ(PlatformReadFile(file, first, sizeof first), sizeof first);
  std::vector<uint8_t> out(kDigestSize);
  ASSERT_TRUE(PlatformFinishReadDigest(file, out.data()));
  EXPECT_EQ(out, digest_of(bytes.size()));
  PlatformCloseFile(file);
}
