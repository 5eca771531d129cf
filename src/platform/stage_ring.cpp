// The ring that staged files are written through: the part both platform
// sides share. See stage_ring.h.
#include "platform/stage_ring.h"

#include <cstdlib>

#include "platform/fault_injection.h"

StageRing g_stage_ring;

namespace {

// Writes one piece unless its file already failed, which it marks on a
// failure: its later pieces are skipped.
void WritePiece(const StagePiece& piece, const uint8_t* bytes) {
  if (IsBehindFailed(piece.output)) return;
  if (!WriteStagePiece(piece.output, bytes, piece.size)) MarkBehindFailed(piece.output);
}

// Queues the slice being filled (when it holds anything) for the writer.
void HandOverSlice() {
  StageRing& ring = g_stage_ring;
  PlatformOutput output = ring.current;
  size_t fill = ring.fill;
  ring.current = nullptr;
  ring.fill = 0;
  if (output == nullptr || fill == 0) return;
  LockStageRing();
  int slot = static_cast<int>(ring.queued % kStageSlices);
  ring.pieces[slot] = {output, fill};
  StagedPartOf(output)->staged_end = ++ring.queued;
  WakeStageWaiters();
  UnlockStageRing();
  if (ring.threaded) return;
  WritePiece(ring.pieces[slot], ring.memory + slot * kStageSliceSize);
  LockStageRing();
  ++ring.written;
  UnlockStageRing();
}

}  // namespace

bool IsBehindFailed(PlatformOutput output) {
  return __atomic_load_n(&StagedPartOf(output)->behind_failed, __ATOMIC_ACQUIRE) != 0;
}

void MarkBehindFailed(PlatformOutput output) {
  __atomic_store_n(&StagedPartOf(output)->behind_failed, 1, __ATOMIC_RELEASE);
}

// The writer thread: writes the queued pieces in order until it is stopped
// with nothing left.
void RunStageWriter() {
  StageRing& ring = g_stage_ring;
  LockStageRing();
  for (;;) {
    while (ring.written == ring.queued && !ring.stopping) WaitForStageChange();
    if (ring.written == ring.queued) break;
    int slot = static_cast<int>(ring.written % kStageSlices);
    StagePiece piece = ring.pieces[slot];
    UnlockStageRing();
    WritePiece(piece, ring.memory + slot * kStageSliceSize);
    LockStageRing();
    ++ring.written;
    WakeStageWaiters();
  }
  UnlockStageRing();
}

// Asks for the slices and the writer once; false when there is no memory
// (nothing is staged then).
bool StartStageRing() {
  StageRing& ring = g_stage_ring;
  if (ring.started) return ring.memory != nullptr;
  ring.started = true;
  ring.memory = static_cast<uint8_t*>(std::malloc(kStageSlices * kStageSliceSize));
  if (ring.memory == nullptr) return false;
  ring.threaded = StartStageThread();
  return true;
}

// Waits until the writer has written (or skipped) every queued piece of
// output; the output's slice being filled, if any, is dropped.
void WaitForStageWriter(PlatformOutput output) {
  StageRing& ring = g_stage_ring;
  if (ring.current == output) {
    ring.current = nullptr;
    ring.fill = 0;
  }
  LockStageRing();
  while (ring.written < StagedPartOf(output)->staged_end) WaitForStageChange();
  UnlockStageRing();
}

// Lets the writer finish what is queued and end; true when there was a
// thread to end (the caller then waits for it).
bool StopStageRing() {
  if (!g_stage_ring.threaded) return false;
  LockStageRing();
  g_stage_ring.stopping = true;
  WakeStageWaiters();
  UnlockStageRing();
  g_stage_ring.threaded = false;
  return true;
}

uint8_t* PlatformStagePlace(PlatformOutput output) {
  StageRing& ring = g_stage_ring;
  if (ring.current != output) {
    HandOverSlice();
    ring.current = output;
  }
  uint64_t slot = ring.queued % kStageSlices;
  if (ring.fill == 0) {
    LockStageRing();
    while (ring.queued - ring.written >= kStageSlices) WaitForStageChange();
    UnlockStageRing();
  }
  return ring.memory + slot * kStageSliceSize + ring.fill;
}

void PlatformStageBytes(PlatformOutput output, size_t count) {
  StageRing& ring = g_stage_ring;
  if (ring.current != output) return;
  ring.fill += count;
  if (kStageSliceSize - ring.fill < kStagePlaceRoom) HandOverSlice();
}

void PlatformFinishStaging(PlatformOutput output) {
  if (g_stage_ring.current == output) HandOverSlice();
}

bool PlatformTakeUpStagedFile(PlatformOutput) { return !InjectFault(kFaultCreateTemp); }
