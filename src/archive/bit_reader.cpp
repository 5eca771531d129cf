// The archive's bit stream over a window of file bytes. See bit_reader.h.
#include "archive/bit_reader.h"

#include <cstring>

namespace {

// The byte at index of the window, or 0 past the file bytes it holds (the
// position may stand beyond them after an overrun).
uint8_t WindowByte(const BitReader* reader, size_t index) {
  return index < reader->window_bytes ? reader->window[index] : 0;
}

// Drops the bytes in front of the one the position is in, so that blocks can
// be appended. Called by FillWindow only when the window is full.
void DropPassedBytes(BitReader* reader) {
  size_t drop = reader->bit_position / 8;
  if (drop > reader->window_bytes) drop = reader->window_bytes;
  std::memmove(reader->window, reader->window + drop, reader->window_bytes - drop);
  reader->window_bytes -= drop;
  reader->bit_position -= drop * 8;
  reader->window_origin += static_cast<uint64_t>(drop) * 8;
  std::memset(reader->window + reader->window_bytes, 0, kWindowPad);
}

// Appends the next block to the window and counts it as loaded. The caller
// guarantees room for a whole block. A short read, or no source at all,
// marks the end of the file; nothing is read after that. Called by
// FillWindow only.
void LoadBlock(BitReader* reader) {
  size_t delivered = 0;
  if (!reader->end_seen && reader->source != nullptr) {
    delivered =
        reader->source(reader->source_context, reader->window + reader->window_bytes, kSlotSize);
    if (delivered > static_cast<size_t>(kSlotSize)) delivered = kSlotSize;
  }
  reader->window_bytes += delivered;
  std::memset(reader->window + reader->window_bytes, 0, kWindowPad);
  ++reader->blocks_loaded;
  if (delivered < static_cast<size_t>(kSlotSize)) reader->end_seen = true;
}

}  // namespace

void StartBitReader(BitReader* reader, BlockSource source, void* context) {
  reader->window_bytes = 0;
  reader->window_origin = 0;
  reader->blocks_loaded = 0;
  reader->bit_position = 0;
  reader->end_seen = false;
  reader->overrun = false;
  std::memset(reader->window, 0, kWindowPad);
  reader->source = source;
  reader->source_context = context;
}

// Loads blocks until the next bits bits after the position are in the
// window or the file has ended.
void FillWindow(BitReader* reader, int bits) {
  while (!reader->end_seen &&
         reader->bit_position + static_cast<size_t>(bits) > reader->window_bytes * 8) {
    if (reader->window_bytes + kSlotSize > kWindowSize) DropPassedBytes(reader);
    if (reader->window_bytes + kSlotSize > kWindowSize) return;  // bits beyond any peek
    LoadBlock(reader);
  }
}

// Copies n bits from the position into destination, a byte at a time: each
// output byte is the window's byte under the position shifted left, topped
// up from the byte after it.
void PeekBits(BitReader* reader, int n, uint8_t* destination) {
  if (n <= 0) return;
  FillWindow(reader, n);
  size_t first = reader->bit_position / 8;
  int shift = static_cast<int>(reader->bit_position % 8);
  int out_bytes = (n + 7) / 8;
  for (int i = 0; i < out_bytes; ++i) {
    unsigned pair = (static_cast<unsigned>(WindowByte(reader, first + i)) << 8) |
                    WindowByte(reader, first + i + 1);
    destination[i] = static_cast<uint8_t>(pair >> (8 - shift));
  }
  if (n % 8 != 0) destination[out_bytes - 1] &= static_cast<uint8_t>(0xFF00u >> (n % 8));
}

uint32_t PeekWord(BitReader* reader, int n) {
  if (n <= 0) return 0;
  uint8_t bytes[4] = {0, 0, 0, 0};
  PeekBits(reader, n, bytes);
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

// Consuming never needs the bits themselves, but it must know whether the
// file holds them: past the window, load on until they are there or the end
// has been seen.
void ConsumeBits(BitReader* reader, int n) {
  reader->bit_position += static_cast<size_t>(n);
  FillWindow(reader, 0);
  if (reader->end_seen && reader->bit_position > reader->window_bytes * 8) {
    reader->overrun = true;
  }
}

uint8_t ReadByte(BitReader* reader) {
  uint8_t byte = 0;
  PeekBits(reader, 8, &byte);
  ConsumeBits(reader, 8);
  return byte;
}

uint64_t ReaderBitPosition(const BitReader* reader) {
  return reader->window_origin + reader->bit_position;
}

void SetReaderBitPosition(BitReader* reader, uint64_t position) {
  reader->bit_position = static_cast<size_t>(position - reader->window_origin);
  ConsumeBits(reader, 0);
}
