// The decoder benchmark: output MB/s of the plain decoder, the fast decoder,
// zlib's inflate (level 6) and memcpy on three generated corpora, with the
// medians of several runs. Every decode is checked against the corpus.
//
//   decode_bench            32 MiB corpora, median of 5 runs
//   decode_bench --quick    1 MiB corpora, 1 run (a smoke test)
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "corpora.h"
#include "support/test_encoder.h"

namespace {

struct Collector {
  uint8_t* out;  // where the decoded bytes go
  size_t size;   // bytes written so far
};

void CollectBuffer(void* context, const uint8_t* bytes, size_t count) {
  Collector* collector = static_cast<Collector*>(context);
  std::memcpy(collector->out + collector->size, bytes, count);
  collector->size += count;
}

// Decodes the archive's only entry into out (which has room for it); false
// when the decoder fails or the bytes differ from expected.
bool DecodeInto(const std::vector<uint8_t>& archive, DecodeFunction decode,
                const std::vector<uint8_t>& expected, std::vector<uint8_t>& out) {
  static ArchiveReader reader;
  if (OpenArchiveInMemory(&reader, archive.data(), archive.size()) != kArchiveOpened) return false;
  EntryHeader header;
  if (!ReadEntryHeader(&reader, &header)) return false;
  Collector collector = {out.data(), 0};
  DecodeSink sink = {CollectBuffer, nullptr, UINT64_MAX, &collector};
  static DecodeOutput output;
  if (decode(&reader, header.size, &sink, &output) != kDecodeDone) return false;
  CollectBuffer(&collector, output.buffer, output.fill);
  return collector.size == expected.size() &&
         std::memcmp(out.data(), expected.data(), expected.size()) == 0;
}

// Times one call of step and appends its seconds to times; false when the
// call fails.
template <typename Step>
bool TimeStep(Step step, std::vector<double>* times) {
  auto start = std::chrono::steady_clock::now();
  if (!step()) return false;
  times->push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return true;
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Median seconds of runs calls of step; false when any call fails.
template <typename Step>
bool MedianSeconds(int runs, Step step, double* seconds) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    if (!TimeStep(step, &times)) return false;
  }
  *seconds = Median(times);
  return true;
}

// Measures one corpus and prints its row. False on any mismatch.
bool MeasureCorpus(const char* name, const std::vector<uint8_t>& corpus, int runs) {
  std::vector<EncoderEntry> entries(1);
  entries[0].name = name;
  entries[0].data = corpus;
  std::vector<uint8_t> archive = EncodeArchive(entries, "1.00");
  uLongf packed_size = compressBound(corpus.size());
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, corpus.data(), corpus.size(), 6) != Z_OK) return false;
  std::vector<uint8_t> out(corpus.size() + kOutputBufferSize);

  double oracle = 0, fast = 0, inflate = 0, copy = 0;
  bool ok =
      MedianSeconds(
          runs, [&] { return DecodeInto(archive, DecodeEntryDataLinear, corpus, out); }, &oracle) &&
      MedianSeconds(
          runs, [&] { return DecodeInto(archive, DecodeEntryData, corpus, out); }, &fast) &&
      MedianSeconds(
          runs,
          [&] {
            uLongf size = out.size();
            return uncompress(out.data(), &size, packed.data(), packed_size) == Z_OK &&
                   size == corpus.size() && std::memcmp(out.data(), corpus.data(), size) == 0;
          },
          &inflate) &&
      MedianSeconds(
          runs,
          [&] {
            std::memcpy(out.data(), corpus.data(), corpus.size());
            return out[corpus.size() / 2] == corpus[corpus.size() / 2];
          },
          &copy);
  if (!ok) {
    std::printf("%-10s FAILED: a decoder gave wrong output\n", name);
    return false;
  }
  double megabytes = static_cast<double>(corpus.size()) / 1e6;
  std::printf("%-10s %8.1f %6.1f%% %6.1f%% %9.1f %9.1f %9.1f %9.1f %8.1fx %8.2fx\n", name,
              megabytes, 100.0 * archive.size() / corpus.size(),
              100.0 * packed_size / corpus.size(), megabytes / oracle, megabytes / fast,
              megabytes / inflate, megabytes / copy, oracle / fast, inflate / fast);
  return true;
}

void WriteFile(const std::string& path, const void* bytes, size_t size) {
  std::ofstream file(path, std::ios::binary);
  file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}

// Writes bytes to a new file at path as the program writes its temporary
// file (256 KiB at a time); with durable, flushes it to the disk and, after
// renaming it to its final name, flushes the folder, as the program's commit
// does. False on any failure.
bool WriteAsTheProgram(const std::string& path, const std::vector<uint8_t>& bytes, bool durable) {
  std::string temp = path + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    size_t chunk = std::min<size_t>(256 * 1024, bytes.size() - done);
    ssize_t wrote = write(fd, bytes.data() + done, chunk);
    ok = wrote > 0;
    done += ok ? static_cast<size_t>(wrote) : 0;
  }
  if (durable && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (ok && durable) {
    int folder = open(path.substr(0, path.find_last_of('/')).c_str(), O_RDONLY | O_DIRECTORY);
    ok = folder >= 0 && fsync(folder) == 0;
    if (folder >= 0) close(folder);
  }
  return ok;
}

// Lays out an emulated machine with the product installed in C:\P and the
// archive in C:\Update; returns the machine folder.
std::string MakeMachine(const std::vector<uint8_t>& archive) {
  char pattern[] = "/tmp/decode_bench_XXXXXX";
  std::string machine = mkdtemp(pattern);
  std::string keys = machine + "/registry/HKEY_LOCAL_MACHINE/SoftWare/ORBELINE/3D Perinwood";
  std::string command = "mkdir -p '" + keys + "/Directories' '" + keys + "/VersionInfo' '" +
                        machine + "/drive_c/P' '" + machine + "/drive_c/Update'";
  if (std::system(command.c_str()) != 0) return "";
  WriteFile(keys + "/Directories/InstallDir", "C:\\P", 4);
  WriteFile(keys + "/VersionInfo/Version", "1.00", 4);
  WriteFile(machine + "/drive_c/Update/3pupdate.z", archive.data(), archive.size());
  return machine;
}

// The whole program applying a one-entry archive of the corpus in an
// emulated machine (pauses off), against the fast decoder in memory on the
// same archive. False when a run fails or writes other bytes.
bool MeasureWholeProgram(const std::string& program, const std::vector<uint8_t>& corpus,
                         int runs) {
  std::vector<EncoderEntry> entries(1);
  entries[0].name = "whole.bin";
  entries[0].kind = 'i';
  entries[0].data = corpus;
  std::vector<uint8_t> archive = EncodeArchive(entries, "1.00");
  std::string machine = MakeMachine(archive);
  if (machine.empty()) return false;
  std::string target = machine + "/drive_c/P/whole.bin";
  std::string command = "cd '" + machine + "/drive_c/Update' && UPDATER_MACHINE='" + machine +
                        "' UPDATER_PAUSE_SCALE=0 '" + program + "' </dev/null >/dev/null";
  std::vector<uint8_t> out(corpus.size() + kOutputBufferSize);
  // One untimed run first: the first run on a fresh machine pays for the
  // program's and the archive's first reads and the system's first large
  // pages, which no later run does.
  bool ok = std::system(command.c_str()) == 0;
  // The decoder and the program are timed in turn, so that both meet the
  // machine in the same states (a shared machine's speed drifts). The last
  // run's output is deleted first, untimed: deleting a large file can wait
  // for its pages to reach the disk.
  // The flush to the disk before the commit and the folder's flush after
  // it are timed apart: the same bytes written as the program writes them,
  // with and without those flushes.
  std::string plain_copy = machine + "/drive_c/P/plain.bin";
  std::string durable_copy = machine + "/drive_c/P/durable.bin";
  std::vector<double> fast_times, whole_times, plain_times, durable_times;
  for (int i = 0; ok && i < runs; ++i) {
    std::remove(target.c_str());
    std::remove(plain_copy.c_str());
    std::remove(durable_copy.c_str());
    sync();
    ok = TimeStep([&] { return DecodeInto(archive, DecodeEntryData, corpus, out); },
                  &fast_times);
    ok = ok && TimeStep([&] { return std::system(command.c_str()) == 0; }, &whole_times);
    sync();
    ok = ok && TimeStep([&] { return WriteAsTheProgram(plain_copy, corpus, false); },
                        &plain_times);
    sync();
    ok = ok && TimeStep([&] { return WriteAsTheProgram(durable_copy, corpus, true); },
                        &durable_times);
  }
  std::ifstream written(target, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(written)),
                             std::istreambuf_iterator<char>());
  ok = ok && bytes == corpus;
  if (ok) std::system(("rm -rf '" + machine + "'").c_str());
  if (!ok) {
    std::printf("whole program FAILED: the run failed or wrote other bytes (machine kept in %s)\n",
                machine.c_str());
    return false;
  }
  double megabytes = static_cast<double>(corpus.size()) / 1e6;
  double fast = Median(fast_times), whole = Median(whole_times);
  std::printf("\nwhole program, %.1f MB of text, median of %d runs each: %.1f MB/s; fast decoder "
              "in memory %.1f MB/s; ratio %.2f\n",
              megabytes, runs, megabytes / whole, megabytes / fast, fast / whole);
  double plain = Median(plain_times), durable = Median(durable_times);
  std::printf("flushing to the disk: the same bytes written with the flushes %.3f s, without "
              "%.3f s; the flushes are %.0f%% of the whole program's %.3f s\n",
              durable, plain, 100.0 * (durable - plain) / whole, whole);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  size_t size = quick ? (size_t{1} << 20) : (size_t{32} << 20);
  int runs = quick ? 1 : 5;
  std::printf(
      "output MB/s, median of %d run(s); sizes: archive and zlib level 6 as %% of the corpus\n",
      runs);
  std::printf("%-10s %8s %7s %7s %9s %9s %9s %9s %9s %9s\n", "corpus", "MB", "ours", "zlib",
              "oracle", "fast", "inflate", "memcpy", "fast/orc", "fast/zlib");
  bool ok = MeasureCorpus("text", MakeTextCorpus(size), runs);
  ok = MeasureCorpus("executable", MakeExecutableCorpus(size), runs) && ok;
  ok = MeasureCorpus("bitmap", MakeBitmapCorpus(size), runs) && ok;
  char* self = realpath(argv[0], nullptr);
  std::string program = self != nullptr ? self : argv[0];
  free(self);
  program = program.substr(0, program.find_last_of('/') + 1) + "3pupdate";
  // The two sides of the last ratio alternate, with more runs: the ratio
  // of two medians needs both to be steady.
  ok = MeasureWholeProgram(program, MakeTextCorpus(quick ? size : size * 2), 2 * runs + 1) && ok;
  return ok ? 0 : 1;
}
