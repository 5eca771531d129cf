// The archive's bit stream: MSB-first, no alignment, read front to back in
// 1024-byte blocks into two alternating slots.
//
// Every read peeks first and the caller then consumes exactly the bits it
// used: need, look, act, drop. A peek may run past the end of the file (its
// bits there read as 0); consuming past the end marks the reader overrun,
// which the callers turn into a decoding failure.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kSlotSize = 1024;

// Where blocks come from: the platform's file, or memory (tests, fuzzing,
// the archive tool). Returns the number of bytes delivered, 0 at the end.
using BlockSource = size_t (*)(void* context, uint8_t* destination, size_t count);

struct BitReader {
  // blocks
  uint8_t slots[2][kSlotSize];  // block n always lives in slot n % 2
  int32_t slot_bytes[2];        // bytes the last load into each slot delivered
  int32_t blocks_loaded;        // blocks read so far = number of the next block
  int32_t blocks_consumed;      // blocks the position has moved past
  // position
  int32_t bit_position;         // bits from the start of the current slot
  // end of input
  uint64_t bits_consumed;       // total bits consumed since the reset
  uint64_t bits_available;      // total bits in the file, once its end is seen
  bool end_seen;                // a load delivered fewer than kSlotSize bytes
  bool overrun;                 // something consumed bits past the end
  // source
  BlockSource source;
  void* source_context;
};

// Sets position and block counters to 0 and clears the end-of-input state.
void ResetReader();
// Attaches the block source that LoadBlock reads from.
void AttachBlockSource(BlockSource source, void* context);
// Reads up to 1024 bytes into slot n % 2 and counts the block as loaded.
void LoadBlock(int32_t n);
// Copies the next n bits (MSB first) into destination, zeroing its
// (n + 7) / 8 bytes first. Does not move the position.
void PeekBits(int n, uint8_t* destination);
// The next n bits (0..32) left-aligned in a 32-bit word, low bits 0.
uint32_t PeekWord(int n);
// Moves the position n bits on; marks the reader overrun when that passes
// the end of the file.
void ConsumeBits(int n);
// PeekBits(8) then ConsumeBits(8).
uint8_t ReadByte();
// True once any consume went past the end of the file.
bool ReaderOverrun();

// The reader's state, for the decoder's fast path and for tests.
BitReader& CurrentReader();
