// The ring that staged files are written through, shared by both platform
// sides (stage_ring.cpp; each side's output.cpp supplies what is its own).
//
// The decoding thread fills kStageSlices slices of kStageSliceSize bytes in
// turn, straight from the decoder, and queues each full one (or the last
// piece of a file) as a piece; a writer thread writes the queued pieces to
// their files in order. A slice is filled again only once its piece has been
// written. A file's pieces are done when the writer has written as many
// pieces as were queued up to its last one (its staged_end). Without a
// thread the pieces are written as they are queued.
//
// Each side supplies the lock, the wait and the wake-up, the thread and the
// write of one piece (declared at the end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"

constexpr size_t kStageSliceSize = 256 * 1024;
constexpr int kStageSlices = 8;

// What the ring keeps of a staged file, in its side's output record.
struct StagedPart {
  bool staged;          // written behind by the stage writer
  int behind_failed;    // a write behind failed: set by the writer, read atomically
  uint64_t staged_end;  // the writer is done with it when it has written this many pieces
};

struct StagePiece {
  PlatformOutput output;
  size_t size;
};

// The ring itself (one per process, in stage_ring.cpp).
struct StageRing {
  uint8_t* memory;                  // kStageSlices slices
  StagePiece pieces[kStageSlices];  // the queued pieces, by slice
  uint64_t queued;                  // pieces handed over so far (under the lock)
  uint64_t written;                 // pieces the writer has finished (under the lock)
  bool stopping;                    // the writer ends once all is written (under the lock)
  // the decoding thread's own
  PlatformOutput current;  // whose bytes the slice being filled holds
  size_t fill;             // bytes in it
  bool started;            // memory (and the thread) asked for
  bool threaded;           // a writer thread runs
};

// ---- each side's own (output.cpp) ----
StagedPart* StagedPartOf(PlatformOutput output);
void LockStageRing();
void UnlockStageRing();
// Waits for a change of the counts; the lock is held before and after.
void WaitForStageChange();
void WakeStageWaiters();
// Starts a thread that runs RunStageWriter; false when none could start.
bool StartStageThread();
// Writes one piece to its file, starting its write-back where the system
// offers that; false when the write failed.
bool WriteStagePiece(PlatformOutput output, const uint8_t* bytes, size_t size);

// ---- shared (stage_ring.cpp) ----

extern StageRing g_stage_ring;

bool IsBehindFailed(PlatformOutput output);
void MarkBehindFailed(PlatformOutput output);
// The writer thread's work: writes the queued pieces in order until it is
// stopped with nothing left.
void RunStageWriter();
// Asks for the slices and the writer once; false when there is no memory
// (nothing is staged then).
bool StartStageRing();
// Waits until the writer has written (or skipped) every queued piece of
// output; the output's slice being filled, if any, is dropped.
void WaitForStageWriter(PlatformOutput output);
// Lets the writer finish what is queued and end; true when there was a
// thread to end (the caller then waits for it).
bool StopStageRing();
