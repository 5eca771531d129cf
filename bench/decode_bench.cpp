// The benchmark of record: for each corpus, generated and real, one row with
// the speeds of the plain decoder (the oracle) and the fast decoder (archive
// in memory, decoded in place into memory), zlib's inflate (level 6), memcpy, the whole program applying the archive in an
// emulated machine, and the packer (`3ppack create` making that archive),
// and the ratios that matter between them.
//
// All six are timed in turn within each round, so they meet the shared
// machine in the same states; speeds are the best round's, and each ratio is
// given twice: from the best times, and as the median of the rounds' own
// ratios. Every decode and every run of the program is checked against the
// corpus, and every round's archive against the first: the packer must give
// the same bytes for the same input.
//
//   decode_bench --corpora FOLDER            32 MiB corpora, 7 rounds
//   decode_bench --corpora FOLDER --quick    1 MiB corpora, 1 round (a smoke run)
//   --cpu                                     CPU time instead of the wall clock
//   --rounds N, --only CORPUS                 other round counts, one corpus
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "corpora.h"
#include "decode_steps.h"
#include "programs.h"
#include "win32_side.h"

namespace {

constexpr double kGoalFastOverZlib = 2.0;
constexpr double kGoalWholeOverFast = 0.9;
constexpr double kGoalPackMegabytesPerSecond = 200.0;
// The shipped target against the host, and against zlib built the same way.
constexpr double kGoalTargetOverHost = 0.9;
constexpr double kGoalTargetFastOverZlib = 1.5;
constexpr double kGoalTargetFastOverZlibText = 1.0;  // zlib's back-references pay most on text
constexpr double kGoalVerifyShare = 5.0;  // the digest's cost, % of the whole program's time

// Which clock the measurements read: the wall clock, or CPU time (this
// thread's for the steps in this process, the program's own for a program
// run), which other jobs on a shared machine disturb far less.
bool g_cpu_clock = false;
double g_program_cpu = -1;  // CPU seconds of the program run last, set by RunProgram
// Both clocks of the step timed last (TimeStep, TimeThreadedStep), for the
// trailer's table, which gives its costs by both in one run.
double g_last_wall = -1;
double g_last_cpu = -1;

double ThreadCpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Seconds of one call of step by the chosen clock, or a negative number
// when it fails.
template <typename Step>
double TimeStep(Step step) {
  g_program_cpu = -1;
  double cpu = ThreadCpuSeconds();
  auto start = std::chrono::steady_clock::now();
  if (!step()) return -1;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  g_last_wall = wall;
  g_last_cpu = g_program_cpu >= 0 ? g_program_cpu : ThreadCpuSeconds() - cpu;
  return g_cpu_clock ? g_last_cpu : wall;
}

// The same for a step of this process that works on more than one thread
// (the archive reader's hasher): its CPU time is the whole process's.
template <typename Step>
double TimeThreadedStep(Step step) {
  timespec before, after;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  auto start = std::chrono::steady_clock::now();
  if (!step()) return -1;
  g_last_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  g_last_cpu = static_cast<double>(after.tv_sec - before.tv_sec) +
               1e-9 * static_cast<double>(after.tv_nsec - before.tv_nsec);
  return g_cpu_clock ? g_last_cpu : g_last_wall;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Best(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

bool WriteFile(const std::string& path, const void* bytes, size_t size) {
  std::ofstream file(path, std::ios::binary);
  file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  return static_cast<bool>(file);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
}

// Runs program with args in folder, with the extra environment settings
// added, standard input and output on /dev/null (or output to the file
// output); true when it exits with status 0. Sets g_program_cpu.
bool RunProgram(const std::vector<std::string>& args, const std::string& folder,
                const std::vector<std::string>& settings, const std::string& output = "") {
  return WaitForProgram(StartProgram(args, folder, settings, output), &g_program_cpu);
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

// Wall-clock seconds of one call of step, whatever the clock of the table,
// or a negative number when it fails: waiting for the disk is not CPU time.
template <typename Step>
double WallSeconds(Step step) {
  auto start = std::chrono::steady_clock::now();
  if (!step()) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Lays out an emulated machine with the product installed in C:\P and an
// empty C:\Update for the archive; false when the folders cannot be made.
bool MakeMachine(const std::string& machine) {
  std::string keys = machine + "/registry/HKEY_LOCAL_MACHINE/SoftWare/ORBELINE/3D Perinwood";
  std::string command = "mkdir -p '" + keys + "/Directories' '" + keys + "/VersionInfo' '" +
                        machine + "/drive_c/P' '" + machine + "/drive_c/Update'";
  return std::system(command.c_str()) == 0 &&
         WriteFile(keys + "/Directories/InstallDir", "C:\\P", 4) &&
         WriteFile(keys + "/VersionInfo/Version", "1.00", 4);
}

// The times of one corpus's six measurements, one element per round.
struct Times {
  std::vector<double> oracle, fast, inflate, copy, whole, pack;
  std::vector<double> plain, durable;  // the program's writes without and with the flushes
  std::vector<double> verify;          // the archive's SHA-256, as the reader makes it
  std::vector<double> whole_plain;     // the program applying the archive without its trailer
  std::vector<double> first_pass;      // a keyed program's first pass, by the chosen clock
  // The trailer's table, by both clocks: the whole program with and without
  // the trailer, and the first pass a program built with keys makes.
  std::vector<double> with_wall, with_cpu, without_wall, without_cpu, first_wall, first_cpu;
};

// The SHA-256 of the archive in the reader's 1024-byte blocks, as the
// program's check makes it while it reads: what verifying costs it.
bool HashAsTheReader(const std::vector<uint8_t>& archive) {
  PlatformDigest digest;
  PlatformStartDigest(&digest);
  for (size_t at = 0; at < archive.size(); at += kSlotSize) {
    PlatformAddToDigest(&digest, archive.data() + at, std::min<size_t>(kSlotSize, archive.size() - at));
  }
  uint8_t out[kDigestSize];
  return PlatformFinishDigest(&digest, out);
}

// What a program built with keys does before it parses anything of the
// archive in the machine's C:\Update: finds the trailer from the file's end
// and hashes every byte before it, through the program's own reader (its
// hasher thread behind the reads), and compares the digest. A build
// without a key does none of this: it hashes as its check reads.
bool FirstPassAsTheKeyedProgram(const std::string& machine) {
  static ArchiveReader reader;  // large: not on the stack
  setenv("UPDATER_MACHINE", machine.c_str(), 1);
  bool ok = OpenArchiveTrailer(&reader, "C:\\Update\\3pupdate.z") == kArchiveOpened &&
            VerifyArchiveDigest(&reader);
  CloseArchive(&reader);
  return ok;
}

// Median over the rounds of 100 * part[i] / whole[i].
double MedianShare(const std::vector<double>& part, const std::vector<double>& whole) {
  std::vector<double> shares;
  for (size_t i = 0; i < part.size(); ++i) shares.push_back(100 * part[i] / whole[i]);
  return Median(shares);
}

// The corpus's row of the trailer's table: what the streaming digest costs
// the program without a key (its time with the trailer less its time
// without, by the wall clock and by CPU time, in ms and as a share of its
// time), and what the first pass of a program with keys costs (the same
// two clocks), and the first pass over the streaming digest's cost.
std::string TrailerRow(const std::string& name, const Times& t) {
  std::vector<double> stream_wall, stream_cpu;
  for (size_t i = 0; i < t.with_wall.size(); ++i) {
    stream_wall.push_back(t.with_wall[i] - t.without_wall[i]);
    stream_cpu.push_back(t.with_cpu[i] - t.without_cpu[i]);
  }
  double stream_wall_ms = 1000 * Median(stream_wall), stream_cpu_ms = 1000 * Median(stream_cpu);
  double first_wall_ms = 1000 * Median(t.first_wall), first_cpu_ms = 1000 * Median(t.first_cpu);
  char row[300];
  std::snprintf(row, sizeof row,
                "%-12s %7.1f %6.1f%% %7.1f %6.1f%%   %7.1f %6.1f%% %7.1f %6.1f%%   %6.2f %6.2f\n",
                name.c_str(), stream_wall_ms, MedianShare(stream_wall, t.with_wall), stream_cpu_ms,
                MedianShare(stream_cpu, t.with_cpu), first_wall_ms,
                MedianShare(t.first_wall, t.with_wall), first_cpu_ms,
                MedianShare(t.first_cpu, t.with_cpu),
                stream_wall_ms > 0 ? first_wall_ms / stream_wall_ms : 0.0,
                stream_cpu_ms > 0 ? first_cpu_ms / stream_cpu_ms : 0.0);
  return row;
}

// Median over the rounds of a[i] / b[i].
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (size_t i = 0; i < a.size(); ++i) ratios.push_back(a[i] / b[i]);
  return Median(ratios);
}

// The 32-bit target's row for the corpus: its speeds, and its ratios to zlib
// built the same way, to its own decoder, and to the host's t.
std::string Win32Row(const std::string& name, double archive_share, double zlib_share, double mb,
                     const Times& t, const Win32Times& w, bool* goals_met) {
  std::vector<double> whole;  // the program's time less Wine's start (its median: steadier)
  for (double seconds : w.whole) whole.push_back(seconds - Median(w.start));
  double fast_zlib_median = MedianRatio(w.inflate, w.fast);
  double over_host_median = MedianRatio(t.fast, w.fast);
  double goal_zlib = name == "text" ? kGoalTargetFastOverZlibText : kGoalTargetFastOverZlib;
  bool below = fast_zlib_median < goal_zlib || over_host_median < kGoalTargetOverHost;
  if (below) *goals_met = false;
  char row[400];
  std::snprintf(row, sizeof row,
                "%-12s %5.1f%% %5.1f%% %7.1f %7.1f %7.1f %7.1f %7.1f %6.0f  %5.2f %5.2f  %5.2f %5.2f"
                "  %5.2f %5.2f  %5.2f %5.2f%s\n",
                name.c_str(), archive_share, zlib_share, mb / Best(w.oracle), mb / Best(w.fast),
                mb / Best(w.inflate), mb / Best(w.copy), mb / Best(whole), 1000 * Median(w.start),
                Best(w.inflate) / Best(w.fast), fast_zlib_median, Best(w.fast) / Best(whole),
                MedianRatio(w.fast, whole), Best(t.fast) / Best(w.fast), over_host_median,
                Best(t.whole) / Best(whole), MedianRatio(t.whole, whole),
                below ? "  BELOW GOAL" : "");
  return row;
}

// Measures one corpus for rounds rounds and prints its row; false on any
// wrong output. Each round packs the corpus with the archive tool, decodes
// the archive in memory with both decoders, inflates zlib's copy, copies the
// corpus, and applies the archive with the whole program; with side, the
// 32-bit target's programs then do the same under Wine, and its row is added
// to win32_rows.
bool MeasureCorpus(const Corpus& corpus, const std::string& bin, int rounds,
                   const Win32Side* side, std::vector<std::string>* win32_rows,
                   std::vector<std::string>* trailer_rows, bool* goals_met) {
  const std::vector<uint8_t>& data = corpus.data;
  char pattern[] = "/tmp/decode_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  std::string work = pattern;
  std::string machine = work + "/machine";
  std::string source = work + "/" + corpus.name + ".bin";
  std::string archive_path = machine + "/drive_c/Update/3pupdate.z";
  std::string target = machine + "/drive_c/P/whole.bin";
  if (!MakeMachine(machine) || !WriteFile(source, data.data(), data.size())) return false;
  auto pack = [&] {
    return RunProgram({bin + "/3ppack", "create", "-o", archive_path, "-V", "1.00", "-t",
                       "900000000", "-e", "i", source, "whole.bin"},
                      "", {});
  };
  auto run = [&] {
    return RunProgram({bin + "/3pupdate"}, machine + "/drive_c/Update",
                      {"UPDATER_MACHINE=" + machine, "UPDATER_PAUSE_SCALE=0"});
  };
  std::string plain_path = work + "/plain.z";
  auto pack_plain = [&] {
    return RunProgram({bin + "/3ppack", "create", "-o", plain_path, "-V", "1.00", "-t",
                       "900000000", "-e", "i", source, "whole.bin", "--no-trailer"},
                      "", {});
  };

  uLongf packed_size = compressBound(data.size());
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, data.data(), data.size(), 6) != Z_OK) return false;
  std::vector<uint8_t> out(data.size() + kOutputBufferSize);

  // Untimed first runs of the packer and the program: they pay for the
  // first reads of the programs and the files, and for the system's first
  // large pages, which no later run does.
  std::remove(archive_path.c_str());
  bool ok = pack() && pack_plain();
  std::vector<uint8_t> archive = ReadFile(archive_path);
  std::vector<uint8_t> plain = ReadFile(plain_path);
  std::string transcript = work + "/transcript.txt";
  ok = ok && RunProgram({bin + "/3pupdate"}, machine + "/drive_c/Update",
                        {"UPDATER_MACHINE=" + machine, "UPDATER_PAUSE_SCALE=0"}, transcript);
  // The target's files: the archive and zlib's stream beside the corpus, the
  // archive in the prefix; its first round is untimed too.
  std::string archive_copy = work + "/archive.z", zlib_copy = work + "/zlib.bin";
  Win32Times w;
  if (ok && side != nullptr) {
    ok = WriteFile(archive_copy, archive.data(), archive.size()) &&
         WriteFile(zlib_copy, packed.data(), packed_size) && PlaceWin32Archive(*side, archive) &&
         MeasureWin32Round(*side, work, source, archive_copy, zlib_copy, data.size(), transcript,
                           g_cpu_clock, &w);
    w = Win32Times{};
  }

  Times t;
  auto add = [&](std::vector<double>& times, double seconds) {
    ok = ok && seconds > 0;
    times.push_back(seconds);
  };
  for (int round = 0; ok && round < rounds; ++round) {
    // Removing files can wait for their pages to reach the disk: done
    // untimed, before anything of the round is timed.
    std::remove(archive_path.c_str());
    std::remove(target.c_str());
    sync();
    add(t.pack, TimeStep(pack));
    ok = ok && ReadFile(archive_path) == archive;
    add(t.oracle, TimeStep([&] { return DecodeInto(archive, DecodeEntryDataLinear, data, out); }));
    add(t.fast, TimeStep([&] { return DecodeInto(archive, DecodeEntryData, data, out); }));
    add(t.inflate, TimeStep([&] {
          uLongf size = out.size();
          return uncompress(out.data(), &size, packed.data(), packed_size) == Z_OK &&
                 size == data.size() && std::memcmp(out.data(), data.data(), size) == 0;
        }));
    add(t.copy, TimeStep([&] {
          std::memcpy(out.data(), data.data(), data.size());
          return out[data.size() / 2] == data[data.size() / 2];
        }));
    add(t.whole, TimeStep(run));
    t.with_wall.push_back(g_last_wall);
    t.with_cpu.push_back(g_last_cpu);
    add(t.verify, TimeStep([&] { return HashAsTheReader(archive); }));
    add(t.first_pass, TimeThreadedStep([&] { return FirstPassAsTheKeyedProgram(machine); }));
    t.first_wall.push_back(g_last_wall);
    t.first_cpu.push_back(g_last_cpu);
    // The same with the archive without its trailer (nothing hashed): the
    // difference is what verifying costs the whole program.
    std::remove(target.c_str());
    ok = ok && WriteFile(archive_path, plain.data(), plain.size());
    sync();
    add(t.whole_plain, TimeStep(run));
    t.without_wall.push_back(g_last_wall);
    t.without_cpu.push_back(g_last_cpu);
    ok = ok && WriteFile(archive_path, archive.data(), archive.size());
    // The flushes to the disk before and after the program's commit, timed
    // apart: the same bytes written as the program writes them, without and
    // with those flushes.
    std::string copy_path = machine + "/drive_c/P/copy.bin";
    std::remove(copy_path.c_str());
    sync();
    add(t.plain, WallSeconds([&] { return WriteAsTheProgram(copy_path, data, false); }));
    std::remove(copy_path.c_str());
    sync();
    add(t.durable, WallSeconds([&] { return WriteAsTheProgram(copy_path, data, true); }));
    if (ok && side != nullptr)
      ok = MeasureWin32Round(*side, work, source, archive_copy, zlib_copy, data.size(),
                             transcript, g_cpu_clock, &w);
  }
  ok = ok && ReadFile(target) == data && (side == nullptr || Win32OutputMatches(*side, data));
  if (!ok) {
    std::printf("%-12s FAILED: a decoder, the packer or the program gave wrong output (kept in %s)\n",
                corpus.name.c_str(), work.c_str());
    return false;
  }
  std::system(("rm -rf '" + work + "'").c_str());

  double mb = static_cast<double>(data.size()) / 1e6;
  double fast_zlib = Best(t.inflate) / Best(t.fast);
  double whole_fast = Best(t.fast) / Best(t.whole);
  double pack_speed = mb / Best(t.pack);
  double fast_zlib_median = MedianRatio(t.inflate, t.fast);
  double whole_fast_median = MedianRatio(t.fast, t.whole);
  double pack_median = mb / Median(t.pack);
  std::vector<double> flushes;
  for (size_t i = 0; i < t.plain.size(); ++i) flushes.push_back(t.durable[i] - t.plain[i]);
  std::vector<double> costs, shares;
  for (size_t i = 0; i < t.whole.size(); ++i) {
    costs.push_back(t.whole[i] - t.whole_plain[i]);
    shares.push_back(100 * costs.back() / t.whole[i]);
  }
  double verify_share = Median(shares);
  std::printf("%-12s %5.1f%% %5.1f%% %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f  %5.2f %5.2f  %5.2f %5.2f  %6.1f %6.0f %6.1f %6.1f %5.1f%%%s\n",
              corpus.name.c_str(), 100.0 * archive.size() / data.size(),
              100.0 * packed_size / data.size(), mb / Best(t.oracle), mb / Best(t.fast),
              mb / Best(t.inflate), mb / Best(t.copy), mb / Best(t.whole), pack_speed, fast_zlib,
              fast_zlib_median, whole_fast, whole_fast_median, pack_median,
              1000 * Median(flushes), 1000 * Median(t.verify), 1000 * Median(costs), verify_share,
              fast_zlib_median < kGoalFastOverZlib || whole_fast_median < kGoalWholeOverFast ||
                      pack_median < kGoalPackMegabytesPerSecond || verify_share > kGoalVerifyShare
                  ? "  BELOW GOAL"
                  : "");
  if (fast_zlib_median < kGoalFastOverZlib || whole_fast_median < kGoalWholeOverFast ||
      pack_median < kGoalPackMegabytesPerSecond || verify_share > kGoalVerifyShare)
    *goals_met = false;
  trailer_rows->push_back(TrailerRow(corpus.name, t));
  if (side != nullptr)
    win32_rows->push_back(Win32Row(corpus.name, 100.0 * archive.size() / data.size(),
                                   100.0 * packed_size / data.size(), mb, t, w, goals_met));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string folder, only, win32_bin;
  int rounds = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--corpora") == 0 && i + 1 < argc) {
      folder = argv[++i];
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--cpu") == 0) {
      g_cpu_clock = true;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--win32") == 0 && i + 1 < argc) {
      win32_bin = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: decode_bench --corpora FOLDER [--quick] [--cpu] [--rounds N] "
                   "[--only CORPUS] [--win32 FOLDER]\n");
      return 2;
    }
  }
  // The target's programs run in the Wine prefix that bench/run_bench.sh made.
  Win32Side side;
  const char* prefix = std::getenv("WINEPREFIX");
  if (!win32_bin.empty() && prefix == nullptr) {
    std::fprintf(stderr, "decode_bench: --win32 needs WINEPREFIX (bench/run_bench.sh sets it)\n");
    return 2;
  }
  if (!win32_bin.empty()) side = Win32Side{win32_bin, prefix};
  size_t size = quick ? (size_t{1} << 20) : (size_t{32} << 20);
  if (rounds <= 0) rounds = quick ? 1 : 7;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<Corpus> corpora;
  std::string error;
  if (!LoadCorpora(size, folder, &corpora, &error)) {
    std::fprintf(stderr, "decode_bench: %s\n", error.c_str());
    return 1;
  }
  char* self = realpath(argv[0], nullptr);
  std::string bin = self != nullptr ? self : argv[0];
  free(self);
  bin = bin.substr(0, bin.find_last_of('/'));

  std::printf("corpora of %zu bytes, %d round(s), each measurement timed in turn per round, "
              "by %s\n",
              size, rounds, g_cpu_clock ? "CPU time" : "the wall clock");
  std::printf("the host (64-bit):\n");
  std::printf("%-12s %6s %6s %7s %7s %7s %7s %7s %7s  %11s  %11s  %6s %6s %20s\n", "", "sizes:", "",
              "output", "MB/s,", "best", "round", "", "input", "fast/zlib", "whole/fast",
              "pack", "flush", "verify");
  std::printf("%-12s %6s %6s %7s %7s %7s %7s %7s %7s  %5s %5s  %5s %5s  %6s %6s %6s %6s %6s\n", "corpus",
              "ours", "zlib", "oracle", "fast", "zlib", "memcpy", "whole", "pack", "best", "med",
              "best", "med", "med", "ms", "sha ms", "ms", "whole");
  bool ok = true, goals_met = true;
  std::vector<std::string> win32_rows, trailer_rows;
  for (const Corpus& corpus : corpora) {
    if (only.empty() || only == corpus.name)
      ok = MeasureCorpus(corpus, bin, rounds, win32_bin.empty() ? nullptr : &side, &win32_rows,
                         &trailer_rows, &goals_met) &&
           ok;
  }
  std::printf("\nthe trailer's cost on the host, by both clocks, medians of the rounds:\n");
  std::printf("%-12s %31s   %31s   %13s\n", "", "streaming digest (no key)",
              "keyed first pass", "first/stream");
  std::printf("%-12s %7s %7s %7s %7s   %7s %7s %7s %7s   %6s %6s\n", "corpus", "wall ms", "share",
              "CPU ms", "share", "wall ms", "share", "CPU ms", "share", "wall", "CPU");
  for (const std::string& row : trailer_rows) std::fputs(row.c_str(), stdout);
  if (!win32_bin.empty()) {
    const char* arch = std::getenv("WINEARCH");
    if (arch != nullptr && std::strcmp(arch, "win64") == 0) {
      // run_bench.sh passes the probe's reason (scripts/wine-build.sh).
      const char* reason = std::getenv("WINE_REASON");
      std::printf("\nthe 64-bit Windows build, under wine64, in the same rounds; the 32-bit\n"
                  "figures were not measured on this machine (%s);\n"
                  "columns 32/64 compare the 64-bit Windows build with the host:\n",
                  reason != nullptr ? reason : "the 64-bit build was chosen");
    } else {
      std::printf("\nthe shipped program (32-bit Windows, under Wine), in the same rounds:\n");
    }
    std::printf("%-12s %6s %6s %7s %7s %7s %7s %7s %6s  %11s  %11s  %11s  %11s\n", "", "sizes:",
                "", "output", "MB/s,", "best", "round", "", "wine", "fast/zlib", "whole/fast",
                "fast 32/64", "whole 32/64");
    std::printf("%-12s %6s %6s %7s %7s %7s %7s %7s %6s  %5s %5s  %5s %5s  %5s %5s  %5s %5s\n",
                "corpus", "ours", "zlib", "oracle", "fast", "zlib", "memcpy", "whole", "ms",
                "best", "med", "best", "med", "best", "med", "best", "med");
    for (const std::string& row : win32_rows) std::fputs(row.c_str(), stdout);
  }
  std::printf(
      "sizes: archive (3ppack) and zlib level 6 as %% of the corpus. whole: the program applying\n"
      "the archive (start to exit; under Wine, start to its file in place, less Wine's start,\n"
      "the wine column: a program that does nothing). pack: 3ppack create, input MB/s. flush:\n"
      "what the program's flushes to the disk (before and after its commit) add to writing the\n"
      "corpus (wall-clock median). verify: sha ms, the archive's SHA-256 in 1 KiB blocks on one\n"
      "thread (the work the program's hasher thread does behind its reader); ms and whole, what\n"
      "checking the trailer costs the whole program: its time with the trailer less its time on\n"
      "the same archive without one (which it does not hash), median of the rounds, and that as\n"
      "a share of its time with the trailer.\n"
      "The trailer's table: the streaming digest, what a program without a key pays for the\n"
      "trailer (its time with it less its time without, by the wall clock and by CPU time, the\n"
      "program's hasher and writer threads included, and as a share of its time with it); the\n"
      "keyed first pass, what a program built with keys does before it parses anything (the\n"
      "trailer found, every byte before it hashed through the program's own reader and hasher\n"
      "thread, the digest compared), as a share of the whole program's time; first/stream, the\n"
      "first pass over the streaming digest's cost (0.00 when that is lost in the noise).\n"
      "Ratios from the best times and the median of the rounds' own ratios; 32/64: the target's\n"
      "speed over the host's.\n"
      "Goals: fast/zlib >= %.1f, whole/fast >= %.1f, pack >= %.0f MB/s, verify <= %.0f%%; on the\n"
      "target fast 32/64 >= %.1f, fast/zlib >= %.1f (text %.1f)%s\n",
      kGoalFastOverZlib, kGoalWholeOverFast, kGoalPackMegabytesPerSecond, kGoalVerifyShare,
      kGoalTargetOverHost, kGoalTargetFastOverZlib, kGoalTargetFastOverZlibText,
      goals_met ? " (all met)" : " (not all met)");
  // Speed depends on the machine and its load, so only wrong output fails.
  return ok ? 0 : 1;
}
