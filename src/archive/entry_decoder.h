// Entry records and the decoding of their data: literals (one code per byte)
// and runs (the escape and a count that repeats the previous literal).
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/format.h"

struct ArchiveReader;

constexpr int kMaxNameLength = kMaxTextLength;
// The decoder's output buffer: it hands over 1024 bytes at a time.
constexpr size_t kOutputBufferSize = 1024;

struct EntryHeader {
  char name[kMaxNameLength + 1];  // the file name, NUL-terminated
  int32_t modification_time;      // seconds since 1970-01-01 00:00:00 UTC
  uint8_t kind;                   // the kind letter (B, I, S, W in either case)
  uint32_t size;                  // bytes the data decodes to
};

// Reads the next entry record's header from reader: name, reserved field,
// time, kind and size. False when the file ends inside it.
bool ReadEntryHeader(ArchiveReader* reader, EntryHeader* header);

// Where decoded bytes go. The decoder fills its 1024-byte buffer and hands
// over each full buffer; after a literal it reports progress when produced
// has reached progress_due (the callee moves progress_due on, UINT64_MAX for
// never). The bytes left in the buffer at the end stay there for the caller's
// final write.
struct DecodeSink {
  void (*write_buffer)(void* context, const uint8_t* bytes, size_t count);
  void (*literal_progress)(void* context, uint64_t produced);
  uint64_t progress_due;
  void* context;
  // Where the buffer being filled lies: 1024 bytes of the caller's, or
  // nullptr for the output's own buffer. write_buffer may move it on, so
  // that bytes are decoded straight into memory the caller keeps; the bytes
  // left at the end are where it points then.
  uint8_t* store_at = nullptr;
};

struct DecodeOutput {
  uint8_t buffer[kOutputBufferSize];  // bytes waiting to be written
  uint32_t fill;                      // bytes in buffer, 0..1023 between items
  uint64_t produced;                  // bytes produced so far (runs included)
};

enum DecodeResult {
  kDecodeDone,    // produced reached the entry's size
  kDecodeFailed,  // no code matched, a run came before any literal, or the
                  // data ran past the end of the file
};

// Where the decoder stores the buffer it is filling: the sink's store_at, or
// the output's own buffer when there is none.
uint8_t* BufferBeingFilled(const DecodeSink* sink, DecodeOutput* out);

// Decodes one entry's data from reader until size bytes are produced (a run may carry
// produced past size; its bytes are all stored). sink may be null or have
// null callbacks (a skipped entry: bytes are dropped). Writes of full buffers
// happen in the order the bytes were produced; at the end, and on failure,
// out->fill bytes are still waiting in the buffer being filled.
// Uses the lookup table built by the header parser.
DecodeResult DecodeEntryData(ArchiveReader* reader, uint32_t size, DecodeSink* sink,
                             DecodeOutput* out);

// The same, done the plain way: one peek of the longest code's width per
// item, the escape tested first, then every row in table order. Slow; it is
// the reference that the fast decoder must match bit for bit (tests, fuzzing,
// the benchmark). Results, writes, progress calls and the reader's final
// position are identical to DecodeEntryData's.
DecodeResult DecodeEntryDataLinear(ArchiveReader* reader, uint32_t size, DecodeSink* sink,
                                   DecodeOutput* out);

// Either decoder, for callers that run both (tests, fuzzing, the benchmark).
using DecodeFunction = DecodeResult (*)(ArchiveReader* reader, uint32_t size, DecodeSink* sink,
                                        DecodeOutput* out);
