// The header parser: the worked example, table sizes, long headers, bad
// code lengths, truncation and reopening.
#include "archive/archive_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "sample_archive.h"
#include "support/bit_writer.h"

namespace {

ArchiveReader g_reader;
const ArchiveHeader& g_header = g_reader.header;

OpenResult OpenWritten(const BitWriter& w) {
  return OpenArchiveInMemory(&g_reader, w.bytes.data(), w.bytes.size());
}

TEST(ArchiveHeader, WorkedExample) {
  ASSERT_EQ(OpenArchiveInMemory(&g_reader, kSampleArchive.data(), kSampleArchive.size()),
            kArchiveOpened);
  const ArchiveHeader& header = g_header;
  const CodeTable& t = header.table;
  ASSERT_EQ(t.symbol_count, 3);
  EXPECT_EQ(t.symbols[0], 0x41);
  EXPECT_EQ(t.lengths[0], 1);
  EXPECT_EQ(t.codes[0], 0x00000000u);
  EXPECT_EQ(t.symbols[1], 0x42);
  EXPECT_EQ(t.lengths[1], 2);
  EXPECT_EQ(t.codes[1], 0x80000000u);
  EXPECT_EQ(t.symbols[2], 0x0A);
  EXPECT_EQ(t.lengths[2], 3);
  EXPECT_EQ(t.codes[2], 0xC0000000u);
  EXPECT_EQ(t.lengths[kEscapeIndex], 3);
  EXPECT_EQ(t.codes[kEscapeIndex], 0xE0000000u);
  EXPECT_EQ(t.max_length, 3);
  EXPECT_STREQ(header.version, "1.01");
  EXPECT_EQ(header.entry_count, 1);
  EXPECT_EQ(ReaderBitPosition(&g_reader.bits), 121u);
  // The header's 15 bytes plus the one that holds the entry count's last bit.
  EXPECT_EQ(OpenArchiveInMemory(&g_reader, kSampleArchive.data(), 16), kArchiveOpened);
  EXPECT_EQ(OpenArchiveInMemory(&g_reader, kSampleArchive.data(), 15), kArchiveBadHeader);
}

TEST(ArchiveHeader, LengthMasks) {
  EXPECT_EQ(LengthMask(1), 0x80000000u);
  EXPECT_EQ(LengthMask(2), 0xC0000000u);
  EXPECT_EQ(LengthMask(8), 0xFF000000u);
  EXPECT_EQ(LengthMask(31), 0xFFFFFFFEu);
  EXPECT_EQ(LengthMask(32), 0xFFFFFFFFu);
}

// One row; and 256 rows of 32-bit codes with the longest version string: a
// header of over 1.5 KiB read across block boundaries. The longest length,
// escape or row, is the max code length.
TEST(ArchiveHeader, TableSizesAndLongHeaders) {
  BitWriter one;
  PutHeader(one, {{'x', "0"}}, {0, "11111"}, "", 0);
  ASSERT_EQ(OpenWritten(one), kArchiveOpened);
  EXPECT_EQ(g_header.table.symbol_count, 1);
  EXPECT_EQ(g_header.table.max_length, 5);  // the escape is the longest
  EXPECT_STREQ(g_header.version, "");
  EXPECT_EQ(ReaderBitPosition(&g_reader.bits), one.bit_count);

  std::vector<TestCode> rows;
  for (int i = 0; i < 256; ++i) {
    std::string code;
    uint32_t value = 0x9E3779B9u * static_cast<uint32_t>(i + 1);
    for (int b = 31; b >= 0; --b) code += ((value >> b) & 1) ? '1' : '0';
    rows.push_back({static_cast<uint8_t>(255 - i), code});
  }
  std::string version(255, 'v');
  version[0] = '9';
  BitWriter big;
  PutHeader(big, rows, {0, "1"}, version, 255);
  ASSERT_GT(big.bytes.size(), 1024u + 255u);
  ASSERT_EQ(OpenWritten(big), kArchiveOpened);
  const CodeTable& t = g_header.table;
  ASSERT_EQ(t.symbol_count, 256);
  EXPECT_EQ(t.max_length, 32);  // a row is the longest
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(t.symbols[i], 255 - i);
    EXPECT_EQ(t.lengths[i], 32);
    EXPECT_EQ(t.codes[i], 0x9E3779B9u * static_cast<uint32_t>(i + 1));
  }
  EXPECT_EQ(std::string(g_header.version), version);
  EXPECT_EQ(g_header.entry_count, 255);
  EXPECT_EQ(ReaderBitPosition(&g_reader.bits), big.bit_count);
}

// A version string that starts in block 0 and ends in block 1.
TEST(ArchiveHeader, VersionAcrossTheFirstBlockEnd) {
  std::vector<TestCode> rows;
  for (int i = 0; i < 173; ++i)
    rows.push_back({static_cast<uint8_t>(i), "1010101010101010101010101010101"});
  BitWriter w;
  PutHeader(w, rows, {0, "0"}, "2.345.67", 7);
  uint64_t version_start = w.bit_count - 8 - 8 * 8;
  ASSERT_LT(version_start, 1024u * 8);
  ASSERT_GT(version_start + 8 * 8, 1024u * 8);
  ASSERT_EQ(OpenWritten(w), kArchiveOpened);
  EXPECT_STREQ(g_header.version, "2.345.67");
  EXPECT_EQ(g_header.entry_count, 7);
}

TEST(ArchiveHeader, CodeLengthsOutsideOneToThirtyTwoAreRejected) {
  std::string long_code(33, '1');
  struct Case {
    std::vector<TestCode> rows;
    TestCode escape;
  };
  std::vector<Case> cases = {
      {{{'a', "0"}}, {0, "", 0}},
      {{{'a', "0"}}, {0, long_code}},
      {{{'a', "0"}, {'b', "", 0}}, {0, "11"}},
      {{{'a', "0"}, {'b', long_code}}, {0, "11"}},
  };
  for (const Case& c : cases) {
    BitWriter w;
    PutHeader(w, c.rows, c.escape, "1.0", 1);
    PutEntryHeader(w, "f", 0, 'b', 0);
    EXPECT_EQ(OpenWritten(w), kArchiveBadHeader);
  }
  BitWriter edge;
  PutHeader(edge, {{'a', "0"}, {'b', std::string(32, '1')}}, {0, "10"}, "1.0", 0);
  EXPECT_EQ(OpenWritten(edge), kArchiveOpened);
}

TEST(ArchiveHeader, EveryTruncationOfTheHeaderIsRejected) {
  std::vector<TestCode> rows = {{'a', "0"}, {'b', "10"}, {'c', "110"}};
  BitWriter w;
  PutHeader(w, rows, {0, "111"}, "1.5", 3);
  for (size_t size = 0; size < w.bytes.size(); ++size) {
    EXPECT_EQ(OpenArchiveInMemory(&g_reader, w.bytes.data(), size), kArchiveBadHeader) << size;
  }
  EXPECT_EQ(OpenWritten(w), kArchiveOpened);
}

// The driver walks the archive once and opens it again for the real run;
// a second reader reads the same file side by side with the first.
TEST(ArchiveHeader, OpenFromAFileCloseAndReopen) {
  const char* name = "archive_header_test_reopen.z";
  EXPECT_EQ(OpenArchive(&g_reader, name), kArchiveMissing);
  std::FILE* f = std::fopen(name, "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(kSampleArchive.data(), 1, kSampleArchive.size(), f);
  std::fclose(f);
  ASSERT_EQ(OpenArchive(&g_reader, name), kArchiveOpened);
  ConsumeBits(&g_reader.bits, 8 * 30);
  static ArchiveReader second;
  ASSERT_EQ(OpenArchive(&second, name), kArchiveOpened);
  EXPECT_EQ(ReaderBitPosition(&second.bits), 121u);
  EXPECT_EQ(ReaderBitPosition(&g_reader.bits), 121u + 8 * 30);
  CloseArchive(&second);
  CloseArchive(&g_reader);
  CloseArchive(&g_reader);  // harmless twice
  ASSERT_EQ(OpenArchive(&g_reader, name), kArchiveOpened);
  EXPECT_EQ(ReaderBitPosition(&g_reader.bits), 121u);
  EXPECT_STREQ(g_header.version, "1.01");
  CloseArchive(&g_reader);
  // After closing, reads see the end of the file instead of a stale file.
  ConsumeBits(&g_reader.bits, 8 * 40);
  EXPECT_TRUE(g_reader.bits.overrun);
  std::remove(name);
}

}  // namespace
