// The 25-cell progress bar of an entry that is written.
//
// At each literal the bar's target is produced * 25 / size, divided in double
// precision and stored as a float; cells are printed while the count is below
// the target, so a printing step leaves the count at min(25, whole part + 1).
// The decoder asks only at the literal where the next cell is due
// (NextCellDue), which prints exactly what asking at every literal would.
#pragma once

#include <cstdint>

constexpr int kProgressCells = 25;

// While muted, the bar counts its cells without printing them (an entry
// whose file may turn out up to date shows its bar only once it has).
void MuteProgress(bool muted);

// Prints the empty row and sets the count of filled cells to 0.
void StartProgress();
// One step at a literal: prints the cells due at produced of size.
void AdvanceProgress(uint64_t produced, uint32_t size);
// Prints the cells still missing, one print call each.
void FinishProgress();
// The count of filled cells printed so far.
int ProgressCount();

// The rule itself, without printing: the count of filled cells after a
// literal at produced of size, when filled cells were there before.
int CellsAfterLiteral(int filled, uint64_t produced, uint32_t size);
// The smallest produced value at which a literal would raise filled;
// UINT64_MAX when the bar is full.
uint64_t NextCellDue(int filled, uint32_t size);
// The target for produced of size (exposed for tests).
float ProgressTarget(uint64_t produced, uint32_t size);
