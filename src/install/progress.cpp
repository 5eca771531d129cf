#include "install/progress.h"

#include "control/console.h"

namespace {

struct ProgressBar {
  int filled;  // cells printed so far, 0..25
};

ProgressBar g_bar;

}  // namespace

float ProgressTarget(uint64_t produced, uint32_t size) {
  // volatile keeps a 32-bit x87 build from carrying excess precision into the
  // comparison; the stored float is what decides.
  volatile double quotient = static_cast<double>(produced * kProgressCells) / size;
  volatile float target = static_cast<float>(quotient);
  return target;
}

void StartProgress() {
  PrintMessage(MSG_PROGRESS_EMPTY);
  g_bar.filled = 0;
}

void AdvanceProgress(uint64_t produced, uint32_t size) {
  float target = ProgressTarget(produced, size);
  if (!(static_cast<float>(g_bar.filled) < target)) return;
  do {
    PrintMessage(MSG_PROGRESS_CELL);
    ++g_bar.filled;
  } while (static_cast<float>(g_bar.filled) <= target && g_bar.filled < kProgressCells);
}

void FinishProgress() {
  while (g_bar.filled < kProgressCells) {
    PrintMessage(MSG_PROGRESS_CELL);
    ++g_bar.filled;
  }
}

int ProgressCount() { return g_bar.filled; }

uint64_t NextCellDue(uint32_t size) {
  if (g_bar.filled >= kProgressCells || size == 0) return UINT64_MAX;
  // The target never falls as produced grows, so the first produced value
  // whose target passes the count is found by bisection over 1..size.
  uint64_t low = 1, high = size;
  float count = static_cast<float>(g_bar.filled);
  if (!(count < ProgressTarget(high, size))) return UINT64_MAX;
  while (low < high) {
    uint64_t middle = low + (high - low) / 2;
    if (count < ProgressTarget(middle, size)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}
