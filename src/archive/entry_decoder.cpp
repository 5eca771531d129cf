// The fast decoder: the same items, bytes, writes, progress calls and final
// position as the plain decoder (linear_decoder.cpp), found through the
// lookup table (lookup_table.h) instead of a search of the rows.
//
// Input state, kept in locals while an entry is decoded:
//   next      index of the next window byte not yet taken into bits
//   bits      the next bits of the stream, left-aligned (the top bit is next)
//   count     how many of them are valid
//   past_end  how many of the lowest valid bits lie past the end of the
//             file: they were supplied as zeros, so the hot loop needs no end
//             test; consuming into them (count < past_end) is an overrun.
// The bit buffer is one machine word: 64 bits where the target has 64-bit
// registers, 32 where it has 32-bit ones, which would otherwise spend a
// register pair and a shift sequence on every code. A refill takes a word of
// bytes from the window in one load when they are there; otherwise the
// reader loads more blocks (it may drop passed bytes, so the state is handed
// back and taken up again), or the file has ended and zeros are supplied.
// The rare items that need a whole 32-bit code (the candidates' test, long
// runs) are decoded on a 64-bit view of the same state on either target. On
// return the position goes back to the reader, so the next entry record is
// read from the right bit.
#include "archive/entry_decoder.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include <emmintrin.h>

#include "archive/archive_reader.h"

namespace {

// The word follows the target's registers. The fuzz targets also build the
// decoder with UPDATER_DECODER_WORD_BITS=32 on a 64-bit host, so that the
// 32-bit target's buffer runs under the sanitizers too.
#if defined(UPDATER_DECODER_WORD_BITS) && UPDATER_DECODER_WORD_BITS == 32
using BitWord = uint32_t;
#else
using BitWord = std::conditional_t<(sizeof(void*) >= 8), uint64_t, uint32_t>;
#endif
constexpr int kWordBits = 8 * sizeof(BitWord);
constexpr int kRefillAheadBits = 8 * 32;  // window bits wanted past the position on a slow refill
constexpr int kCodeBits = 32;             // bits the careful path needs: the longest code
constexpr int kFullBits = kWordBits - 8;  // bits a refill leaves at least (whole bytes)
constexpr int kHotSteps = kFullBits / kLookupBits;  // lookups per refill on the hot path
// Bits the hot path wants before an item that is not first-level literals.
constexpr int kHotItemBits = kCodeBits < kFullBits ? kCodeBits : kFullBits;
constexpr int kLiteralStore = 4;  // bytes one hot lookup stores: its literals and repeats
constexpr int kRunStore = 16;     // bytes one store of a short run writes (an SSE2 register)
static_assert(kLiteralStore == kMaxLiteralsPerEntry, "one store of an entry's literal bytes");
static_assert(kLookupBits + kSubBits + 8 <= kCodeBits,
              "a second-level escape and its count byte fit a careful refill");
static_assert(kLookupBits + kSubBits <= kHotItemBits,
              "the hot path's second-level lookup has its bits after a refill");
static_assert((kWordBits & (kWordBits - 1)) == 0 && kFullBits == kWordBits - 8,
              "count |= kFullBits adds whole bytes only for a power-of-two word less a byte");
static_assert(kFullBits - (kHotSteps - 1) * kLookupBits >= kLookupBits,
              "every hot step must find kLookupBits valid bits");

// The input state with a 64-bit buffer, on every target: the slow refills
// and the careful path work on it.
struct FastStream {
  size_t next;    // next window byte to take
  uint64_t bits;  // left-aligned bit buffer
  int count;      // valid bits in bits
  int past_end;   // zero bits supplied past the end of the file
};

// The state with the target's word as its buffer: the hot loop's.
struct WordStream {
  size_t next;   // next window byte to take
  BitWord bits;  // left-aligned bit buffer
  int count;     // valid bits in bits, below kWordBits
  int past_end;  // zero bits supplied past the end of the file
};

FastStream Widen(const WordStream& s) {
  return FastStream{s.next, static_cast<uint64_t>(s.bits) << (64 - kWordBits), s.count,
                    s.past_end};
}

// The same stream in a word: whole bytes that do not fit are given back to
// the window (their bits are the stream's own, so a later load ORs the same
// bits over what stays of them).
WordStream Narrow(const FastStream& s) {
  if constexpr (kWordBits == 64) {
    return WordStream{s.next, static_cast<BitWord>(s.bits), s.count, s.past_end};
  } else {
    int give_back = s.count < kWordBits ? 0 : (s.count - kWordBits) / 8 + 1;
    int past_end = s.past_end - 8 * give_back;
    return WordStream{s.next - give_back, static_cast<BitWord>(s.bits >> (64 - kWordBits)),
                      s.count - 8 * give_back, past_end > 0 ? past_end : 0};
  }
}

// The window's next bytes as a big-endian word of Word's width.
template <typename Word>
Word LoadBigEndian(const uint8_t* bytes) {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(Word) == 8) word = __builtin_bswap64(word);
    if constexpr (sizeof(Word) == 4) word = __builtin_bswap32(word);
  }
  return word;
}

// Tops the buffer up to (width - 8)..(width - 1) valid bits from one load of
// a word of bytes, which must be there, and returns how many whole bytes it
// took: as many as fit. The bits of the next byte that also land below count
// are that byte's own, so the next load ORs the same bits over them.
template <typename Word>
size_t RefillFrom(const uint8_t* bytes, Word* bits, int* count) {
  constexpr int kWidth = 8 * sizeof(Word);
  *bits |= LoadBigEndian<Word>(bytes) >> *count;
  size_t taken = static_cast<size_t>((kWidth - 1 - *count) >> 3);
  *count |= kWidth - 8;
  return taken;
}

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

// Takes bytes one at a time until 56 to 63 bits are valid (the fast refill
// shifts by the count, so it must stay below 64); past the window's bytes
// (only after the end of the file) they are zeros.
void TakeBytes(const BitReader* reader, FastStream* s) {
  while (s->count < 56) {
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
  // A short run's stores may pass its end by up to kRunStore - 1 bytes.
  uint64_t room = kOutputBufferSize - kGroupBytes - (kRunStore - 1);
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
  WordStream in = Narrow(start);
  size_t next = in.next;
  BitWord bits = in.bits;
  int count = in.count;
  int past_end = in.past_end;
  size_t window_bytes = reader->window_bytes;
  const uint8_t* window = reader->window;

  // Takes the state up from a 64-bit view (the careful path's, a slow refill's).
  auto TakeUp = [&](const FastStream& wide) {
    WordStream narrow = Narrow(wide);
    next = narrow.next;
    bits = narrow.bits;
    count = narrow.count;
    past_end = narrow.past_end;
  };
  auto RefillWide = [&](FastStream* wide) {
    if (wide->next + 8 <= window_bytes) {
      wide->next += RefillFrom(window + wide->next, &wide->bits, &wide->count);
      return;
    }
    RefillSlowly(reader, wide);
    window_bytes = reader->window_bytes;
  };

  uint8_t* buffer = BufferBeingFilled(sink, out);
  uint32_t fill = 0;
  uint64_t produced = 0;
  bool have_literal = false;
  uint8_t previous = 0;
  DecodeResult result = kDecodeDone;
  while (produced < size) {
    // Hot groups: a refill, then kHotSteps lookups of one to four literals
    // each, with no branch but the one that leaves, while no flush, progress
    // report, end of entry or end of file is near. Each lookup uses at most
    // kLookupBits bits, so one refill serves the group. A run with a
    // one-byte count and a literal decided by a second-level table are
    // taken here too when they fit. Output and produced move together here,
    // so one bound on the output stands for the buffer's room and the hot
    // limit; near the end of the file (zeros supplied) the careful path
    // checks every item instead. The hot path keeps pointers into the output
    // and the window (fewer live values: the 32-bit target has few registers)
    // and hands them back as fill and next.
    uint8_t* const hot_start = buffer + fill;
    uint8_t* const group_end = buffer + HotGroupLimit(fill, produced, hot_limit, past_end);
    uint8_t* store = hot_start;
    const uint8_t* in = window + next;
    const uint8_t* const in_end = window + window_bytes;
    constexpr ptrdiff_t kWordBytes = sizeof(BitWord);
    // Consumes a first-level entry of literals and stores all its bytes at
    // once (the bound in force leaves room for them).
    auto TakeLiterals = [&](EntryHalves entry) {
      bits <<= entry.low & (kWordBits - 1);
      count -= EntryLength(entry);
      uint32_t literal_bytes = EntryLiteralBytes(entry);
      std::memcpy(store, &literal_bytes, kLiteralStore);
      store += EntryLiterals(entry);
    };
    while (store < group_end) {
      if (in_end - in < kWordBytes) break;  // the careful path loads more
      in += RefillFrom(in, &bits, &count);
      EntryHalves entry = {0, 0};
      int step = 0;
      for (; step < kHotSteps; ++step) {
        entry = ReadEntry(entries + (bits >> (kWordBits - kLookupBits)));
        if (EntryLiterals(entry) == 0) break;
        TakeLiterals(entry);
      }
      if (step == kHotSteps) continue;
      // Not literals of the first level: the rest needs more of a code's bits.
      if (count < kHotItemBits) {
        if (in_end - in < kWordBytes) break;
        in += RefillFrom(in, &bits, &count);
      }
      if (EntryKind(entry) == kItemSub) {
        entry = ReadEntry(sub + EntrySubStart(entry) +
                          ((bits << kLookupBits) >> (kWordBits - EntrySubBits(entry))));
        if (EntryKind(entry) == kItemLiterals) {  // one literal, its whole code in the entry
          bits <<= EntryLength(entry);
          count -= EntryLength(entry);
          *store++ = EntryByte(entry, 0);
          continue;
        }
      }
      if (EntryKind(entry) != kItemEscape || (store == hot_start && !have_literal)) break;
      // The count byte follows the escape (at most kLookupBits + kSubBits
      // bits: with a 32-bit buffer they may not all be there); a short run
      // that keeps within the group limit is stored 16 bytes at a time (SSE2).
      if (kLookupBits + kSubBits + 8 > kHotItemBits && EntryLength(entry) + 8 > count) break;
      BitWord after = bits << EntryLength(entry);
      uint32_t run = static_cast<uint32_t>(after >> (kWordBits - 8));
      if (run == kRunCountMore || static_cast<ptrdiff_t>(run) > group_end - store) break;
      uint8_t byte = store != hot_start ? store[-1] : previous;
      const __m128i pattern = _mm_set1_epi8(static_cast<char>(byte));
      for (uint32_t i = 0; i < run; i += kRunStore)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(store + i), pattern);
      store += run;
      bits = after << 8;
      count -= EntryLength(entry) + 8;
    }
    // Then single lookups, each with its own bound, up to the last few
    // bytes of the buffer (a group's bound stops a whole group short).
    uint8_t* const step_end =
        buffer + HotStepLimit(static_cast<uint32_t>(store - buffer),
                              produced + static_cast<uint64_t>(store - hot_start), hot_limit,
                              past_end);
    while (store < step_end) {
      if (count < kLookupBits) {
        if (in_end - in < kWordBytes) break;
        in += RefillFrom(in, &bits, &count);
      }
      EntryHalves entry = ReadEntry(entries + (bits >> (kWordBits - kLookupBits)));
      if (EntryLiterals(entry) == 0) break;
      TakeLiterals(entry);
    }
    next = static_cast<size_t>(in - window);
    fill = static_cast<uint32_t>(store - buffer);
    if (store != hot_start) {
      produced += static_cast<uint64_t>(store - hot_start);
      previous = store[-1];
      have_literal = true;
      if (produced >= size) break;
    }

    // One item the careful way, on the 64-bit view: it may need a whole
    // code's bits. It also loads more of the file when the hot path has run
    // out of window.
    FastStream wide = Widen(WordStream{next, bits, count, past_end});
    if (wide.count < kCodeBits || wide.next + 8 > window_bytes) RefillWide(&wide);
    EntryHalves entry = ReadEntry(entries + (wide.bits >> (64 - kLookupBits)));
    if (EntryKind(entry) == kItemSub)
      entry = ReadEntry(sub + EntrySubStart(entry) +
                        ((wide.bits << kLookupBits) >> (64 - EntrySubBits(entry))));
    int kind = EntryKind(entry);
    int length = kind == kItemLiterals ? EntryFirstLength(entry) : EntryLength(entry);
    uint8_t symbol = EntryByte(entry, 0);
    if (kind == kItemScan) {
      int code_index = ScanCandidates(table, scan + scan_start[wide.bits >> (64 - kLookupBits)],
                                      static_cast<uint32_t>(wide.bits >> 32));
      kind = code_index < 0               ? kItemNoMatch
             : code_index == kEscapeIndex ? kItemEscape
                                          : kItemLiterals;
      if (code_index >= 0) length = table.lengths[code_index];
      if (kind == kItemLiterals) symbol = table.symbols[code_index];
    }
    if (kind == kItemNoMatch || (kind == kItemEscape && !have_literal)) {
      result = kDecodeFailed;
      TakeUp(wide);
      goto finish;
    }
    wide.bits <<= length;
    wide.count -= length;
    if (wide.count < wide.past_end) {
      result = kDecodeFailed;
      TakeUp(wide);
      goto finish;
    }
    if (kind == kItemEscape) {
      uint64_t run = 0;
      for (;;) {
        if (wide.count < 8) RefillWide(&wide);
        uint8_t byte = static_cast<uint8_t>(wide.bits >> 56);
        wide.bits <<= 8;
        wide.count -= 8;
        if (wide.count < wide.past_end) {
          result = kDecodeFailed;
          TakeUp(wide);
          goto finish;
        }
        if (byte != kRunCountMore) {
          run += byte;
          break;
        }
        run += kRunCountStep;
      }
      TakeUp(wide);
      produced += run;
      fill = StoreRun(calls, &buffer, fill, previous, run);
      continue;
    }
    TakeUp(wide);
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
