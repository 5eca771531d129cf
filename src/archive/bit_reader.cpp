// The archive's bit stream over a window of file bytes. See bit_reader.h.
#include "archive/bit_reader.h"

#include <cstring>

namespace {

BitReader g_reader;

// The byte at index of the window, or 0 past the file bytes it holds (the
// position may stand beyond them after an overrun).
uint8_t WindowByte(size_t index) {
  return index < g_reader.window_bytes ? g_reader.window[index] : 0;
}

// Drops the bytes in front of the one the position is in, so that blocks can
// be appended. Called by FillWindow only when the window is full.
void DropPassedBytes() {
  size_t drop = g_reader.bit_position / 8;
  if (drop > g_reader.window_bytes) drop = g_reader.window_bytes;
  std::memmove(g_reader.window, g_reader.window + drop, g_reader.window_bytes - drop);
  g_reader.window_bytes -= drop;
  g_reader.bit_position -= drop * 8;
  g_reader.window_origin += static_cast<uint64_t>(drop) * 8;
  std::memset(g_reader.window + g_reader.window_bytes, 0, kWindowPad);
}

}  // namespace

// Empties the window and forgets the position; keeps the source.
void ResetReader() {
  g_reader.window_bytes = 0;
  g_reader.window_origin = 0;
  g_reader.blocks_loaded = 0;
  g_reader.bit_position = 0;
  g_reader.end_seen = false;
  g_reader.overrun = false;
  std::memset(g_reader.window, 0, kWindowPad);
}

void AttachBlockSource(BlockSource source, void* context) {
  g_reader.source = source;
  g_reader.source_context = context;
}

// Appends block n (the next one) to the window. The caller guarantees room
// for a whole block. A short read, or no source at all, marks the end of the
// file; nothing is read after that.
void LoadBlock(int32_t n) {
  size_t delivered = 0;
  if (!g_reader.end_seen && g_reader.source != nullptr) {
    delivered = g_reader.source(g_reader.source_context, g_reader.window + g_reader.window_bytes,
                                kSlotSize);
    if (delivered > static_cast<size_t>(kSlotSize)) delivered = kSlotSize;
  }
  g_reader.window_bytes += delivered;
  std::memset(g_reader.window + g_reader.window_bytes, 0, kWindowPad);
  g_reader.blocks_loaded = n + 1;
  if (delivered < static_cast<size_t>(kSlotSize)) g_reader.end_seen = true;
}

// Loads blocks until the next bits bits after the position are in the
// window or the file has ended.
void FillWindow(int bits) {
  while (!g_reader.end_seen &&
         g_reader.bit_position + static_cast<size_t>(bits) > g_reader.window_bytes * 8) {
    if (g_reader.window_bytes + kSlotSize > kWindowSize) DropPassedBytes();
    if (g_reader.window_bytes + kSlotSize > kWindowSize) return;  // bits beyond any peek
    LoadBlock(g_reader.blocks_loaded);
  }
}

// Copies n bits from the position into destination, a byte at a time: each
// output byte is the window's byte under the position shifted left, topped
// up from the byte after it.
void PeekBits(int n, uint8_t* destination) {
  if (n <= 0) return;
  FillWindow(n);
  size_t first = g_reader.bit_position / 8;
  int shift = static_cast<int>(g_reader.bit_position % 8);
  int out_bytes = (n + 7) / 8;
  for (int i = 0; i < out_bytes; ++i) {
    unsigned pair = (static_cast<unsigned>(WindowByte(first + i)) << 8) | WindowByte(first + i + 1);
    destination[i] = static_cast<uint8_t>(pair >> (8 - shift));
  }
  if (n % 8 != 0) destination[out_bytes - 1] &= static_cast<uint8_t>(0xFF00u >> (n % 8));
}

uint32_t PeekWord(int n) {
  if (n <= 0) return 0;
  uint8_t bytes[4] = {0, 0, 0, 0};
  PeekBits(n, bytes);
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

// Consuming never needs the bits themselves, but it must know whether the
// file holds them: past the window, load on until they are there or the end
// has been seen.
void ConsumeBits(int n) {
  g_reader.bit_position += static_cast<size_t>(n);
  FillWindow(0);
  if (g_reader.end_seen && g_reader.bit_position > g_reader.window_bytes * 8) {
    g_reader.overrun = true;
  }
}

uint8_t ReadByte() {
  uint8_t byte = 0;
  PeekBits(8, &byte);
  ConsumeBits(8);
  return byte;
}

bool ReaderOverrun() { return g_reader.overrun; }

uint64_t ReaderBitPosition() { return g_reader.window_origin + g_reader.bit_position; }

void SetReaderBitPosition(uint64_t position) {
  g_reader.bit_position = static_cast<size_t>(position - g_reader.window_origin);
  ConsumeBits(0);
}

BitReader& CurrentReader() { return g_reader; }
