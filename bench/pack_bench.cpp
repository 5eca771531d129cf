// Packing benchmark of the archive tool's encoder over three generated
// corpora (text-like, executable-like, bitmap-like): archive bits against the
// order-0 entropy, archive size against gzip -9 (zlib at level 9 with the gzip
// wrapper), and packing speed. Every archive is read back with the updater's
// decoder before its numbers count.
//
//   pack_bench           corpora of 16 MiB each, best of 3 timed runs
//   pack_bench --quick   1 MiB each, one run (a smoke run for the test command)
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "3ppack/encoder.h"
#include "archive/archive_header.h"
#include "archive/entry_decoder.h"

namespace {

constexpr size_t kEntrySize = 1 << 20;  // corpora are packed as 1 MiB files
constexpr double kGoalMegabytesPerSecond = 100.0;

// A small deterministic generator (xorshift64*), so every run packs the same bytes.
struct Random {
  uint64_t state;
};

uint64_t NextRandom(Random& r) {
  r.state ^= r.state >> 12;
  r.state ^= r.state << 25;
  r.state ^= r.state >> 27;
  return r.state * 0x2545F4914F6CDD1Dull;
}

uint32_t Below(Random& r, uint32_t n) { return static_cast<uint32_t>(NextRandom(r) % n); }

// Prose from a Zipf-like vocabulary, with line ends and some Japanese lines in
// code page 932, as the readme and help files of a product are.
std::vector<uint8_t> MakeText(size_t size) {
  Random r{0x1234};
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string w;
    int length = 2 + Below(r, 6) + (i > 500 ? Below(r, 5) : 0);
    for (int k = 0; k < length; ++k) w += static_cast<char>("etaoinshrdlucmfwypvbgkjqxz"[Below(r, 26) * Below(r, 26) / 26]);
    words.push_back(w);
  }
  const char* japanese[] = {"\x82\xb1\x82\xcc\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xf0\x8d\x58\x90\x56\x82\xb5\x82\xdc\x82\xb7",
                            "\x8e\x67\x97\x70\x8b\x96\x91\xf8\x8c\x5f\x96\xf1\x8f\x91", "\x83\x6f\x81\x5b\x83\x57\x83\x87\x83\x93"};
  std::vector<uint8_t> text;
  int column = 0;
  while (text.size() < size) {
    if (Below(r, 40) == 0) {
      const char* line = japanese[Below(r, 3)];
      text.insert(text.end(), line, line + strlen(line));
      text.push_back('\r');
      text.push_back('\n');
      column = 0;
      continue;
    }
    // Zipf-like: the product of two uniforms favours the first words.
    uint32_t index = Below(r, 4000) * Below(r, 4000) / 4000;
    const std::string& w = words[index];
    text.insert(text.end(), w.begin(), w.end());
    column += static_cast<int>(w.size()) + 1;
    if (Below(r, 12) == 0) text.push_back(Below(r, 2) ? '.' : ',');
    if (column > 72) {
      text.push_back('\r');
      text.push_back('\n');
      column = 0;
    } else {
      text.push_back(' ');
    }
  }
  text.resize(size);
  return text;
}

// Code-like bytes: a skewed opcode alphabet, little-endian small numbers and
// addresses, zero and 0xCC padding between functions, and string tables.
std::vector<uint8_t> MakeExecutable(size_t size) {
  Random r{0x5678};
  const uint8_t opcodes[] = {0x8B, 0x89, 0xE8, 0x83, 0x55, 0x5D, 0xC3, 0x50, 0x51, 0x52, 0x53, 0x56,
                             0x57, 0x74, 0x75, 0xEB, 0x8D, 0x33, 0x85, 0x0F, 0x6A, 0x68, 0xFF, 0x45};
  std::vector<uint8_t> code;
  while (code.size() < size) {
    switch (Below(r, 20)) {
      case 0: {  // padding between functions or sections
        uint8_t pad = Below(r, 3) ? 0xCC : 0x00;
        code.insert(code.end(), Below(r, 3) ? 1 + Below(r, 15) : 64 + Below(r, 2000), pad);
        break;
      }
      case 1: {  // a string table entry
        int length = 3 + Below(r, 20);
        for (int k = 0; k < length; ++k) code.push_back(static_cast<uint8_t>('A' + Below(r, 26) + (Below(r, 2) ? 32 : 0)));
        code.push_back(0);
        break;
      }
      case 2: case 3: case 4: {  // a 32-bit operand: address or small number
        uint32_t value = Below(r, 2) ? 0x00400000u + Below(r, 0x40000) : Below(r, 256);
        for (int k = 0; k < 4; ++k) code.push_back(static_cast<uint8_t>(value >> (8 * k)));
        break;
      }
      default:  // an instruction byte, then a ModRM-like byte half of the time
        code.push_back(opcodes[Below(r, sizeof opcodes) * Below(r, sizeof opcodes) / sizeof opcodes]);
        if (Below(r, 2)) code.push_back(static_cast<uint8_t>(0x40 + Below(r, 64)));
    }
  }
  code.resize(size);
  return code;
}

// A 24-bit bitmap: a BMP-like header, then rows of gradients, flat filled
// shapes and a little noise, as title screens and textures are.
std::vector<uint8_t> MakeBitmap(size_t size) {
  Random r{0x9ABC};
  const size_t width = 1024;
  std::vector<uint8_t> bitmap(54, 0);
  bitmap[0] = 'B';
  bitmap[1] = 'M';
  size_t y = 0;
  uint8_t flat[3] = {0, 0, 0};
  while (bitmap.size() < size) {
    if (y % 64 == 0) {
      for (uint8_t& c : flat) c = static_cast<uint8_t>(Below(r, 256));
    }
    for (size_t x = 0; x < width; ++x) {
      bool in_shape = ((x / 128 + y / 64) % 3) == 0;
      for (int c = 0; c < 3; ++c) {
        uint8_t value = in_shape ? flat[c]
                                 : static_cast<uint8_t>((x * (c + 1) / 8 + y / 4) + (Below(r, 8) == 0 ? Below(r, 3) : 0));
        bitmap.push_back(value);
      }
    }
    ++y;
  }
  bitmap.resize(size);
  return bitmap;
}

double OrderZeroEntropyBits(const std::vector<uint8_t>& data) {
  double counts[256] = {};
  for (uint8_t b : data) ++counts[b];
  double bits = 0;
  for (double c : counts) {
    if (c > 0) bits -= c * std::log2(c / static_cast<double>(data.size()));
  }
  return bits;
}

size_t GzipNineSize(const std::vector<uint8_t>& data) {
  z_stream z;
  memset(&z, 0, sizeof z);
  if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  std::vector<uint8_t> out(deflateBound(&z, data.size()));
  z.next_in = const_cast<uint8_t*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&z, Z_FINISH);
  size_t size = z.total_out;
  deflateEnd(&z);
  return result == Z_STREAM_END ? size : 0;
}

void Collect(void* context, const uint8_t* bytes, size_t count) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), bytes, bytes + count);
}

// Reads the archive back with the updater's decoder and compares.
bool DecodesTo(const std::vector<uint8_t>& archive, const std::vector<uint8_t>& corpus) {
  if (OpenArchiveInMemory(archive.data(), archive.size()) != kArchiveOpened) return false;
  std::vector<uint8_t> decoded;
  for (int i = 0; i < CurrentHeader().entry_count; ++i) {
    EntryHeader header;
    if (!ReadEntryHeader(&header)) return false;
    DecodeSink sink = {Collect, nullptr, UINT64_MAX, &decoded};
    DecodeOutput out;
    if (DecodeEntryData(header.size, &sink, &out) != kDecodeDone) return false;
    decoded.insert(decoded.end(), out.buffer, out.buffer + out.fill);
  }
  return decoded == corpus;
}

// Packs one corpus; prints its line; false when the archive does not decode
// back to the corpus.
bool BenchCorpus(const char* name, const std::vector<uint8_t>& corpus, int runs, double* speed) {
  std::vector<PackEntry> entries;
  for (size_t offset = 0; offset < corpus.size(); offset += kEntrySize) {
    size_t size = corpus.size() - offset < kEntrySize ? corpus.size() - offset : kEntrySize;
    entries.push_back({"file" + std::to_string(entries.size()) + ".dat", 900000000, 'I',
                       corpus.data() + offset, size});
  }
  PackResult result;
  std::string error;
  double best_seconds = 1e9, best_cpu_seconds = 1e9;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    std::clock_t cpu_start = std::clock();
    if (!EncodeArchive("1.00", entries, kPackMaxCodeLength, &result, &error)) {
      fprintf(stderr, "pack_bench: %s: %s\n", name, error.c_str());
      return false;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    if (took.count() < best_seconds) best_seconds = took.count();
    if (cpu < best_cpu_seconds) best_cpu_seconds = cpu;
  }
  if (!DecodesTo(result.bytes, corpus)) {
    fprintf(stderr, "pack_bench: %s: the archive does not decode back to the corpus\n", name);
    return false;
  }
  double entropy = OrderZeroEntropyBits(corpus);
  size_t gzip = GzipNineSize(corpus);
  *speed = static_cast<double>(corpus.size()) / best_seconds / 1e6;
  double cpu_speed = static_cast<double>(corpus.size()) / best_cpu_seconds / 1e6;
  printf("%-11s %9zu %10zu %9.4f %10zu %9.3f %9.1f %9.1f %6d\n", name, corpus.size(),
         result.bytes.size(), 8.0 * static_cast<double>(result.bytes.size()) / entropy, gzip,
         static_cast<double>(result.bytes.size()) / static_cast<double>(gzip), *speed, cpu_speed,
         result.iterations);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
  if (argc > 2 || (argc == 2 && !quick)) {
    fprintf(stderr, "usage: pack_bench [--quick]\n");
    return 2;
  }
  size_t size = quick ? (1u << 20) : (16u << 20);
  int runs = quick ? 1 : 3;
  printf("pack_bench: %s, corpora of %zu bytes packed as 1 MiB files, best of %d\n",
         quick ? "quick" : "full", size, runs);
  printf("%-11s %9s %10s %9s %10s %9s %9s %9s %6s\n", "corpus", "bytes", "archive", "/entropy",
         "gzip -9", "/gzip", "MB/s", "CPU MB/s", "rounds");
  bool ok = true;
  double slowest = 1e9, speed = 0;
  ok = BenchCorpus("text", MakeText(size), runs, &speed) && ok;
  slowest = std::min(slowest, speed);
  ok = BenchCorpus("executable", MakeExecutable(size), runs, &speed) && ok;
  slowest = std::min(slowest, speed);
  ok = BenchCorpus("bitmap", MakeBitmap(size), runs, &speed) && ok;
  slowest = std::min(slowest, speed);
  printf("slowest packing: %.1f MB/s wall clock (goal %.0f MB/s)%s\n", slowest,
         kGoalMegabytesPerSecond, slowest < kGoalMegabytesPerSecond ? "  BELOW GOAL" : "");
  printf("MB/s: input bytes per second of the best run, by the wall clock and by this\n"
         "process's CPU time (the latter shows the encoder's own speed on a busy machine)\n");
  // Speed depends on the machine and its load, so only a wrong archive fails.
  return ok ? 0 : 1;
}
