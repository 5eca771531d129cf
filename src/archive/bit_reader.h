// The archive's bit stream: MSB-first, no alignment, read front to back in
// 1024-byte blocks, each block read exactly once and in order, no seeking.
//
// The blocks land in one window of bytes: a field can run across the
// boundary between two blocks with no special handling, and the decoder's
// fast path can load 8 bytes at a time from it. When the window is full, the
// bytes the position has passed are dropped from its front before the next
// block is appended.
//
// Every read peeks first and the caller then consumes exactly the bits it
// used: need, look, act, drop. A peek may run past the end of the file (its
// bits there read as 0); consuming past the end marks the reader overrun,
// which the callers turn into a decoding failure.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kSlotSize = 1024;                 // bytes per block read
constexpr size_t kWindowSize = 16 * kSlotSize;  // bytes the window can hold
constexpr size_t kWindowPad = 8;                // zero bytes kept past the end
constexpr int kMaxPeekBits = 8 * 255;           // the longest peek: a 255-byte text
static_assert(kWindowSize >= 2 * kSlotSize + kMaxPeekBits / 8 + 1,
              "after dropping the passed bytes a block and the longest peek must fit");

// Where blocks come from: the platform's file, or memory (tests, fuzzing,
// the archive tool). Returns the number of bytes delivered, 0 at the end.
using BlockSource = size_t (*)(void* context, uint8_t* destination, size_t count);

struct BitReader {
  // window
  uint8_t window[kWindowSize + kWindowPad];  // file bytes; the bytes after window_bytes are 0
  size_t window_bytes;                       // file bytes held in window
  uint64_t window_origin;                    // file bit number of window[0]
  int32_t blocks_loaded;                     // blocks read so far = number of the next block
  // position
  size_t bit_position;  // read position, in bits from window[0]
  // end of input
  bool end_seen;  // a load delivered fewer than kSlotSize bytes
  bool overrun;   // something consumed bits past the end: the callers' failure
  // source
  BlockSource source;    // where blocks come from; nullptr reads as the end
  void* source_context;  // handed to source
};

// Every operation below works on the reader it is handed; the reader's
// owner (an ArchiveReader, or a test) keeps it between calls.

// Empties the window, puts the position and block counters at 0, clears the
// end-of-input state and attaches the block source that reads come from.
void StartBitReader(BitReader* reader, BlockSource source, void* context);
// Makes sure the window holds the next bits bits after the position (at most
// kMaxPeekBits + 64), loading blocks as needed, unless the end of the file
// comes first. Used by the peeks and by the decoder's fast path.
void FillWindow(BitReader* reader, int bits);
// Copies the next n bits (MSB first) into destination, zeroing its
// (n + 7) / 8 bytes first. Does not move the position. n is 0..kMaxPeekBits.
void PeekBits(BitReader* reader, int n, uint8_t* destination);
// The next n bits (0..32) left-aligned in a 32-bit word, low bits 0.
uint32_t PeekWord(BitReader* reader, int n);
// Moves the position n bits on; marks the reader overrun when that passes
// the end of the file.
void ConsumeBits(BitReader* reader, int n);
// PeekBits(8) then ConsumeBits(8).
uint8_t ReadByte(BitReader* reader);
// The read position in bits from the start of the file.
uint64_t ReaderBitPosition(const BitReader* reader);
// Puts the read position at file bit position (at or after the current
// window's start; the decoder's fast path hands its position back this way)
// and marks the reader overrun when that lies past the end of the file.
void SetReaderBitPosition(BitReader* reader, uint64_t position);
