// Damaged and hostile archives through the whole entry walk: every bit of a
// small archive flipped, every bit-level truncation, header fields at their
// limits, and a run that produces more than 4 GiB. Both decoders must agree
// on everything they hand out, keep their promises (no write past a buffer,
// the buffer's rest plus the writes make produced) and end in bounded time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_header.h"
#include "archive/bit_reader.h"
#include "archive/entry_decoder.h"
#include "sample_archive.h"
#include "support/bit_writer.h"
#include "support/decode_recorder.h"

namespace {

// The 37-byte sample archive: one entry a.txt holding 41 41 41 41 42 0A.
const std::vector<uint8_t>& kExample = kSampleArchive;

// Three entries over the example's table: literals, runs of every count
// shape, a zero-size entry and an entry that ends mid-byte.
std::vector<uint8_t> ThreeEntries() {
  BitWriter w;
  TestCode escape = {0, "111"};
  PutHeader(w, {{0x41, "0"}, {0x42, "10"}, {0x0A, "110"}}, escape, "1.01", 3);
  PutEntryHeader(w, "one", 1, 'i', 2 + 254 + 255 + 508);
  PutCode(w, "0");
  PutRun(w, escape, {0xFE});
  PutRun(w, escape, {0xFF, 0x01});
  PutRun(w, escape, {0xFF, 0xFF, 0x00});
  PutCode(w, "10");
  PutEntryHeader(w, "empty", 2, 'w', 0);
  PutEntryHeader(w, "two", 3, 'b', 3);
  PutCode(w, "110");
  PutRun(w, escape, {0x00});
  PutCode(w, "0");
  PutCode(w, "10");
  return w.bytes;
}

// Everything one walk of an archive gave: per entry the header and the
// decode's outcome, stopping at the first failure.
struct Walk {
  OpenResult opened = kArchiveMissing;
  std::vector<std::string> names;
  std::vector<DecodeOutcome> outcomes;
};

Walk WalkArchive(const std::vector<uint8_t>& bytes, DecodeFunction decode) {
  Walk walk;
  walk.opened = OpenArchiveInMemory(bytes.data(), bytes.size());
  if (walk.opened != kArchiveOpened) return walk;
  for (int i = 0; i < CurrentHeader().entry_count; ++i) {
    EntryHeader header;
    if (!ReadEntryHeader(&header)) {
      walk.names.push_back("<header past the end>");
      break;
    }
    EXPECT_LE(strlen(header.name), static_cast<size_t>(kMaxNameLength));
    walk.names.push_back(header.name);
    // Every fifth byte due for progress: reports fall between pairs of literals.
    DecodeOutcome outcome = RunDecode(decode, header.size, 5, 5);
    EXPECT_LT(outcome.fill, kOutputBufferSize);
    EXPECT_EQ(outcome.bytes.size(), outcome.produced);
    if (outcome.result == kDecodeDone) {
      EXPECT_GE(outcome.produced, header.size);
    }
    walk.outcomes.push_back(outcome);
    if (outcome.result != kDecodeDone) break;
  }
  CloseArchive();
  return walk;
}

void ExpectSameWalk(const std::vector<uint8_t>& bytes, const std::string& context) {
  Walk plain = WalkArchive(bytes, DecodeEntryDataLinear);
  Walk fast = WalkArchive(bytes, DecodeEntryData);
  ASSERT_EQ(plain.opened, fast.opened) << context;
  ASSERT_EQ(plain.names, fast.names) << context;
  ASSERT_EQ(plain.outcomes.size(), fast.outcomes.size()) << context;
  for (size_t i = 0; i < plain.outcomes.size(); ++i) {
    const DecodeOutcome& a = plain.outcomes[i];
    const DecodeOutcome& b = fast.outcomes[i];
    EXPECT_EQ(a.result, b.result) << context << ", entry " << i;
    EXPECT_EQ(a.bytes, b.bytes) << context << ", entry " << i;
    EXPECT_EQ(a.events, b.events) << context << ", entry " << i;
    EXPECT_EQ(a.end_bit, b.end_bit) << context << ", entry " << i;
    EXPECT_EQ(a.overrun, b.overrun) << context << ", entry " << i;
  }
}

std::vector<uint8_t> FlipBit(std::vector<uint8_t> bytes, size_t bit) {
  bytes[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
  return bytes;
}

// The first bits bits, the rest of the last byte zero.
std::vector<uint8_t> TruncateBits(const std::vector<uint8_t>& bytes, size_t bits) {
  std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>((bits + 7) / 8));
  if (bits % 8 != 0) cut.back() &= static_cast<uint8_t>(0xFF00 >> (bits % 8));
  return cut;
}

TEST(HostileArchive, EveryBitFlipOfTheExampleDecodesAlikeInBothDecoders) {
  for (size_t bit = 0; bit < 8 * kExample.size(); ++bit) {
    ExpectSameWalk(FlipBit(kExample, bit), "bit " + std::to_string(bit));
  }
}

TEST(HostileArchive, EveryBitFlipOfAThreeEntryArchiveDecodesAlike) {
  std::vector<uint8_t> archive = ThreeEntries();
  ExpectSameWalk(archive, "intact");
  Walk intact = WalkArchive(archive, DecodeEntryData);
  ASSERT_EQ(intact.outcomes.size(), 3u);
  EXPECT_EQ(intact.outcomes[0].produced, 2u + 254 + 255 + 508);
  EXPECT_EQ(intact.outcomes[2].bytes, (std::vector<uint8_t>{0x0A, 0x41, 0x42}));
  for (size_t bit = 0; bit < 8 * archive.size(); ++bit) {
    ExpectSameWalk(FlipBit(archive, bit), "bit " + std::to_string(bit));
  }
}

// A cut inside a byte leaves the rest of that byte zero, and zero bits may
// well decode (a size of 0, a literal with an all-zero code): such a file
// may succeed, but both decoders must read it alike. A file cut at a byte
// boundary before the last item's end always fails.
TEST(HostileArchive, EveryBitTruncationFailsOrDecodesAlike) {
  std::vector<uint8_t> archive = ThreeEntries();
  for (size_t bits = 0; bits < 8 * archive.size(); ++bits) {
    std::vector<uint8_t> cut = TruncateBits(archive, bits);
    ExpectSameWalk(cut, "cut at bit " + std::to_string(bits));
    if (bits % 8 != 0 || cut.size() == archive.size()) continue;
    Walk walk = WalkArchive(cut, DecodeEntryData);
    bool failed = walk.opened != kArchiveOpened || walk.names.size() < 3 ||
                  walk.names.back() == "<header past the end>" ||
                  walk.outcomes.back().result == kDecodeFailed;
    EXPECT_TRUE(failed) << "a shorter file decoded whole, cut at bit " << bits;
  }
}

// Names and the version at 255 bytes, cut in the middle of the name: the
// header read fails without writing past the 256-byte name buffer.
TEST(HostileArchive, LongestTextsCutInTheMiddle) {
  BitWriter w;
  PutHeader(w, {{0x41, "0"}}, TestCode{0, "1"}, std::string(255, 'v'), 2);
  PutEntryHeader(w, std::string(255, 'n'), 1, 'i', 1);
  PutCode(w, "0");
  PutEntryHeader(w, std::string(255, 'm'), 1, 'i', 1);
  PutCode(w, "0");
  ExpectSameWalk(w.bytes, "whole");
  Walk whole = WalkArchive(w.bytes, DecodeEntryData);
  ASSERT_EQ(whole.names.size(), 2u);
  EXPECT_EQ(whole.names[1], std::string(255, 'm'));
  std::vector<uint8_t> cut(w.bytes.begin(), w.bytes.end() - 100);
  Walk walk = WalkArchive(cut, DecodeEntryData);
  ASSERT_EQ(walk.names.size(), 2u);
  EXPECT_EQ(walk.names[1], "<header past the end>");
}

// A run of 254 * 17,000,000 copies: produced passes 2^32 and is counted
// whole, the entry's 32-bit size notwithstanding, and the work is a few
// memory fills per count byte.
TEST(HostileArchive, RunOfMoreThanFourGibibytesIsCountedWhole) {
  constexpr uint64_t kCountBytes = 17000000;
  BitWriter w;
  PutHeader(w, {{0x41, "0"}}, TestCode{0, "1"}, "1.01", 1);
  PutEntryHeader(w, "huge", 1, 'i', 2);
  PutCode(w, "0");
  PutCode(w, "1");
  // The count: kCountBytes bytes of 0xFF (8 * kCountBytes one bits) and a
  // final 0, appended a byte at a time rather than a bit at a time.
  std::vector<uint8_t> bytes = w.bytes;
  int shift = static_cast<int>(w.bit_count % 8);
  ASSERT_NE(shift, 0);
  bytes.back() |= static_cast<uint8_t>(0xFF >> shift);
  bytes.insert(bytes.end(), kCountBytes - 1, 0xFF);
  bytes.push_back(static_cast<uint8_t>(0xFF << (8 - shift)));
  bytes.push_back(0x00);
  ASSERT_EQ(OpenArchiveInMemory(bytes.data(), bytes.size()), kArchiveOpened);
  EntryHeader header;
  ASSERT_TRUE(ReadEntryHeader(&header));
  static DecodeOutput output;
  DecodeSink skip = {nullptr, nullptr, UINT64_MAX, nullptr};
  ASSERT_EQ(DecodeEntryData(header.size, &skip, &output), kDecodeDone);
  EXPECT_EQ(output.produced, 1 + 254 * kCountBytes);
  EXPECT_GT(output.produced, UINT64_C(0xFFFFFFFF));
  EXPECT_EQ(output.fill, output.produced % kOutputBufferSize);
  EXPECT_FALSE(ReaderOverrun());
  CloseArchive();
}

}  // namespace
