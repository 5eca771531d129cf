// The progress bar's cell arithmetic: the worked rows, and the scheduled
// steps (NextCellDue) against a step at every literal.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "install/progress.h"
#include "platform/posix/posix_internal.h"

namespace {

// The bar prints to standard output; keep it out of the test log.
class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_stdout_ = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
  }
  void TearDown() override {
    FlushConsoleOutput();
    dup2(saved_stdout_, 1);
    close(saved_stdout_);
  }
  int saved_stdout_ = -1;
};

// One item of an entry's data: a literal (run == 0) or a run of that length.
struct Item {
  uint32_t run;
};

// Cells printed by the step at each literal, stepping at every literal.
std::vector<int> CellsPerLiteral(uint32_t size, const std::vector<Item>& items) {
  StartProgress();
  std::vector<int> cells;
  uint64_t produced = 0;
  for (const Item& item : items) {
    if (item.run > 0) {
      produced += item.run;
      continue;
    }
    int before = ProgressCount();
    AdvanceProgress(++produced, size);
    cells.push_back(ProgressCount() - before);
  }
  return cells;
}

// The same, stepping only where NextCellDue says a cell is due.
std::vector<int> CellsPerLiteralScheduled(uint32_t size, const std::vector<Item>& items) {
  StartProgress();
  std::vector<int> cells;
  uint64_t produced = 0;
  uint64_t due = NextCellDue(ProgressCount(), size);
  for (const Item& item : items) {
    if (item.run > 0) {
      produced += item.run;
      continue;
    }
    int before = ProgressCount();
    if (++produced >= due) {
      AdvanceProgress(produced, size);
      due = NextCellDue(ProgressCount(), size);
    }
    cells.push_back(ProgressCount() - before);
  }
  return cells;
}

std::vector<Item> Literals(uint32_t count) { return std::vector<Item>(count, Item{0}); }

TEST_F(ProgressTest, WorkedRowsOfLiterals) {
  EXPECT_EQ(CellsPerLiteral(1, Literals(1)), std::vector<int>({25}));
  EXPECT_EQ(CellsPerLiteral(3, Literals(3)), std::vector<int>({9, 8, 8}));

  // 25 bytes: two cells with each odd byte up to 23, none with the even ones,
  // one with byte 25.
  std::vector<int> expected25;
  for (int byte = 1; byte <= 25; ++byte) expected25.push_back(byte == 25 ? 1 : byte % 2 ? 2 : 0);
  EXPECT_EQ(CellsPerLiteral(25, Literals(25)), expected25);

  std::vector<int> expected26(25, 1);
  expected26.push_back(0);
  EXPECT_EQ(CellsPerLiteral(26, Literals(26)), expected26);

  std::vector<int> cells100 = CellsPerLiteral(100, Literals(100));
  for (int byte = 1; byte <= 100; ++byte) {
    EXPECT_EQ(cells100[byte - 1], byte % 4 == 1 ? 1 : 0) << "byte " << byte;
  }
}

TEST_F(ProgressTest, RunsLeaveCellsForLaterLiteralsAndTheFinish) {
  // One literal then a run of 999: one cell, 24 left to the finish.
  EXPECT_EQ(CellsPerLiteral(1000, {{0}, {999}}), std::vector<int>({1}));
  FinishProgress();
  EXPECT_EQ(ProgressCount(), 25);

  // One literal, a run of 998, one literal: 1 then 24.
  EXPECT_EQ(CellsPerLiteral(1000, {{0}, {998}, {0}}), std::vector<int>({1, 24}));

  // 100 bytes: a literal, a run of 49, then 50 literals: 12 at once with
  // byte 51, then one with each of 53, 57, ..., 97.
  std::vector<Item> items = {{0}, {49}};
  for (int i = 0; i < 50; ++i) items.push_back({0});
  std::vector<int> cells = CellsPerLiteral(100, items);
  EXPECT_EQ(cells[0], 1);
  EXPECT_EQ(cells[1], 12);  // byte 51
  for (int byte = 52; byte <= 100; ++byte) {
    EXPECT_EQ(cells[byte - 50], (byte >= 53 && byte <= 97 && byte % 4 == 1) ? 1 : 0) << byte;
  }
}

TEST_F(ProgressTest, EmptyEntryGetsAllCellsFromTheFinish) {
  StartProgress();
  EXPECT_EQ(NextCellDue(0, 0), UINT64_MAX);
  FinishProgress();
  EXPECT_EQ(ProgressCount(), 25);
}

TEST_F(ProgressTest, ScheduledStepsMatchEveryLiteralForSmallSizes) {
  std::mt19937 random(1234);
  for (uint32_t size = 1; size <= 3000; ++size) {
    std::vector<Item> items;
    uint32_t produced = 0;
    while (produced < size) {
      uint32_t run = (random() % 4 == 0) && produced > 0 ? 1 + random() % 40 : 0;
      if (run > size - produced) run = size - produced;
      items.push_back({run});
      produced += run > 0 ? run : 1;
    }
    ASSERT_EQ(CellsPerLiteral(size, items), CellsPerLiteralScheduled(size, items)) << "size " << size;
  }
}

TEST_F(ProgressTest, ScheduledStepsMatchForLongEntries) {
  // Large sizes are where float rounding bunches many produced values on one
  // target; the schedule must still find the exact literal.
  for (uint32_t size : {1u << 24, 100000007u, 4294967295u}) {
    StartProgress();
    uint64_t due = NextCellDue(ProgressCount(), size);
    while (due != UINT64_MAX) {
      float count = static_cast<float>(ProgressCount());
      ASSERT_LT(count, ProgressTarget(due, size));
      ASSERT_FALSE(count < ProgressTarget(due - 1, size)) << "size " << size << " due " << due;
      AdvanceProgress(due, size);
      due = NextCellDue(ProgressCount(), size);
    }
    EXPECT_EQ(ProgressCount(), 25);
  }
}

}  // namespace
