// Entry records and data decoding, run against both decoders: the worked
// example, run counts, code priority, buffer flushes, progress reports,
// failures and truncation.
#include "archive/entry_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sample_archive.h"
#include "support/archive_walk.h"
#include "support/bit_writer.h"

namespace {

const TestCode kA = {'a', "0"};
const TestCode kB = {'b', "10"};
const TestCode kEscape = {0, "11"};

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class Decoders : public ::testing::TestWithParam<DecodeFunction> {
 protected:
  // Opens w and reads the first entry header; returns its size.
  uint32_t OpenFirstEntry(const BitWriter& w) {
    EXPECT_EQ(OpenArchiveInMemory(&reader, w.bytes.data(), w.bytes.size()), kArchiveOpened);
    EntryHeader header;
    EXPECT_TRUE(ReadEntryHeader(&reader, &header));
    return header.size;
  }
  DecodeRecord Decode(uint32_t size, uint64_t first_due = 1, uint64_t step = 1) {
    return RecordDecode(&reader, GetParam(), size, {{first_due, step}}, &broken);
  }
  void TearDown() override { EXPECT_EQ(broken, ""); }

  ArchiveReader reader;
  std::string broken;  // a promise the decoder broke
};

TEST_P(Decoders, WorkedExample) {
  ASSERT_EQ(OpenArchiveInMemory(&reader, kSampleArchive.data(), kSampleArchive.size()),
            kArchiveOpened);
  EntryHeader header;
  ASSERT_TRUE(ReadEntryHeader(&reader, &header));
  EXPECT_STREQ(header.name, "a.txt");
  EXPECT_EQ(header.modification_time, 900000000);
  EXPECT_EQ(header.kind, 0x69);
  ASSERT_EQ(header.size, 6u);
  EXPECT_EQ(ReaderBitPosition(&reader.bits), 273u);
  DecodeRecord out = Decode(header.size);
  EXPECT_EQ(out.result, kDecodeDone);
  EXPECT_EQ(out.bytes, (std::vector<uint8_t>{0x41, 0x41, 0x41, 0x41, 0x42, 0x0A}));
  EXPECT_EQ(out.end_bit, 290u);
  // Literals report, the run does not.
  EXPECT_EQ(out.events, (std::vector<uint64_t>{1, 5, 6}));
}

TEST_P(Decoders, RunCounts) {
  struct Case {
    std::vector<uint8_t> count_bytes;
    uint32_t count;
  };
  std::vector<Case> cases = {{{0x00}, 0},
                             {{0x05}, 5},
                             {{0xFE}, 254},
                             {{0xFF, 0x00}, 254},
                             {{0xFF, 0x01}, 255},
                             {{0xFF, 0xFE}, 508},
                             {{0xFF, 0xFF, 0x00}, 508},
                             {{0xFF, 0xFF, 0x03}, 511}};
  for (const Case& c : cases) {
    BitWriter w;
    PutHeader(w, {kA, kB}, kEscape, "1", 1);
    PutEntryHeader(w, "f", 0, 'b', c.count + 2);
    PutCode(w, "0");
    PutRun(w, kEscape, c.count_bytes);
    PutCode(w, "10");
    DecodeRecord out = Decode(OpenFirstEntry(w));
    std::vector<uint8_t> expected(c.count + 1, 'a');
    expected.push_back('b');
    EXPECT_EQ(out.result, kDecodeDone) << c.count;
    EXPECT_EQ(out.bytes, expected) << c.count;
    EXPECT_EQ(out.end_bit, w.bit_count) << c.count;
  }
}

// The escape is tested before any row; rows in table order, first match
// wins, whatever comes later.
TEST_P(Decoders, CodePriority) {
  BitWriter w;
  PutHeader(w, {{'x', "01"}, {'y', "0"}, {'z', "01"}, {'b', "1"}, {'x', "001"}}, {0, "11"}, "1", 1);
  PutEntryHeader(w, "f", 0, 'b', 9);
  PutCode(w, "01");           // x, not z
  PutCode(w, "0");            // y, and not the longer "001" ...
  PutCode(w, "0");            // ... here either
  PutCode(w, "01");           // x
  PutRun(w, {0, "11"}, {3});  // the escape, though row b's "1" matches too
  PutCode(w, "1");            // b: "10" is no escape
  PutCode(w, "0");            // y
  DecodeRecord out = Decode(OpenFirstEntry(w));
  EXPECT_EQ(out.result, kDecodeDone);
  EXPECT_EQ(out.bytes, Bytes("xyyxxxxby"));
  EXPECT_EQ(out.end_bit, w.bit_count);
}

TEST_P(Decoders, FlushPointsAndRunsAcrossTheBufferEnd) {
  for (uint32_t size : {1023u, 1024u, 1025u}) {
    BitWriter w;
    PutHeader(w, {kA, kB}, kEscape, "1", 1);
    PutEntryHeader(w, "f", 0, 'b', size);
    for (uint32_t i = 0; i < size; ++i) PutCode(w, i % 3 ? "0" : "10");
    DecodeRecord out = Decode(OpenFirstEntry(w), 1000, 24);
    ASSERT_EQ(out.result, kDecodeDone);
    EXPECT_EQ(out.fill, size % 1024);
    std::vector<uint64_t> expected = {1000};
    if (size >= 1024) expected.push_back(kWriteEvent);  // before the report of byte 1024
    if (size >= 1024) expected.push_back(1024);
    EXPECT_EQ(out.events, expected) << size;
  }
  // 1000 literals, then a run of 100: the buffer is written mid-run.
  BitWriter w;
  PutHeader(w, {kA, kB}, kEscape, "1", 1);
  PutEntryHeader(w, "f", 0, 'b', 1101);
  for (int i = 0; i < 999; ++i) PutCode(w, "0");
  PutCode(w, "10");
  PutRun(w, kEscape, {100});
  PutCode(w, "0");
  DecodeRecord out = Decode(OpenFirstEntry(w), UINT64_MAX);
  ASSERT_EQ(out.result, kDecodeDone);
  EXPECT_EQ(out.events, std::vector<uint64_t>{kWriteEvent});
  EXPECT_EQ(out.fill, 77u);
  EXPECT_EQ(out.bytes, Bytes(std::string(999, 'a') + std::string(101, 'b') + "a"));
}

// A long run is stored whole, buffer after buffer, even past the size.
TEST_P(Decoders, LongRunCarriesPastTheSize) {
  BitWriter w;
  PutHeader(w, {kA, kB}, kEscape, "1", 2);
  PutEntryHeader(w, "f", 0, 'b', 3);
  PutCode(w, "10");
  std::vector<uint8_t> count(100, 0xFF);
  count.push_back(0);
  PutRun(w, kEscape, count);
  PutEntryHeader(w, "next", 7, 'B', 0);
  DecodeRecord out = Decode(OpenFirstEntry(w));
  EXPECT_EQ(out.result, kDecodeDone);
  EXPECT_EQ(out.produced, 25401u);
  EXPECT_EQ(out.bytes, std::vector<uint8_t>(25401, 'b'));
  EXPECT_EQ(out.events.size(), 1u + 24u);  // one report, 24 full buffers
  EntryHeader next;
  ASSERT_TRUE(ReadEntryHeader(&reader, &next));
  EXPECT_STREQ(next.name, "next");
  EXPECT_EQ(next.size, 0u);
}

// Progress falls due during a run: the next literal reports it.
TEST_P(Decoders, ProgressDueDuringARunIsReportedByTheNextLiteral) {
  BitWriter w;
  PutHeader(w, {kA, kB}, kEscape, "1", 1);
  PutEntryHeader(w, "f", 0, 'b', 7);
  PutCode(w, "0");
  PutRun(w, kEscape, {5});
  PutCode(w, "10");
  DecodeRecord out = Decode(OpenFirstEntry(w), 3, 1000);
  EXPECT_EQ(out.events, std::vector<uint64_t>{7});
}

TEST_P(Decoders, FailuresStopBeforeTheItem) {
  // A run before any literal of the entry.
  BitWriter w;
  PutHeader(w, {kA, kB}, kEscape, "1", 1);
  PutEntryHeader(w, "f", 0, 'b', 10);
  uint64_t data_start = w.bit_count;
  PutRun(w, kEscape, {3});
  DecodeRecord out = Decode(OpenFirstEntry(w));
  EXPECT_EQ(out.result, kDecodeFailed);
  EXPECT_EQ(out.end_bit, data_start);
  // No code matches: bits 1... against rows 00 and escape 01.
  BitWriter none;
  PutHeader(none, {{'a', "00"}}, {0, "01"}, "1", 1);
  PutEntryHeader(none, "f", 0, 'b', 10);
  PutCode(none, "0000");
  data_start = none.bit_count;
  PutCode(none, "1111");
  out = Decode(OpenFirstEntry(none));
  EXPECT_EQ(out.result, kDecodeFailed);
  EXPECT_EQ(out.bytes, Bytes("aa"));
  EXPECT_EQ(out.end_bit, data_start);
}

// A rejected header leaves no table behind: decoding fails at once instead
// of using the previous archive's codes.
TEST_P(Decoders, NothingDecodesAfterARejectedHeader) {
  ASSERT_EQ(OpenArchiveInMemory(&reader, kSampleArchive.data(), kSampleArchive.size()),
            kArchiveOpened);
  BitWriter bad;
  PutHeader(bad, {kA, {'b', "", 0}}, kEscape, "1", 1);
  PutEntryHeader(bad, "f", 0, 'b', 5);
  PutCode(bad, "0000");
  ASSERT_EQ(OpenArchiveInMemory(&reader, bad.bytes.data(), bad.bytes.size()), kArchiveBadHeader);
  DecodeRecord out = Decode(5);
  EXPECT_EQ(out.result, kDecodeFailed);
  EXPECT_EQ(out.produced, 0u);
}

// Skipped entries pass a sink without callbacks, or none at all.
TEST_P(Decoders, SkippedEntriesKeepTheStreamInStep) {
  BitWriter w;
  PutHeader(w, {kA, kB}, kEscape, "1", 3);
  PutEntryHeader(w, "one", 0, 'b', 1500);
  for (int i = 0; i < 1500; ++i) PutCode(w, i % 2 ? "0" : "10");
  PutEntryHeader(w, "two", 0, 'b', 0);
  PutEntryHeader(w, "three", 0, 'b', 1);
  PutCode(w, "10");
  ASSERT_EQ(OpenArchiveInMemory(&reader, w.bytes.data(), w.bytes.size()), kArchiveOpened);
  EntryHeader header;
  DecodeOutput output;
  DecodeSink silent = {nullptr, nullptr, 0, nullptr};
  ASSERT_TRUE(ReadEntryHeader(&reader, &header));
  EXPECT_EQ(GetParam()(&reader, header.size, &silent, &output), kDecodeDone);
  EXPECT_EQ(output.fill, 1500u - 1024u);
  ASSERT_TRUE(ReadEntryHeader(&reader, &header));
  EXPECT_STREQ(header.name, "two");
  EXPECT_EQ(GetParam()(&reader, header.size, nullptr, &output), kDecodeDone);
  ASSERT_TRUE(ReadEntryHeader(&reader, &header));
  EXPECT_STREQ(header.name, "three");
  EXPECT_EQ(GetParam()(&reader, header.size, nullptr, &output), kDecodeDone);
  EXPECT_EQ(output.buffer[0], 'b');
  EXPECT_EQ(ReaderBitPosition(&reader.bits), w.bit_count);
}

// Cut a two-entry archive after every byte: reading fails exactly when the
// cut removes bits that a field or code needs, and never crashes.
TEST_P(Decoders, TruncationAtEveryByte) {
  BitWriter w;
  PutHeader(w, {kA, kB, {'c', "1110"}}, {0, "1111"}, "1.0", 2);
  PutEntryHeader(w, "a", 1, 'b', 259);
  for (const char* code : {"0", "10", "1110", "0"}) PutCode(w, code);
  PutRun(w, {0, "1111"}, {0xFF, 0x00});
  PutRun(w, {0, "1111"}, {0x01});
  PutEntryHeader(w, "b", 2, 'b', 3);
  for (const char* code : {"1110", "10", "0"}) PutCode(w, code);
  for (size_t size = 0; size <= w.bytes.size(); ++size) {
    bool complete = false;
    if (OpenArchiveInMemory(&reader, w.bytes.data(), size) == kArchiveOpened) {
      EntryHeader header;
      complete = true;
      for (int entry = 0; entry < 2 && complete; ++entry) {
        complete =
            ReadEntryHeader(&reader, &header) && Decode(header.size).result == kDecodeDone;
      }
    }
    EXPECT_EQ(complete, size * 8 >= w.bit_count) << size;
  }
}

INSTANTIATE_TEST_SUITE_P(Archive, Decoders,
                         ::testing::Values(DecodeEntryDataLinear, DecodeEntryData),
                         [](const ::testing::TestParamInfo<DecodeFunction>& info) {
                           return std::string(info.index == 0 ? "Linear" : "Fast");
                         });

}  // namespace
