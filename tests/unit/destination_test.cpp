// Destination paths, their split, and the folder chain in an emulated machine.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "install/destination.h"

namespace {

std::string g_install, g_windows;

void SetRoots(const std::string& install, const std::string& windows) {
  g_install = install;
  g_windows = windows;
}

std::string Compose(uint8_t kind, const char* name, ComposeResult expected = kPathComposed) {
  InstallContext context = {g_install.c_str(), g_windows.c_str(), kAsk};
  char path[kComposeBufferSize];
  EXPECT_EQ(ComposeDestinationPath(&context, kind, name, path), expected);
  return path;
}

TEST(Destination, KindsInEitherCaseSelectRootAndTemplate) {
  SetRoots("D:\\Games\\Demo", "C:\\windows");
  for (uint8_t kind : {'B', 'b'}) EXPECT_EQ(Compose(kind, "t.bmp"), "D:\\Games\\Demo\\bitmap\\t.bmp");
  for (uint8_t kind : {'I', 'i'}) EXPECT_EQ(Compose(kind, "a\\b.txt"), "D:\\Games\\Demo\\a\\b.txt");
  for (uint8_t kind : {'S', 's'}) EXPECT_EQ(Compose(kind, "x.dll"), "C:\\windows\\system\\x.dll");
  for (uint8_t kind : {'W', 'w'}) EXPECT_EQ(Compose(kind, "x.ini"), "C:\\windows\\x.ini");
  Compose('X', "x", kNoPath);
  Compose(0, "x", kNoPath);
}

TEST(Destination, OverLongPathIsKeptWholeAndFlagged) {
  std::string root(255, 'r');
  std::string name(255, 'n');
  SetRoots(root, "C:\\windows");
  std::string path = Compose('B', name.c_str(), kPathTooLong);
  EXPECT_EQ(path, root + "\\bitmap\\" + name);
  SetRoots(std::string(240, 'r'), "C:\\windows");
  EXPECT_EQ(Compose('I', std::string(14, 'n').c_str()).size(), 255u);
  Compose('I', std::string(15, 'n').c_str(), kPathTooLong);
}

TEST(Destination, SplitTakesTheLastBackslashWithAByteBehindIt) {
  char folder[256];
  EXPECT_STREQ(SplitDestinationPath("D:\\Games\\Demo\\bitmap\\title.bmp", folder), "title.bmp");
  EXPECT_STREQ(folder, "D:\\Games\\Demo\\bitmap");
  // An empty name: the split falls inside the root.
  EXPECT_STREQ(SplitDestinationPath("D:\\Games\\", folder), "Games\\");
  EXPECT_STREQ(folder, "D:");
  // A Shift-JIS second byte 0x5C is a separator too.
  EXPECT_STREQ(SplitDestinationPath("D:\\G\\\x95\\.txt", folder), ".txt");
  EXPECT_STREQ(folder, "D:\\G\\\x95");
  // Nothing to split: no folder, the whole path as the base name.
  EXPECT_STREQ(SplitDestinationPath("\\", folder), "\\");
  EXPECT_STREQ(folder, "");
  EXPECT_STREQ(SplitDestinationPath("", folder), "");
}

class FolderChain : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/folder_chain_XXXXXX";
    machine_ = mkdtemp(pattern);
    setenv("UPDATER_MACHINE", machine_.c_str(), 1);
    mkdir((machine_ + "/drive_d").c_str(), 0755);
  }
  void TearDown() override {
    std::string command = "rm -rf '" + machine_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    unsetenv("UPDATER_MACHINE");
  }
  bool IsFolder(const std::string& relative) {
    struct stat status;
    return stat((machine_ + "/" + relative).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }
  std::string machine_;
};

TEST_F(FolderChain, CreatesEveryFolderAfterTheDriveWithRunsOfSeparatorsAsOne) {
  char folder[] = "D:\\Games\\\\Demo\\bitmap\\";
  CreateFolderChain(folder);
  EXPECT_TRUE(IsFolder("drive_d/Games/Demo/bitmap"));
  // Existing folders are passed over silently.
  char again[] = "D:\\Games\\Demo\\data";
  CreateFolderChain(again);
  EXPECT_TRUE(IsFolder("drive_d/Games/Demo/data"));
}

TEST_F(FolderChain, ShiftJisSecondByteMakesAComponentOfItsOwn) {
  char folder[] = "D:\\G\\\x95";
  CreateFolderChain(folder);
  EXPECT_TRUE(IsFolder("drive_d/G/\x95"));
}

TEST_F(FolderChain, OneComponentMakesNothing) {
  // From inside the machine folder, so that a folder made relative to the
  // current directory shows up in it too.
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(machine_.c_str()), 0);
  char folder[] = "D:";
  CreateFolderChain(folder);
  char empty[] = "";
  CreateFolderChain(empty);
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(machine_)) {
    found.push_back(entry.path().lexically_relative(machine_).string());
  }
  EXPECT_EQ(found, std::vector<std::string>{"drive_d"});
  ASSERT_EQ(chdir(previous), 0);
}

}  // namespace
