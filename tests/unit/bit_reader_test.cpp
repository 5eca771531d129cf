// The bit reader: fields at any bit offset, across block boundaries and
// window refills, short last blocks and the end of the file.
#include "archive/bit_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Source {
  std::vector<uint8_t> bytes;
  size_t offset = 0;
  std::vector<size_t> requests;  // count asked for by each call
};

size_t ReadSource(void* context, uint8_t* destination, size_t count) {
  Source* source = static_cast<Source*>(context);
  source->requests.push_back(count);
  size_t n = std::min(count, source->bytes.size() - source->offset);
  if (n > 0) std::memcpy(destination, source->bytes.data() + source->offset, n);
  source->offset += n;
  return n;
}

Source MakeSource(std::vector<uint8_t> bytes) {
  Source source;
  source.bytes = std::move(bytes);
  return source;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 12345;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// Bit i of bytes, MSB first; 0 past the end.
uint32_t BitAt(const std::vector<uint8_t>& bytes, uint64_t i) {
  if (i / 8 >= bytes.size()) return 0;
  return (bytes[i / 8] >> (7 - i % 8)) & 1;
}

uint32_t Expected(const std::vector<uint8_t>& bytes, uint64_t start, int n) {
  uint32_t word = 0;
  for (int i = 0; i < n; ++i) word |= BitAt(bytes, start + i) << (31 - i);
  return word;
}

BitReader g_bits;

void Attach(Source& source) { StartBitReader(&g_bits, ReadSource, &source); }

TEST(BitReader, FieldsOfEveryWidthAcrossBlocksAndWindowRefills) {
  Source source = MakeSource(Pattern(40000));
  Attach(source);
  uint64_t position = 0;
  int width = 0;
  while (position + 40 < 40000 * 8) {
    width = width % 32 + 1;  // 1..32, so fields start at every bit offset
    ASSERT_EQ(PeekWord(&g_bits, width), Expected(source.bytes, position, width))
        << "at bit " << position;
    ConsumeBits(&g_bits, width);
    position += width;
    ASSERT_EQ(ReaderBitPosition(&g_bits), position);
  }
  EXPECT_FALSE(g_bits.overrun);
  // Each block was asked for once, in order, 1024 bytes at a time.
  for (size_t count : source.requests) EXPECT_EQ(count, static_cast<size_t>(kSlotSize));
  EXPECT_EQ(source.requests.size(), 40u);
}

TEST(BitReader, LongPeekAcrossTheEndOfBlockZeroAtAnOddOffset) {
  Source source = MakeSource(Pattern(3000));
  Attach(source);
  ConsumeBits(&g_bits, 8 * 1000 + 3);  // 255 bytes from here cross the block boundary at byte 1024
  uint8_t text[255];
  PeekBits(&g_bits, 8 * 255, text);
  for (int i = 0; i < 255; ++i) {
    ASSERT_EQ(text[i], Expected(source.bytes, 8003 + 8 * i, 8) >> 24) << i;
  }
  // A 32-bit field whose first bits are the last of block 0.
  source = MakeSource(Pattern(3000));
  Attach(source);
  ConsumeBits(&g_bits, 1024 * 8 - 13);
  EXPECT_EQ(PeekWord(&g_bits, 32), Expected(source.bytes, 1024 * 8 - 13, 32));
}

TEST(BitReader, PeekZeroesTheBitsBeyondTheField) {
  Source source = MakeSource(std::vector<uint8_t>(8, 0xFF));
  Attach(source);
  uint8_t out[3] = {0xAA, 0xAA, 0xAA};
  PeekBits(&g_bits, 13, out);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0xF8);
  EXPECT_EQ(out[2], 0xAA);  // only (13 + 7) / 8 bytes are touched
  EXPECT_EQ(PeekWord(&g_bits, 0), 0u);
  EXPECT_EQ(PeekWord(&g_bits, 1), 0x80000000u);
}

// A short last block: peeks past the end read zeros and succeed; consuming
// exactly to the end is fine, one bit more overruns.
TEST(BitReader, EndOfFileAfterAShortLastBlock) {
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{700}, size_t{1024}, size_t{1030}, size_t{2048}}) {
    Source source = MakeSource(std::vector<uint8_t>(size, 0xFF));
    Attach(source);
    if (size > 0) {
      ConsumeBits(&g_bits, static_cast<int>(size * 8 - 3));
      EXPECT_EQ(PeekWord(&g_bits, 32), 0xE0000000u) << size;
      ConsumeBits(&g_bits, 3);
    }
    EXPECT_FALSE(g_bits.overrun) << size;
    EXPECT_EQ(PeekWord(&g_bits, 32), 0u);
    ConsumeBits(&g_bits, 1);
    EXPECT_TRUE(g_bits.overrun) << size;
  }
}

TEST(BitReader, ReadByteAndPositionHandback) {
  Source source = MakeSource(std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78});
  Attach(source);
  ConsumeBits(&g_bits, 4);
  EXPECT_EQ(ReadByte(&g_bits), 0x23);
  SetReaderBitPosition(&g_bits, 16);
  EXPECT_EQ(ReadByte(&g_bits), 0x56);
  SetReaderBitPosition(&g_bits, 33);
  EXPECT_TRUE(g_bits.overrun);
}

}  // namespace
