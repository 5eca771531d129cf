// The fast decoder: the same items, bytes, writes, progress calls and final
// position as the plain decoder (linear_decoder.cpp), found through the
// lookup table (lookup_table.h) instead of a search of the rows.
//
// Input state, kept in locals while an entry is decoded:
//   next      index of the next window byte not yet taken into bits
//   bits      the next bits of the stream, left-aligned (bit 63 is next)
//   count     how many of them are valid
//   past_end  how many of the lowest valid bits lie past the end of the
//             file: they were supplied as zeros, so the hot loop needs no end
//             test; consuming into them (count < past_end) is an overrun.
// A refill takes 8 bytes from the window in one load when they are there;
// otherwise the reader loads more blocks (it may drop passed bytes, so the
// state is handed back and taken up again), or the file has ended and zeros
// are supplied. On return the position goes back to the reader, so the next
// entry record is read from the right bit.
#include "archive/entry_decoder.h"

#include <bit>
#include <cstring>

#include "archive/archive_reader.h"

namespace {

constexpr int kRefillAheadBits = 8 * 32;  // window bits wanted past the position on a slow refill
constexpr int kCodeBits = 32;             // bits the careful path needs: the longest code
constexpr int kFullBits = 56;             // bits a refill leaves at least (7 whole bytes)
constexpr int kHotSteps = 4;              // lookups per refill on the hot path
constexpr int kLiteralStore = 4;          // bytes one hot lookup stores: its literals and repeats
static_assert(kLiteralStore == kMaxLiteralsPerEntry, "one store of an entry's literal bytes");
static_assert(kLookupBits + kSubBits + 8 <= kCodeBits,
              "a second-level escape and its count byte fit a careful refill");
static_assert(kFullBits == 56, "count |= kFullBits adds whole bytes only when it is 56");
static_assert(kFullBits - (kHotSteps - 1) * kLookupBits >= kLookupBits,
              "every hot step must find kLookupBits valid bits");

struct FastStream {
  size_t next;    // next window byte to take
  uint64_t bits;  // left-aligned bit buffer
  int count;      // valid bits in bits
  int past_end;   // zero bits supplied past the end of the file
};

struct SinkCalls {
  void (*write_buffer)(void* context, const uint8_t* bytes, size_t count);
  void (*literal_progress)(void* context, uint64_t produced);
  void* context;
  const DecodeSink* sink;  // for where the next buffer lies (may be null)
  DecodeOutput* out;
};

// Hands the full buffer to the sink; returns where the next one lies.
uint8_t* HandOverFullBuffer(const SinkCalls& calls, uint8_t* buffer) {
  if (calls.write_buffer != nullptr) calls.write_buffer(calls.context, buffer, kOutputBufferSize);
  return BufferBeingFilled(calls.sink, calls.out);
}

// Takes bytes one at a time until kFullBits to 63 bits are valid (the fast
// refill shifts by the count, so it must stay below 64); past the window's
// bytes (only after the end of the file) they are zeros.
void TakeBytes(const BitReader* reader, FastStream* s) {
  while (s->count < kFullBits) {
    uint64_t byte = 0;
    if (s->next < reader->window_bytes) {
      byte = reader->window[s->next];
    } else {
      s->past_end += 8;
    }
    s->bits |= byte << (56 - s->count);
    s->count += 8;
    ++s->next;
  }
}

// Starts the buffer at the reader's position, after letting the reader load
// blocks so that at least kRefillAheadBits are in the window (unless the
// file ends first).
void StartAtReaderPosition(BitReader* reader, FastStream* s) {
  FillWindow(reader, kRefillAheadBits);
  size_t position = reader->bit_position;
  *s = FastStream{position / 8, 0, 0, 0};
  TakeBytes(reader, s);
  int skip = static_cast<int>(position % 8);
  s->bits <<= skip;
  s->count -= skip;
  TakeBytes(reader, s);
}

// The refill when 8 bytes are not in the window: hands the consumed
// position back to the reader and starts again from there, so the reader
// can load more. Once the end of the file is in the window, that cannot
// help, and zeros are supplied.
[[gnu::noinline]] void RefillSlowly(BitReader* reader, FastStream* s) {
  if (reader->end_seen) {
    TakeBytes(reader, s);
    return;
  }
  reader->bit_position = s->next * 8 - static_cast<size_t>(s->count);
  StartAtReaderPosition(reader, s);
}

// The first code in list (closed by kScanEnd) that matches word, as a row
// number or kEscapeIndex; -1 when none does.
int ScanCandidates(const CodeTable& table, const uint16_t* list, uint32_t word) {
  for (; *list != kScanEnd; ++list) {
    int code_index = *list;
    if ((word & LengthMask(table.lengths[code_index])) == table.codes[code_index])
      return code_index;
  }
  return -1;
}

// Stores count copies of byte from fill on, a chunk at a time, handing
// every full buffer to the sink. Returns the new fill; *buffer follows the
// buffer being filled.
uint32_t StoreRun(const SinkCalls& calls, uint8_t** buffer, uint32_t fill, uint8_t byte,
                  uint64_t count) {
  while (count > 0) {
    uint64_t room = kOutputBufferSize - fill;
    uint32_t chunk = static_cast<uint32_t>(count < room ? count : room);
    std::memset(*buffer + fill, byte, chunk);
    fill += chunk;
    count -= chunk;
    if (fill == kOutputBufferSize) {
      *buffer = HandOverFullBuffer(calls, *buffer);
      fill = 0;
    }
  }
  return fill;
}

// Several literals at once are allowed while produced stays below this
// limit by more than kMaxLiteralsPerEntry - 1: no literal but the last may
// end the entry, and none may be due for progress.
uint64_t HotLimit(uint32_t size, uint64_t progress_due) {
  uint64_t progress_limit = progress_due == 0 ? 0 : progress_due - 1;
  return size < progress_limit ? size : progress_limit;
}

// The fill index below which a whole hot group (kHotSteps lookup entries of
// literals, or a long literal, or a run up to the limit itself) may be
// stored: the buffer keeps room for all of them and their wide stores
// without filling up, and produced stays within hot_limit. 0 once zeros
// past the end of the file are in the bit buffer.
uint32_t HotGroupLimit(uint32_t fill, uint64_t produced, uint64_t hot_limit, int past_end) {
  constexpr uint64_t kGroupBytes = kHotSteps * kMaxLiteralsPerEntry;
  if (past_end > 0 || produced + kGroupBytes >= hot_limit) return 0;
  uint64_t limit = fill + (hot_limit - kGroupBytes - produced);
  // A run's eight-byte stores may pass its end by up to 7 bytes.
  uint64_t room = kOutputBufferSize - kGroupBytes - 7;
  return static_cast<uint32_t>(limit < room ? limit : room);
}

// The same bound for one lookup entry of literals at a time.
uint32_t HotStepLimit(uint32_t fill, uint64_t produced, uint64_t hot_limit, int past_end) {
  if (past_end > 0 || produced + kLiteralStore >= hot_limit) return 0;
  uint64_t limit = fill + (hot_limit - kLiteralStore - produced);
  uint64_t room = kOutputBufferSize - kLiteralStore;
  return static_cast<uint32_t>(limit < room ? limit : room);
}

}  // namespace

uint8_t* BufferBeingFilled(const DecodeSink* sink, DecodeOutput* out) {
  return sink != nullptr && sink->store_at != nullptr ? sink->store_at : out->buffer;
}

// Decodes until size bytes are produced. One lookup per item (two for a code
// longer than the first lookup's bits); up to four short literals are stored
// at once when no flush, progress report or end of entry falls between them;
// what the tables leave undecided tests only its candidates; short runs are
// stored eight bytes at a time, long ones a buffer chunk at a time.
// Failures match the plain decoder's exactly: no match or an early run
// (nothing of the item consumed), or an item that runs past the end.
DecodeResult DecodeEntryData(ArchiveReader* archive, uint32_t size, DecodeSink* sink,
                             DecodeOutput* out) {
  out->fill = 0;
  out->produced = 0;
  if (size == 0) return kDecodeDone;

  BitReader* reader = &archive->bits;
  const CodeTable& table = archive->header.table;
  const LookupEntry* entries = archive->lookup.entries;
  const LookupEntry* sub = archive->lookup.sub;
  const uint16_t* scan = archive->lookup.scan;
  const uint16_t* scan_start = archive->lookup.scan_start;
  SinkCalls calls = {nullptr, nullptr, nullptr, sink, out};
  if (sink != nullptr) {
    calls.write_buffer = sink->write_buffer;
    calls.literal_progress = sink->literal_progress;
    calls.context = sink->context;
  }
  uint64_t due = calls.literal_progress != nullptr ? sink->progress_due : UINT64_MAX;
  uint64_t hot_limit = HotLimit(size, due);

  FastStream start;
  StartAtReaderPosition(reader, &start);
  size_t next = start.next;
  uint64_t bits = start.bits;
  int count = start.count;
  int past_end = start.past_end;
  size_t window_bytes = reader->window_bytes;
  const uint8_t* window = reader->window;

  // Tops the buffer up to kFullBits..63 valid bits (zeros past the end of
  // the file count). The fast way loads 8 bytes and takes as many whole
  // bytes as fit; the bits of the next byte that also land below count are
  // that byte's own, so the next load ORs the same bits over them.
  auto RefillFast = [&]() {
    uint64_t word;
    std::memcpy(&word, window + next, 8);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    bits |= word >> count;
    next += (63 - count) >> 3;
    count |= kFullBits;
  };
  auto refill = [&]() {
    if (next + 8 <= window_bytes) {
      RefillFast();
      return;
    }
    FastStream s = {next, bits, count, past_end};
    RefillSlowly(reader, &s);
    next = s.next;
    bits = s.bits;
    count = s.count;
    past_end = s.past_end;
    window_bytes = reader->window_bytes;
  };

  uint8_t* buffer = BufferBeingFilled(sink, out);
  uint32_t fill = 0;
  uint64_t produced = 0;
  bool have_literal = false;
  uint8_t previous = 0;
  DecodeResult result = kDecodeDone;
  // Consumes a first-level entry of literals and stores all its bytes at
  // once (the bound in force leaves room for them).
  auto TakeLiterals = [&](LookupEntry entry) {
    bits <<= entry & 63;
    count -= EntryLength(entry);
    uint32_t literal_bytes = EntryLiteralBytes(entry);
    std::memcpy(buffer + fill, &literal_bytes, kLiteralStore);
    fill += EntryLiterals(entry);
  };
  while (produced < size) {
    // Hot groups: a refill, then kHotSteps lookups of one to four literals
    // each, with no branch but the one that leaves, while no flush, progress
    // report, end of entry or end of file is near. Each lookup uses at most
    // kLookupBits bits, so one refill serves the group. A run with a
    // one-byte count and a literal decided by a second-level table are
    // taken here too when they fit. fill and produced move together here,
    // so one bound on fill stands for the buffer's room and the hot limit;
    // near the end of the file (zeros supplied) the careful path checks
    // every item instead.
    uint32_t hot_start = fill;
    uint32_t group_limit = HotGroupLimit(fill, produced, hot_limit, past_end);
    while (fill < group_limit) {
      if (next + 8 <= window_bytes) {
        RefillFast();
      } else {
        refill();
        if (past_end > 0) break;
      }
      LookupEntry entry = 0;
      int step = 0;
      for (; step < kHotSteps; ++step) {
        entry = entries[bits >> (64 - kLookupBits)];
        if (EntryLiterals(entry) == 0) break;
        TakeLiterals(entry);
      }
      if (step == kHotSteps) continue;
      // Not literals of the first level: the rest needs a whole code's bits.
      if (count < kCodeBits) {
        if (next + 8 > window_bytes) break;
        RefillFast();
      }
      if (EntryKind(entry) == kItemSub) {
        entry = sub[EntrySubStart(entry) + ((bits << kLookupBits) >> (64 - EntrySubBits(entry)))];
        if (EntryKind(entry) == kItemLiterals) {  // one literal, its whole code in the entry
          bits <<= EntryLength(entry);
          count -= EntryLength(entry);
          buffer[fill++] = EntryByte(entry, 0);
          continue;
        }
      }
      if (EntryKind(entry) != kItemEscape || (fill == hot_start && !have_literal)) break;
      // The count byte follows the escape (at most kLookupBits + kSubBits
      // bits, so both are in the buffer); a short run that keeps within the
      // group limit is stored eight bytes at a time.
      uint64_t after = bits << EntryLength(entry);
      uint32_t run = static_cast<uint32_t>(after >> 56);
      if (run == kRunCountMore || fill + run > group_limit) break;
      uint8_t byte = fill != hot_start ? buffer[fill - 1] : previous;
      uint64_t pattern = byte * 0x0101010101010101ull;
      for (uint32_t i = 0; i < run; i += 8) std::memcpy(buffer + fill + i, &pattern, 8);
      fill += run;
      bits = after << 8;
      count -= EntryLength(entry) + 8;
    }
    // Then single lookups, each with its own bound, up to the last few
    // bytes of the buffer (a group's bound stops a whole group short).
    uint32_t step_limit =
        HotStepLimit(fill, produced + (fill - hot_start), hot_limit, past_end);
    while (fill < step_limit) {
      if (count < kLookupBits) {
        if (next + 8 > window_bytes) break;
        RefillFast();
      }
      LookupEntry entry = entries[bits >> (64 - kLookupBits)];
      if (EntryLiterals(entry) == 0) break;
      TakeLiterals(entry);
    }
    if (fill != hot_start) {
      produced += fill - hot_start;
      previous = buffer[fill - 1];
      have_literal = true;
      if (produced >= size) break;
    }

    // One item the careful way: it may need a whole code's bits.
    if (count < kCodeBits) refill();
    LookupEntry entry = entries[bits >> (64 - kLookupBits)];
    if (EntryKind(entry) == kItemSub)
      entry = sub[EntrySubStart(entry) + ((bits << kLookupBits) >> (64 - EntrySubBits(entry)))];
    int kind = EntryKind(entry);
    int length = kind == kItemLiterals ? EntryFirstLength(entry) : EntryLength(entry);
    uint8_t symbol = EntryByte(entry, 0);
    if (kind == kItemScan) {
      int code_index = ScanCandidates(table, scan + scan_start[bits >> (64 - kLookupBits)],
                                      static_cast<uint32_t>(bits >> 32));
      kind = code_index < 0               ? kItemNoMatch
             : code_index == kEscapeIndex ? kItemEscape
                                          : kItemLiterals;
      if (code_index >= 0) length = table.lengths[code_index];
      if (kind == kItemLiterals) symbol = table.symbols[code_index];
    }
    if (kind == kItemNoMatch || (kind == kItemEscape && !have_literal)) {
      result = kDecodeFailed;
      goto finish;
    }
    bits <<= length;
    count -= length;
    if (count < past_end) {
      result = kDecodeFailed;
      goto finish;
    }
    if (kind == kItemEscape) {
      uint64_t run = 0;
      for (;;) {
        if (count < 8) refill();
        uint8_t byte = static_cast<uint8_t>(bits >> 56);
        bits <<= 8;
        count -= 8;
        if (count < past_end) {
          result = kDecodeFailed;
          goto finish;
        }
        if (byte != kRunCountMore) {
          run += byte;
          break;
        }
        run += kRunCountStep;
      }
      produced += run;
      fill = StoreRun(calls, &buffer, fill, previous, run);
      continue;
    }
    previous = symbol;
    have_literal = true;
    buffer[fill++] = symbol;
    produced += 1;
    if (fill == kOutputBufferSize) {
      buffer = HandOverFullBuffer(calls, buffer);
      fill = 0;
    }
    if (produced >= due) {
      calls.literal_progress(calls.context, produced);
      due = sink->progress_due;
      hot_limit = HotLimit(size, due);
    }
  }
finish:
  out->fill = fill;
  out->produced = produced;
  SetReaderBitPosition(reader, reader->window_origin + next * 8 - static_cast<uint64_t>(count));
  return result;
}
