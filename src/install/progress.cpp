#include "install/progress.h"

#include "console/console.h"

namespace {

struct ProgressBar {
  int filled;   // cells printed (or, muted, counted) so far, 0..25
  bool muted;   // cells are counted, not printed
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

int CellsAfterLiteral(int filled, uint64_t produced, uint32_t size) {
  float target = ProgressTarget(produced, size);
  if (!(static_cast<float>(filled) < target)) return filled;
  do {
    ++filled;
  } while (static_cast<float>(filled) <= target && filled < kProgressCells);
  return filled;
}

uint64_t NextCellDue(int filled, uint32_t size) {
  if (filled >= kProgressCells || size == 0) return UINT64_MAX;
  // The target never falls as produced grows, and at produced == size it is
  // 25, above any count that is not full: bisect 1..size for the first
  // produced whose target passes the count.
  float count = static_cast<float>(filled);
  uint64_t low = 1, high = size;
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

void MuteProgress(bool muted) { g_bar.muted = muted; }

void StartProgress() {
  if (!g_bar.muted) PrintMessage(MSG_PROGRESS_EMPTY);
  g_bar.filled = 0;
}

void AdvanceProgress(uint64_t produced, uint32_t size) {
  int filled = CellsAfterLiteral(g_bar.filled, produced, size);
  for (; g_bar.filled < filled; ++g_bar.filled) {
    if (!g_bar.muted) PrintMessage(MSG_PROGRESS_CELL);
  }
}

void FinishProgress() {
  for (; g_bar.filled < kProgressCells; ++g_bar.filled) {
    if (!g_bar.muted) PrintMessage(MSG_PROGRESS_CELL);
  }
}

int ProgressCount() { return g_bar.filled; }
