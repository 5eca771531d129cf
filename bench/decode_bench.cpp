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
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

extern char** environ;

namespace {

constexpr double kGoalFastOverZlib = 2.0;
constexpr double kGoalWholeOverFast = 0.9;
constexpr double kGoalPackMegabytesPerSecond = 200.0;

// Which clock the measurements read: the wall clock, or CPU time (this
// thread's for the steps in this process, the program's own for a program
// run), which other jobs on a shared machine disturb far less.
bool g_cpu_clock = false;
double g_program_cpu = -1;  // CPU seconds of the program run last, set by RunProgram

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
  if (!g_cpu_clock) return wall;
  return g_program_cpu >= 0 ? g_program_cpu : ThreadCpuSeconds() - cpu;
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
// added, standard input and output on /dev/null; true when it exits with
// status 0. Started directly, with no shell, so that only the program is
// timed.
bool RunProgram(const std::vector<std::string>& args, const std::string& folder,
                const std::vector<std::string>& settings) {
  std::vector<std::string> keep(settings);
  for (char** e = environ; *e != nullptr; ++e) keep.push_back(*e);
  std::vector<char*> env, argv;
  for (std::string& e : keep) env.push_back(e.data());
  env.push_back(nullptr);
  std::vector<std::string> copy(args);
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = 0;
  int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage = {};
  if (failed != 0 || wait4(pid, &status, 0, &usage) != pid) return false;
  g_program_cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
};

// Median over the rounds of a[i] / b[i].
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (size_t i = 0; i < a.size(); ++i) ratios.push_back(a[i] / b[i]);
  return Median(ratios);
}

// Measures one corpus for rounds rounds and prints its row; false on any
// wrong output. Each round packs the corpus with the archive tool, decodes
// the archive in memory with both decoders, inflates zlib's copy, copies the
// corpus, and applies the archive with the whole program.
bool MeasureCorpus(const Corpus& corpus, const std::string& bin, int rounds, bool* goals_met) {
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

  uLongf packed_size = compressBound(data.size());
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, data.data(), data.size(), 6) != Z_OK) return false;
  std::vector<uint8_t> out(data.size() + kOutputBufferSize);

  // Untimed first runs of the packer and the program: they pay for the
  // first reads of the programs and the files, and for the system's first
  // large pages, which no later run does.
  std::remove(archive_path.c_str());
  bool ok = pack();
  std::vector<uint8_t> archive = ReadFile(archive_path);
  ok = ok && run();

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
  }
  ok = ok && ReadFile(target) == data;
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
  std::printf("%-12s %5.1f%% %5.1f%% %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f  %5.2f %5.2f  %5.2f %5.2f  %6.1f %6.0f%s\n",
              corpus.name.c_str(), 100.0 * archive.size() / data.size(),
              100.0 * packed_size / data.size(), mb / Best(t.oracle), mb / Best(t.fast),
              mb / Best(t.inflate), mb / Best(t.copy), mb / Best(t.whole), pack_speed, fast_zlib,
              fast_zlib_median, whole_fast, whole_fast_median, pack_median,
              1000 * Median(flushes), fast_zlib_median < kGoalFastOverZlib || whole_fast_median < kGoalWholeOverFast ||
                      pack_median < kGoalPackMegabytesPerSecond
                  ? "  BELOW GOAL"
                  : "");
  if (fast_zlib_median < kGoalFastOverZlib || whole_fast_median < kGoalWholeOverFast ||
      pack_median < kGoalPackMegabytesPerSecond)
    *goals_met = false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string folder, only;
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
    } else {
      std::fprintf(stderr,
                   "usage: decode_bench --corpora FOLDER [--quick] [--cpu] [--rounds N] [--only CORPUS]\n");
      return 2;
    }
  }
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
  std::printf("%-12s %6s %6s %7s %7s %7s %7s %7s %7s  %11s  %11s  %6s %6s\n", "", "sizes:", "",
              "output", "MB/s,", "best", "round", "", "input", "fast/zlib", "whole/fast",
              "pack", "flush");
  std::printf("%-12s %6s %6s %7s %7s %7s %7s %7s %7s  %5s %5s  %5s %5s  %6s %6s\n", "corpus",
              "ours", "zlib", "oracle", "fast", "zlib", "memcpy", "whole", "pack", "best", "med",
              "best", "med", "med", "ms");
  bool ok = true, goals_met = true;
  for (const Corpus& corpus : corpora) {
    if (only.empty() || only == corpus.name)
      ok = MeasureCorpus(corpus, bin, rounds, &goals_met) && ok;
  }
  std::printf(
      "sizes: archive (3ppack) and zlib level 6 as %% of the corpus. whole: the program applying\n"
      "the archive (start to exit). pack: 3ppack create, input MB/s. flush: what the program's\n"
      "flushes to the disk (before and after its commit) add to writing the corpus (wall-clock\n"
      "median). Ratios from the best times and the median of the rounds' own ratios.\n"
      "Goals: fast/zlib >= %.1f, whole/fast >= %.1f, pack >= %.0f MB/s%s\n",
      kGoalFastOverZlib, kGoalWholeOverFast, kGoalPackMegabytesPerSecond,
      goals_met ? " (all met)" : " (not all met)");
  // Speed depends on the machine and its load, so only wrong output fails.
  return ok ? 0 : 1;
}
