// The decode step both benchmark programs time. See decode_steps.h.
#include "decode_steps.h"

#include <cstring>

#include "archive/archive_reader.h"

namespace {

struct InPlace {
  DecodeSink* sink;  // whose store_at moves on
  size_t size;       // bytes decoded so far
};

void MoveOn(void* context, const uint8_t*, size_t count) {
  InPlace* place = static_cast<InPlace*>(context);
  place->size += count;
  place->sink->store_at += count;
}

}  // namespace

bool DecodeInto(const std::vector<uint8_t>& archive, DecodeFunction decode,
                const std::vector<uint8_t>& expected, std::vector<uint8_t>& out) {
  static ArchiveReader reader;
  if (OpenArchiveInMemory(&reader, archive.data(), archive.size()) != kArchiveOpened) return false;
  EntryHeader header;
  if (!ReadEntryHeader(&reader, &header)) return false;
  DecodeSink sink = {MoveOn, nullptr, UINT64_MAX, nullptr, out.data()};
  InPlace place = {&sink, 0};
  sink.context = &place;
  static DecodeOutput output;
  if (decode(&reader, header.size, &sink, &output) != kDecodeDone) return false;
  return place.size + output.fill == expected.size() &&
         std::memcmp(out.data(), expected.data(), expected.size()) == 0;
}
