// The entry walk shared by the fuzz targets: open an archive held in memory,
// then read every entry's header and decode its data with a given decoder,
// recording everything the decoder hands out so that two walks can be
// compared byte for byte.
//
// Every invariant the decoders promise their callers is checked here and a
// broken one aborts, so that libFuzzer keeps the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/archive_header.h"
#include "archive/bit_reader.h"
#include "archive/entry_decoder.h"

namespace fuzz {

using Decoder = DecodeResult (*)(uint32_t size, DecodeSink* sink, DecodeOutput* out);

// What one entry's decoding gave.
struct EntryRecord {
  bool header_ok;                     // ReadEntryHeader succeeded
  EntryHeader header;                 // its fields
  DecodeResult result;                // the decoder's result
  uint64_t produced;                  // bytes produced
  uint32_t fill;                      // bytes left in the output buffer
  std::vector<uint8_t> written;       // every full buffer handed to the sink, in order
  std::vector<uint8_t> rest;          // the first fill bytes of the output buffer
  std::vector<uint64_t> progress;     // produced at each progress call
  uint64_t end_position;              // reader bit position after the entry
  bool overrun;                       // the reader's overrun mark after the entry
};

// What a whole walk gave.
struct WalkRecord {
  OpenResult opened;
  uint16_t entry_count;
  std::vector<EntryRecord> entries;
};

[[noreturn]] inline void Broken(const char* what) {
  fprintf(stderr, "fuzz invariant broken: %s\n", what);
  abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) Broken(what);
}

// The sink's state: where full buffers go and how the next progress call is
// chosen. The rule for the next due count depends on produced and on a seed
// taken from the input, so the decoders meet calls due at every literal,
// rarely, and everything in between, as the progress bar makes them.
struct RecordingSink {
  DecodeSink sink;
  EntryRecord* record;
  uint32_t seed;  // 0: due at every literal
  // Decoding in place: the decoder fills these in turn, store_at moving on
  // after every full buffer.
  uint8_t places[2][kOutputBufferSize];
};

inline uint64_t NextDue(uint32_t seed, uint64_t produced) {
  if (seed == 0) return produced + 1;
  if (seed == 1) return UINT64_MAX;
  return produced + 1 + (produced * 2654435761u + seed) % (seed % 4093 + 1);
}

inline void RecordBuffer(void* context, const uint8_t* bytes, size_t count) {
  RecordingSink* sink = static_cast<RecordingSink*>(context);
  Check(count == kOutputBufferSize, "a full buffer write of other than 1024 bytes");
  sink->record->written.insert(sink->record->written.end(), bytes, bytes + count);
  if (sink->sink.store_at == nullptr) return;
  Check(bytes == sink->sink.store_at, "a full buffer handed over from elsewhere than store_at");
  sink->sink.store_at = sink->places[bytes == sink->places[0] ? 1 : 0];
}

inline void RecordProgress(void* context, uint64_t produced) {
  RecordingSink* sink = static_cast<RecordingSink*>(context);
  std::vector<uint64_t>& calls = sink->record->progress;
  Check(produced >= sink->sink.progress_due, "a progress call before it was due");
  Check(calls.empty() || produced > calls.back(), "progress calls not strictly increasing");
  calls.push_back(produced);
  sink->sink.progress_due = NextDue(sink->seed, produced);
}

// Checks what a decoder promises about one finished entry.
inline void CheckEntry(const EntryRecord& e) {
  Check(e.fill < kOutputBufferSize, "fill index at or past the buffer's end");
  Check(e.written.size() + e.fill == e.produced,
        "written bytes and the buffer's rest do not add up to produced");
  if (e.result == kDecodeDone) {
    Check(e.produced >= e.header.size, "decoding ended before the entry's size");
    Check(!e.overrun, "a finished entry with the reader overrun");
  }
  for (uint64_t p : e.progress) Check(p <= e.produced, "progress past produced");
}

// Opens bytes and walks every entry with decode. with_sink false hands the
// decoder no sink (a skipped entry); in_place has it store into the sink's
// places. Stops at the first failure.
inline void Walk(const uint8_t* bytes, size_t size, Decoder decode, bool with_sink, uint32_t seed,
                 WalkRecord* walk, bool in_place = false) {
  walk->opened = OpenArchiveInMemory(bytes, size);
  walk->entry_count = 0;
  walk->entries.clear();
  if (walk->opened != kArchiveOpened) {
    CloseArchive();
    return;
  }
  const ArchiveHeader& header = CurrentHeader();
  const CodeTable& table = header.table;
  Check(table.symbol_count >= 1 && table.symbol_count <= kMaxRows, "symbol count out of range");
  int longest = table.lengths[kEscapeIndex];
  for (int row = 0; row <= table.symbol_count; ++row) {
    int index = row == table.symbol_count ? kEscapeIndex : row;
    Check(table.lengths[index] >= 1 && table.lengths[index] <= kMaxCodeLength, "code length out of range");
    Check((table.codes[index] & ~LengthMask(table.lengths[index])) == 0, "code bits below its length");
    if (table.lengths[index] > longest) longest = table.lengths[index];
  }
  Check(table.max_length == longest, "max code length is not the longest code");
  Check(strlen(header.version) <= 255, "version string over 255 bytes");
  walk->entry_count = header.entry_count;

  static DecodeOutput out;
  for (int i = 0; i < header.entry_count; ++i) {
    walk->entries.emplace_back();
    EntryRecord& e = walk->entries.back();
    uint64_t start = ReaderBitPosition();
    e.header_ok = ReadEntryHeader(&e.header);
    if (!e.header_ok) break;
    Check(strlen(e.header.name) <= kMaxNameLength, "entry name over 255 bytes");
    // A name holds a NUL at most where it ends, so the header is at least
    // as long as its fields around the name's first strlen bytes.
    Check(ReaderBitPosition() >= start + 8 + 8 * strlen(e.header.name) + 104,
          "entry header shorter than its fields");
    RecordingSink sink = {{RecordBuffer, RecordProgress, NextDue(seed, 0), nullptr}, &e, seed, {}};
    sink.sink.context = &sink;
    memset(out.buffer, 0xA5, sizeof out.buffer);
    memset(sink.places, 0xA5, sizeof sink.places);
    if (with_sink && in_place) sink.sink.store_at = sink.places[0];
    e.result = decode(e.header.size, with_sink ? &sink.sink : nullptr, &out);
    e.produced = out.produced;
    e.fill = out.fill;
    const uint8_t* rest = sink.sink.store_at != nullptr ? sink.sink.store_at : out.buffer;
    if (e.fill < kOutputBufferSize) e.rest.assign(rest, rest + e.fill);
    e.end_position = ReaderBitPosition();
    e.overrun = ReaderOverrun();
    if (with_sink) CheckEntry(e);
    if (e.result != kDecodeDone) break;
  }
  CloseArchive();
}

// Aborts with what differs between two records of the same entry; compare
// bytes only when both had a sink.
inline void CompareEntries(const EntryRecord& a, const EntryRecord& b, bool bytes_too) {
  Check(a.header_ok == b.header_ok, "header results differ");
  if (!a.header_ok) return;
  Check(a.result == b.result, "decode results differ");
  Check(a.produced == b.produced, "produced counts differ");
  Check(a.fill == b.fill, "fill indexes differ");
  Check(a.end_position == b.end_position, "end bit positions differ");
  Check(a.overrun == b.overrun, "overrun marks differ");
  Check(a.rest == b.rest, "bytes left in the buffer differ");
  if (!bytes_too) return;
  Check(a.written == b.written, "written bytes differ");
  Check(a.progress == b.progress, "progress calls differ");
}

}  // namespace fuzz
