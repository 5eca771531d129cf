// Damaged and hostile archives through the whole entry walk: every bit of a
// small archive flipped, every bit-level truncation, header fields at their
// limits, and a run that produces more than 4 GiB. Both decoders must agree
// on everything they hand out, keep their promises (no write past a buffer,
// the buffer's rest plus the writes make produced) and end in bounded time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sample_archive.h"
#include "support/archive_walk.h"
#include "support/bit_writer.h"

namespace {

// Three entries over the example's table: literals, runs of every count
// shape, a zero-size entry and an entry that ends mid-byte.
BitWriter ThreeEntries() {
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
  return w;
}

// One reader per decoder, side by side.
ArchiveReader g_plain_reader;
ArchiveReader g_fast_reader;

// Every fifth byte due for progress: reports fall between pairs of literals.
WalkRecord WalkFast(const std::vector<uint8_t>& bytes) {
  WalkRecord walk = WalkArchive(&g_fast_reader, bytes, DecodeEntryData, {{5, 5}});
  EXPECT_EQ(walk.broken, "");
  return walk;
}

void ExpectSameWalk(const std::vector<uint8_t>& bytes, const std::string& context) {
  WalkRecord plain = WalkArchive(&g_plain_reader, bytes, DecodeEntryDataLinear, {{5, 5}});
  WalkRecord fast = WalkFast(bytes);
  EXPECT_EQ(plain.broken, "") << context;
  EXPECT_EQ(CompareWalks(plain, fast), "") << context;
}

std::vector<uint8_t> FlipBit(std::vector<uint8_t> bytes, size_t bit) {
  bytes[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
  return bytes;
}

TEST(HostileArchive, EveryBitFlipOfTheExampleDecodesAlikeInBothDecoders) {
  for (size_t bit = 0; bit < 8 * kSampleArchive.size(); ++bit) {
    ExpectSameWalk(FlipBit(kSampleArchive, bit), "bit " + std::to_string(bit));
  }
}

TEST(HostileArchive, EveryBitFlipOfAThreeEntryArchiveDecodesAlike) {
  std::vector<uint8_t> archive = ThreeEntries().bytes;
  ExpectSameWalk(archive, "intact");
  WalkRecord intact = WalkFast(archive);
  ASSERT_EQ(intact.entries.size(), 3u);
  EXPECT_EQ(intact.entries[0].produced, 2u + 254 + 255 + 508);
  EXPECT_EQ(intact.entries[2].bytes, (std::vector<uint8_t>{0x0A, 0x41, 0x42}));
  for (size_t bit = 0; bit < 8 * archive.size(); ++bit) {
    ExpectSameWalk(FlipBit(archive, bit), "bit " + std::to_string(bit));
  }
}

// A cut inside a byte leaves the rest of that byte zero, and zero bits may
// well decode (a size of 0, a literal with an all-zero code): such a file
// may succeed, but both decoders must read it alike. A file cut at a byte
// boundary before the last item's end always fails.
TEST(HostileArchive, EveryBitTruncationFailsOrDecodesAlike) {
  BitWriter archive = ThreeEntries();
  for (size_t bits = 0; bits < 8 * archive.bytes.size(); ++bits) {
    BitWriter cut = archive;
    TruncateBits(cut, bits);
    ExpectSameWalk(cut.bytes, "cut at bit " + std::to_string(bits));
    if (bits % 8 != 0 || cut.bytes.size() == archive.bytes.size()) continue;
    WalkRecord walk = WalkFast(cut.bytes);
    bool failed = walk.opened != kArchiveOpened || walk.entries.size() < 3 ||
                  walk.entries.back().result == kDecodeFailed;
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
  WalkRecord whole = WalkFast(w.bytes);
  ASSERT_EQ(whole.entries.size(), 2u);
  EXPECT_EQ(whole.entries[1].header.name, std::string(255, 'm'));
  std::vector<uint8_t> cut(w.bytes.begin(), w.bytes.end() - 100);
  WalkRecord walk = WalkFast(cut);
  ASSERT_EQ(walk.entries.size(), 2u);
  EXPECT_FALSE(walk.entries[1].header_read);
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
  ArchiveReader* reader = &g_fast_reader;
  ASSERT_EQ(OpenArchiveInMemory(reader, bytes.data(), bytes.size()), kArchiveOpened);
  EntryHeader header;
  ASSERT_TRUE(ReadEntryHeader(reader, &header));
  static DecodeOutput output;
  DecodeSink skip = {nullptr, nullptr, UINT64_MAX, nullptr};
  ASSERT_EQ(DecodeEntryData(reader, header.size, &skip, &output), kDecodeDone);
  EXPECT_EQ(output.produced, 1 + 254 * kCountBytes);
  EXPECT_GT(output.produced, UINT64_C(0xFFFFFFFF));
  EXPECT_EQ(output.fill, output.produced % kOutputBufferSize);
  EXPECT_FALSE(reader->bits.overrun);
  CloseArchive(reader);
}

}  // namespace
