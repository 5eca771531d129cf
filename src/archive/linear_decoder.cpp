// The plain decoder: one peek per item, the escape tested first, then a
// linear search of the rows in table order. It is the reference for the
// fast decoder (entry_decoder.cpp) and stays deliberately simple: no table,
// one byte stored at a time.
#include "archive/archive_reader.h"

namespace {

// Hands the full buffer to the sink (or drops it) and empties it.
void FlushFullBuffer(DecodeSink* sink, DecodeOutput* out) {
  if (sink != nullptr && sink->write_buffer != nullptr) {
    sink->write_buffer(sink->context, BufferBeingFilled(sink, out), kOutputBufferSize);
  }
  out->fill = 0;
}

// Stores one byte, flushing when it fills the buffer.
void StoreByte(DecodeSink* sink, DecodeOutput* out, uint8_t byte) {
  BufferBeingFilled(sink, out)[out->fill++] = byte;
  if (out->fill == kOutputBufferSize) FlushFullBuffer(sink, out);
}

// Reads a run count: 255 adds 254 and another byte follows, the first byte
// below 255 adds its value and ends it. False when it runs past the end.
bool ReadRunCount(BitReader* bits, uint64_t* count) {
  *count = 0;
  for (;;) {
    uint8_t byte = ReadByte(bits);
    if (bits->overrun) return false;
    if (byte != kRunCountMore) {
      *count += byte;
      return true;
    }
    *count += kRunCountStep;
  }
}

}  // namespace

// Each step: peek max_length bits; the escape is a run of the previous
// literal, else the first matching row is a literal. Fails, with nothing of
// the item consumed, when no code matches or a run comes before any literal;
// fails after consuming when the item runs past the end of the file.
DecodeResult DecodeEntryDataLinear(ArchiveReader* reader, uint32_t size, DecodeSink* sink,
                                   DecodeOutput* out) {
  BitReader* bits = &reader->bits;
  const CodeTable& table = reader->header.table;
  out->fill = 0;
  out->produced = 0;
  bool have_literal = false;
  uint8_t previous = 0;
  while (out->produced < size) {
    uint32_t word = PeekWord(bits, table.max_length);
    int escape_length = table.lengths[kEscapeIndex];
    if ((word & LengthMask(escape_length)) == table.codes[kEscapeIndex]) {
      if (!have_literal) return kDecodeFailed;
      ConsumeBits(bits, escape_length);
      if (bits->overrun) return kDecodeFailed;
      uint64_t count = 0;
      if (!ReadRunCount(bits, &count)) return kDecodeFailed;
      out->produced += count;
      for (uint64_t i = 0; i < count; ++i) StoreByte(sink, out, previous);
      continue;
    }
    int row = 0;
    while (row < table.symbol_count &&
           (word & LengthMask(table.lengths[row])) != table.codes[row]) {
      ++row;
    }
    if (row == table.symbol_count) return kDecodeFailed;
    ConsumeBits(bits, table.lengths[row]);
    if (bits->overrun) return kDecodeFailed;
    previous = table.symbols[row];
    have_literal = true;
    out->produced += 1;
    StoreByte(sink, out, previous);
    if (sink != nullptr && sink->literal_progress != nullptr &&
        out->produced >= sink->progress_due) {
      sink->literal_progress(sink->context, out->produced);
    }
  }
  return kDecodeDone;
}
