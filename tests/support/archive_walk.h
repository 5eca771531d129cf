// The entry walk and decode recorder shared by the unit tests and the fuzz
// targets: open an archive held in memory, read every entry's header and
// decode its data with a given decoder, recording everything the decoder
// hands out (the bytes, and every full-buffer write and progress report in
// order), so that two walks can be compared call for call.
//
// Every promise the reader and the decoders make their callers is checked
// on the way; a broken one is noted in the record (the unit tests expect
// none, the fuzz targets abort on one).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_reader.h"

// When the recording sink's progress reports fall due: first at first_due
// bytes (UINT64_MAX: never), then step bytes after each report; with a seed,
// after a stride that varies with produced and the seed instead, so that
// decoders meet reports due at every literal, rarely, and everything between,
// as the progress bar makes them.
struct ProgressRule {
  uint64_t first_due = 1;
  uint64_t step = 1;
  uint32_t seed = 0;
};

inline uint64_t NextDue(const ProgressRule& rule, uint64_t produced) {
  if (rule.seed == 0) return produced + rule.step;
  return produced + 1 + (produced * 2654435761u + rule.seed) % (rule.seed % 4093 + 1);
}

// In DecodeRecord::events: a full-buffer write. Any other value is a
// progress report and the produced count it was made with.
constexpr uint64_t kWriteEvent = UINT64_MAX;

// What one entry's decoding gave.
struct DecodeRecord {
  bool header_read = false;     // ReadEntryHeader succeeded (walks only)
  EntryHeader header = {};      // its fields
  DecodeResult result = kDecodeFailed;
  uint64_t produced = 0;        // bytes produced
  uint32_t fill = 0;            // bytes left in the buffer being filled
  std::vector<uint8_t> bytes;   // the full buffers handed over, then the buffer's rest
  std::vector<uint64_t> events; // kWriteEvent or a progress report's produced, in order
  uint64_t end_bit = 0;         // the reader's position afterwards
  bool overrun = false;         // the reader's overrun mark afterwards
};

struct RecordingSink {
  DecodeSink sink;
  DecodeRecord* record;
  ProgressRule rule;
  std::string* broken;  // the first broken promise, if any
  // Decoding in place: the decoder fills these in turn, store_at moving on
  // after every full buffer.
  uint8_t places[2][kOutputBufferSize];
};

inline void NoteBroken(std::string* broken, bool condition, const char* what) {
  if (!condition && broken->empty()) *broken = what;
}

inline void RecordWrite(void* context, const uint8_t* bytes, size_t count) {
  RecordingSink* sink = static_cast<RecordingSink*>(context);
  NoteBroken(sink->broken, count == kOutputBufferSize,
             "a full buffer write of other than 1024 bytes");
  sink->record->bytes.insert(sink->record->bytes.end(), bytes, bytes + count);
  sink->record->events.push_back(kWriteEvent);
  if (sink->sink.store_at == nullptr) return;
  NoteBroken(sink->broken, bytes == sink->sink.store_at,
             "a full buffer handed over from elsewhere than store_at");
  sink->sink.store_at = sink->places[bytes == sink->places[0] ? 1 : 0];
}

inline void RecordProgress(void* context, uint64_t produced) {
  RecordingSink* sink = static_cast<RecordingSink*>(context);
  NoteBroken(sink->broken, produced >= sink->sink.progress_due,
             "a progress call before it was due");
  sink->record->events.push_back(produced);
  sink->sink.progress_due = NextDue(sink->rule, produced);
}

struct WalkOptions {
  ProgressRule progress;   // when reports fall due
  bool with_sink = true;   // false: the decoder gets no sink (a skipped entry)
  bool in_place = false;   // the decoder stores into the sink's places
};

// Decodes the next size bytes of the archive open in reader with decode
// into a recording sink, and checks what the decoder promises about the
// finished entry. Notes the first broken promise in *broken.
inline DecodeRecord RecordDecode(ArchiveReader* reader, DecodeFunction decode, uint32_t size,
                                 const WalkOptions& options, std::string* broken) {
  DecodeRecord record;
  RecordingSink sink = {{RecordWrite, RecordProgress, options.progress.first_due, nullptr},
                        &record, options.progress, broken, {}};
  sink.sink.context = &sink;
  DecodeOutput out;
  std::memset(out.buffer, 0xA5, sizeof out.buffer);
  std::memset(sink.places, 0xA5, sizeof sink.places);
  if (options.with_sink && options.in_place) sink.sink.store_at = sink.places[0];
  record.result = decode(reader, size, options.with_sink ? &sink.sink : nullptr, &out);
  record.produced = out.produced;
  record.fill = out.fill;
  NoteBroken(broken, out.fill < kOutputBufferSize, "fill index at or past the buffer's end");
  const uint8_t* rest = sink.sink.store_at != nullptr ? sink.sink.store_at : out.buffer;
  if (out.fill < kOutputBufferSize) record.bytes.insert(record.bytes.end(), rest, rest + out.fill);
  record.end_bit = ReaderBitPosition(&reader->bits);
  record.overrun = reader->bits.overrun;
  if (!options.with_sink) return record;
  NoteBroken(broken, record.bytes.size() == record.produced,
             "written bytes and the buffer's rest do not add up to produced");
  if (record.result == kDecodeDone) {
    NoteBroken(broken, record.produced >= size, "decoding ended before the entry's size");
    NoteBroken(broken, !record.overrun, "a finished entry with the reader overrun");
  }
  uint64_t last = 0;
  for (uint64_t event : record.events) {
    if (event == kWriteEvent) continue;
    NoteBroken(broken, event <= record.produced, "progress past produced");
    NoteBroken(broken, event > last, "progress calls not strictly increasing");
    last = event;
  }
  return record;
}

// What a whole walk gave.
struct WalkRecord {
  OpenResult opened = kArchiveMissing;
  uint16_t entry_count = 0;
  std::vector<DecodeRecord> entries;  // up to the first failure
  std::string broken;                 // the first broken promise; empty when none
  bool intact = false;                // every entry decoded and FinishArchiveRead held
};

// Ends a walk that decoded every entry: the trailer's checks, then a second
// read of the same bytes, which must find them as intact as the first.
inline void FinishWalk(ArchiveReader* reader, WalkRecord* walk) {
  uint64_t end = ReaderBitPosition(&reader->bits);
  walk->intact = FinishArchiveRead(reader);
  if (walk->intact && reader->trailer.form == kTrailerFound) {
    NoteBroken(&walk->broken, end <= 8 * reader->trailer.offset && 8 * reader->trailer.offset - end < 8,
               "an intact archive whose entries do not end where its trailer begins");
  }
  if (ReadArchiveAgain(reader) != kArchiveOpened) {
    NoteBroken(&walk->broken, false, "an archive that opened does not open a second time");
    return;
  }
  for (int i = 0; i < reader->header.entry_count; ++i) {
    EntryHeader header;
    DecodeSink sink = {nullptr, nullptr, UINT64_MAX, nullptr};
    static DecodeOutput out;
    if (!ReadEntryHeader(reader, &header) || DecodeEntryData(reader, header.size, &sink, &out) != kDecodeDone) {
      NoteBroken(&walk->broken, false, "a second read of the same bytes does not decode");
      return;
    }
  }
  NoteBroken(&walk->broken, FinishArchiveRead(reader) == walk->intact,
             "a second read of the same bytes is judged otherwise");
}

// Checks what the header parser promises about the table it built.
inline void CheckHeader(const ArchiveHeader& header, std::string* broken) {
  const CodeTable& table = header.table;
  NoteBroken(broken, table.symbol_count >= 1 && table.symbol_count <= kMaxRows,
             "symbol count out of range");
  int longest = table.lengths[kEscapeIndex];
  for (int row = 0; row <= table.symbol_count; ++row) {
    int index = row == table.symbol_count ? kEscapeIndex : row;
    NoteBroken(broken, table.lengths[index] >= 1 && table.lengths[index] <= kMaxCodeLength,
               "code length out of range");
    NoteBroken(broken, (table.codes[index] & ~LengthMask(table.lengths[index])) == 0,
               "code bits below its length");
    if (table.lengths[index] > longest) longest = table.lengths[index];
  }
  NoteBroken(broken, table.max_length == longest, "max code length is not the longest code");
  NoteBroken(broken, strlen(header.version) <= kMaxTextLength, "version string over 255 bytes");
}

// Opens bytes in reader and walks every entry with decode, stopping at the
// first header that does not read or data that does not decode.
inline WalkRecord WalkArchive(ArchiveReader* reader, const uint8_t* bytes, size_t size,
                              DecodeFunction decode, const WalkOptions& options = {}) {
  WalkRecord walk;
  walk.opened = OpenArchiveInMemory(reader, bytes, size);
  if (walk.opened != kArchiveOpened) return walk;
  CheckHeader(reader->header, &walk.broken);
  walk.entry_count = reader->header.entry_count;
  for (int i = 0; i < walk.entry_count; ++i) {
    uint64_t start = ReaderBitPosition(&reader->bits);
    EntryHeader header;
    if (!ReadEntryHeader(reader, &header)) {
      walk.entries.emplace_back();
      break;
    }
    size_t name_length = strlen(header.name);
    NoteBroken(&walk.broken, name_length <= kMaxNameLength, "entry name over 255 bytes");
    // A name holds a NUL at most where it ends, so the record is at least
    // as long as its fields around the name's first name_length bytes.
    NoteBroken(&walk.broken,
               ReaderBitPosition(&reader->bits) >= start + kEntryFixedBits + 8 * name_length,
               "entry header shorter than its fields");
    walk.entries.push_back(RecordDecode(reader, decode, header.size, options, &walk.broken));
    walk.entries.back().header_read = true;
    walk.entries.back().header = header;
    if (walk.entries.back().result != kDecodeDone) break;
  }
  if (walk.entries.size() == walk.entry_count &&
      (walk.entries.empty() || walk.entries.back().result == kDecodeDone)) {
    FinishWalk(reader, &walk);
  }
  CloseArchive(reader);
  return walk;
}

inline WalkRecord WalkArchive(ArchiveReader* reader, const std::vector<uint8_t>& bytes,
                              DecodeFunction decode, const WalkOptions& options = {}) {
  return WalkArchive(reader, bytes.data(), bytes.size(), decode, options);
}

// The bytes left in the buffer at the end of a record's decode.
inline std::vector<uint8_t> BufferRest(const DecodeRecord& record) {
  size_t rest = record.fill < record.bytes.size() ? record.fill : record.bytes.size();
  return std::vector<uint8_t>(record.bytes.end() - static_cast<long>(rest), record.bytes.end());
}

// What differs between two records of the same entry ("" when nothing);
// with calls_too false (one decoder had no sink) only the bytes left in
// the buffer are compared, not the writes and reports.
inline std::string CompareEntries(const DecodeRecord& a, const DecodeRecord& b, bool calls_too) {
  if (a.header_read != b.header_read) return "header results differ";
  if (strcmp(a.header.name, b.header.name) != 0 || a.header.size != b.header.size ||
      a.header.kind != b.header.kind || a.header.modification_time != b.header.modification_time)
    return "entry headers differ";
  if (a.result != b.result) return "decode results differ";
  if (a.produced != b.produced) return "produced counts differ";
  if (a.fill != b.fill) return "fill indexes differ";
  if (a.end_bit != b.end_bit) return "end bit positions differ";
  if (a.overrun != b.overrun) return "overrun marks differ";
  if (BufferRest(a) != BufferRest(b)) return "bytes left in the buffer differ";
  if (!calls_too) return "";
  if (a.bytes != b.bytes) return "written bytes differ";
  if (a.events != b.events) return "writes and progress calls differ";
  return "";
}

// What differs between two walks of the same archive ("" when nothing).
inline std::string CompareWalks(const WalkRecord& a, const WalkRecord& b, bool calls_too = true) {
  if (a.opened != b.opened) return "open results differ";
  if (a.entry_count != b.entry_count) return "entry counts differ";
  if (a.entries.size() != b.entries.size()) return "walks stopped at different entries";
  for (size_t i = 0; i < a.entries.size(); ++i) {
    std::string difference = CompareEntries(a.entries[i], b.entries[i], calls_too);
    if (!difference.empty()) return "entry " + std::to_string(i) + ": " + difference;
  }
  return "";
}
