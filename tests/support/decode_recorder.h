// A decode sink for tests that records everything the decoder hands over:
// every full-buffer write (its bytes) and every progress report (produced),
// in order, so two decoders can be compared call for call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_header.h"
#include "archive/bit_reader.h"
#include "archive/entry_decoder.h"

struct DecodeRecord {
  std::vector<uint8_t> written;     // all bytes of the full-buffer writes
  std::vector<std::string> events;  // "write 1024" / "progress N", in order
  uint64_t progress_step = 1;       // progress_due moves this far past produced
  DecodeSink sink = {};
  // Decoding in place: the decoder fills these two buffers in turn, as the
  // sink moves store_at on after each write.
  uint8_t places[2][kOutputBufferSize];
};

inline void RecordWrite(void* context, const uint8_t* bytes, size_t count) {
  DecodeRecord* record = static_cast<DecodeRecord*>(context);
  record->written.insert(record->written.end(), bytes, bytes + count);
  record->events.push_back("write " + std::to_string(count));
  if (record->sink.store_at == nullptr) return;
  if (bytes != record->sink.store_at) record->events.push_back("write not from store_at");
  record->sink.store_at = record->places[bytes == record->places[0] ? 1 : 0];
}

inline void RecordProgress(void* context, uint64_t produced) {
  DecodeRecord* record = static_cast<DecodeRecord*>(context);
  record->events.push_back("progress " + std::to_string(produced));
  record->sink.progress_due = produced + record->progress_step;
}

// Points record's sink at itself; the first report is due after first_due
// bytes (UINT64_MAX: never).
inline DecodeSink* RecordingSink(DecodeRecord& record, uint64_t first_due = 1) {
  record.sink = DecodeSink{RecordWrite, RecordProgress, first_due, &record};
  return &record.sink;
}

// What one decode did, for comparing decoders.
struct DecodeOutcome {
  DecodeResult result = kDecodeFailed;
  std::vector<uint8_t> bytes;  // written bytes followed by the buffer's rest
  std::vector<std::string> events;
  uint64_t produced = 0;
  uint32_t fill = 0;
  uint64_t end_bit = 0;  // the reader's position afterwards
  bool overrun = false;
};

using DecodeFunction = DecodeResult (*)(uint32_t, DecodeSink*, DecodeOutput*);

// Runs decode on the open archive's next data of size bytes and collects
// the outcome; in_place has the decoder store into the record's places.
inline DecodeOutcome RunDecode(DecodeFunction decode, uint32_t size, uint64_t first_due = 1,
                               uint64_t progress_step = 1, bool in_place = false) {
  DecodeRecord record;
  record.progress_step = progress_step;
  static DecodeOutput output;
  DecodeOutcome outcome;
  DecodeSink* sink = RecordingSink(record, first_due);
  if (in_place) sink->store_at = record.places[0];
  outcome.result = decode(size, sink, &output);
  outcome.bytes = record.written;
  const uint8_t* rest = in_place ? record.sink.store_at : output.buffer;
  outcome.bytes.insert(outcome.bytes.end(), rest, rest + output.fill);
  outcome.events = record.events;
  outcome.produced = output.produced;
  outcome.fill = output.fill;
  outcome.end_bit = ReaderBitPosition();
  outcome.overrun = ReaderOverrun();
  return outcome;
}
