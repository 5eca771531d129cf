// The fast decoder against the plain one on random tables (prefix-free or
// not, escapes overlapping rows, repeated symbols, lengths 1..32, 1..256
// rows) and random streams, cut at random bits: the same bytes, writes,
// progress reports, result, failure point and end bit, and the same next
// entry header after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/archive_walk.h"
#include "support/bit_writer.h"
#include "support/test_encoder.h"

namespace {

using Random = std::mt19937_64;

int Uniform(Random& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

std::string RandomBits(Random& random, int length) {
  std::string code;
  for (int i = 0; i < length; ++i) code += static_cast<char>('0' + Uniform(random, 0, 1));
  return code;
}

// A code length, mostly short, sometimes up to 32.
int RandomLength(Random& random) {
  switch (Uniform(random, 0, 3)) {
    case 0:
      return Uniform(random, 1, 4);
    case 1:
      return Uniform(random, 1, 11);
    case 2:
      return Uniform(random, 9, 16);
    default:
      return Uniform(random, 1, 32);
  }
}

struct RandomTable {
  std::vector<TestCode> rows;
  TestCode escape;
};

// A prefix-free code from random frequencies (some very skewed, for long
// codes), the escape one of its codes, rows in random order.
RandomTable PrefixFreeTable(Random& random) {
  int rows = Uniform(random, 1, 256);
  std::vector<uint64_t> frequency(rows + 1);
  bool skewed = Uniform(random, 0, 2) == 0;
  for (size_t i = 0; i < frequency.size(); ++i) {
    frequency[i] = skewed ? (uint64_t{1} << Uniform(random, 0, 40))
                          : static_cast<uint64_t>(Uniform(random, 1, 1000));
  }
  std::vector<int> lengths = HuffmanLengths(frequency);
  std::vector<EncoderCode> codes = CanonicalCodes(lengths);
  auto text = [](const EncoderCode& c) {
    std::string s;
    for (int b = c.length - 1; b >= 0; --b) s += ((c.bits >> b) & 1) ? '1' : '0';
    return s;
  };
  RandomTable table;
  for (int i = 0; i < rows; ++i)
    table.rows.push_back({static_cast<uint8_t>(Uniform(random, 0, 255)), text(codes[i])});
  std::shuffle(table.rows.begin(), table.rows.end(), random);
  table.escape = {0, text(codes[rows])};
  return table;
}

// Codes with no structure: overlaps, prefixes of each other, repeats; the
// escape sometimes a prefix or an extension of a row's code. Some tables
// share a long common start so that many codes are too long to settle from
// the lookup bits.
RandomTable TangledTable(Random& random) {
  RandomTable table;
  int rows = Uniform(random, 1, 256);
  std::string common = Uniform(random, 0, 2) == 0 ? RandomBits(random, Uniform(random, 8, 14)) : "";
  for (int i = 0; i < rows; ++i) {
    std::string code = common + RandomBits(random, RandomLength(random));
    if (i > 0 && Uniform(random, 0, 4) == 0) code = table.rows[Uniform(random, 0, i - 1)].code;
    code.resize(std::min<size_t>(code.size(), 32));
    uint8_t symbol = Uniform(random, 0, 3) == 0 && i > 0
                         ? table.rows[0].symbol
                         : static_cast<uint8_t>(Uniform(random, 0, 255));
    table.rows.push_back({symbol, code});
  }
  std::string escape = RandomBits(random, RandomLength(random));
  const std::string& row = table.rows[Uniform(random, 0, rows - 1)].code;
  switch (Uniform(random, 0, 3)) {
    case 0:
      escape = row.substr(0, Uniform(random, 1, static_cast<int>(row.size())));
      break;
    case 1:
      escape = (row + RandomBits(random, 5)).substr(0, 32);
      break;
    case 2:
      escape = common + escape;
      break;
    default:
      break;
  }
  escape.resize(std::min<size_t>(escape.size(), 32));
  table.escape = {0, escape};
  return table;
}

// Data items: mostly codes of the table's rows and runs with random counts,
// now and then a few random bits.
void PutRandomItems(Random& random, BitWriter& w, const RandomTable& table, int items) {
  for (int i = 0; i < items; ++i) {
    int pick = Uniform(random, 0, 99);
    if (pick < 80) {
      PutCode(w, table.rows[Uniform(random, 0, static_cast<int>(table.rows.size()) - 1)].code);
    } else if (pick < 95) {
      std::vector<uint8_t> count;
      while (Uniform(random, 0, 3) == 0) count.push_back(255);
      count.push_back(static_cast<uint8_t>(Uniform(random, 0, 3) == 0 ? Uniform(random, 0, 254)
                                                                      : Uniform(random, 0, 6)));
      PutRun(w, table.escape, count);
    } else {
      PutCode(w, RandomBits(random, Uniform(random, 1, 12)));
    }
  }
}

// One reader per decoder, side by side.
ArchiveReader g_plain_reader;
ArchiveReader g_other_reader;

// One random archive of two entries, decoded by both, then cut at a random
// bit and decoded again.
void CompareOnce(uint64_t seed, int max_items) {
  Random random(seed);
  RandomTable table = Uniform(random, 0, 1) ? PrefixFreeTable(random) : TangledTable(random);
  BitWriter w;
  PutHeader(w, table.rows, table.escape, "1.0", 2);
  int items = Uniform(random, 0, max_items);
  uint32_t size = Uniform(random, 0, 3) == 0
                      ? static_cast<uint32_t>(Uniform(random, 0, 4 * items + 4))
                      : 0xFFFFFFFFu;
  if (Uniform(random, 0, 2) == 0) size = static_cast<uint32_t>(items);
  PutEntryHeader(w, "first", 1, 'b', size);
  PutRandomItems(random, w, table, items);
  PutEntryHeader(w, "second", 2, 'B', static_cast<uint32_t>(Uniform(random, 0, 40)));
  PutRandomItems(random, w, table, 40);

  uint64_t first_due =
      Uniform(random, 0, 3) == 0 ? UINT64_MAX : static_cast<uint64_t>(Uniform(random, 0, 50));
  uint64_t step = static_cast<uint64_t>(Uniform(random, 0, 3) == 0 ? 0 : Uniform(random, 1, 2000));
  WalkOptions options = {{first_due, step}};
  for (int cut = 0; cut < 2; ++cut) {
    BitWriter bytes = w;
    if (cut == 1) {
      TruncateBits(bytes, std::uniform_int_distribution<uint64_t>(0, w.bit_count)(random));
    }
    std::string where = "seed " + std::to_string(seed) + " cut " + std::to_string(cut);
    WalkRecord linear = WalkArchive(&g_plain_reader, bytes.bytes, DecodeEntryDataLinear, options);
    EXPECT_EQ(linear.broken, "") << where;
    // Both decoders with their own buffer and storing in place (into
    // memory the sink moves on after every full buffer).
    for (int variant = 0; variant < 3; ++variant) {
      options.in_place = variant > 0;
      DecodeFunction decode = variant == 2 ? DecodeEntryDataLinear : DecodeEntryData;
      WalkRecord other = WalkArchive(&g_other_reader, bytes.bytes, decode, options);
      std::string which = where + (variant == 0 ? " fast" : variant == 1 ? " fast in place"
                                                                          : " plain in place");
      EXPECT_EQ(other.broken, "") << which;
      EXPECT_EQ(CompareWalks(linear, other), "") << which;
      if (::testing::Test::HasFailure()) return;
    }
    options.in_place = false;
  }
}

TEST(DecoderDifferential, RandomTablesAndStreams) {
  for (uint64_t seed = 1; seed <= 1500; ++seed) {
    CompareOnce(seed, 300);
    if (::testing::Test::HasFailure()) return;
  }
}

// Entries long enough that the reader drops and refills its window many
// times in the middle of the fast decoder's work.
TEST(DecoderDifferential, LongEntries) {
  for (uint64_t seed = 10001; seed <= 10012; ++seed) {
    CompareOnce(seed, 60000);
    if (::testing::Test::HasFailure()) return;
  }
}

// A realistic archive from the test encoder decodes to its data.
TEST(DecoderDifferential, EncodedArchiveRoundTrip) {
  Random random(77);
  std::vector<EncoderEntry> entries(3);
  for (EncoderEntry& entry : entries) {
    entry.name = "file" + std::to_string(Uniform(random, 0, 99));
    for (int i = 0; i < 30000; ++i) {
      int kind = Uniform(random, 0, 9);
      int repeat = kind == 0 ? Uniform(random, 1, 700) : 1;
      uint8_t byte =
          static_cast<uint8_t>(kind < 5 ? 'a' + Uniform(random, 0, 5) : Uniform(random, 0, 255));
      entry.data.insert(entry.data.end(), repeat, byte);
    }
  }
  std::vector<uint8_t> archive = EncodeArchive(entries, "3.1");
  WalkRecord walk = WalkArchive(&g_other_reader, archive, DecodeEntryData, {{UINT64_MAX}});
  ASSERT_EQ(walk.entries.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(walk.entries[i].header.name, entries[i].name);
    ASSERT_EQ(walk.entries[i].result, kDecodeDone);
    EXPECT_TRUE(walk.entries[i].bytes == entries[i].data);
  }
}

}  // namespace
