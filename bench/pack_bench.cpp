// Packing benchmark of the archive tool's encoder over the benchmark corpora
// (generated and real, bench/corpora.h): archive bits against the
// order-0 entropy, archive size against gzip -9 (zlib at level 9 with the gzip
// wrapper), and packing speed. Every archive is read back with the updater's
// decoder before its numbers count.
//
//   pack_bench --corpora FOLDER           corpora of 32 MiB each, best of 3 timed runs
//   pack_bench --corpora FOLDER --quick   1 MiB each, one run (a smoke run)
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "3ppack/encoder.h"
#include "archive/archive_reader.h"
#include "corpora.h"

namespace {

constexpr size_t kEntrySize = 1 << 20;  // corpora are packed as 1 MiB files

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
  static ArchiveReader reader;
  if (OpenArchiveInMemory(&reader, archive.data(), archive.size()) != kArchiveOpened) return false;
  std::vector<uint8_t> decoded;
  for (int i = 0; i < reader.header.entry_count; ++i) {
    EntryHeader header;
    if (!ReadEntryHeader(&reader, &header)) return false;
    DecodeSink sink = {Collect, nullptr, UINT64_MAX, &decoded};
    DecodeOutput out;
    if (DecodeEntryData(&reader, header.size, &sink, &out) != kDecodeDone) return false;
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
    if (!EncodeArchive("1.00", entries, kMaxCodeLength, &result, &error)) {
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
  printf("%-12s %9zu %10zu %9.4f %10zu %9.3f %9.1f %9.1f %6d\n", name, corpus.size(),
         result.bytes.size(), 8.0 * static_cast<double>(result.bytes.size()) / entropy, gzip,
         static_cast<double>(result.bytes.size()) / static_cast<double>(gzip), *speed, cpu_speed,
         result.iterations);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string folder;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (strcmp(argv[i], "--corpora") == 0 && i + 1 < argc) {
      folder = argv[++i];
    } else {
      fprintf(stderr, "usage: pack_bench --corpora FOLDER [--quick]\n");
      return 2;
    }
  }
  size_t size = quick ? (1u << 20) : (32u << 20);
  int runs = quick ? 1 : 3;
  std::vector<Corpus> corpora;
  std::string error;
  if (!LoadCorpora(size, folder, &corpora, &error)) {
    fprintf(stderr, "pack_bench: %s\n", error.c_str());
    return 1;
  }
  printf("pack_bench: %s, corpora of %zu bytes packed as 1 MiB files, best of %d\n",
         quick ? "quick" : "full", size, runs);
  printf("%-12s %9s %10s %9s %10s %9s %9s %9s %6s\n", "corpus", "bytes", "archive", "/entropy",
         "gzip -9", "/gzip", "MB/s", "CPU MB/s", "rounds");
  bool ok = true;
  double slowest = 1e9, speed = 0;
  for (const Corpus& corpus : corpora) {
    ok = BenchCorpus(corpus.name.c_str(), corpus.data, runs, &speed) && ok;
    slowest = std::min(slowest, speed);
  }
  printf("slowest packing (the encoder in memory): %.1f MB/s wall clock\n", slowest);
  printf("MB/s: input bytes per second of the best run, by the wall clock and by this\n"
         "process's CPU time (the latter shows the encoder's own speed on a busy machine)\n");
  // Speed depends on the machine and its load, so only a wrong archive fails.
  return ok ? 0 : 1;
}
