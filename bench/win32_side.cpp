// The benchmark's side on the 32-bit Windows target, under Wine. See
// win32_side.h.
#include "win32_side.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "programs.h"

namespace {

// The Wine loader that bench/run_bench.sh chose (WINELOADER): the 32-bit
// one, or wine64 where the machine runs no 32-bit code.
std::string WineLoader() {
  const char* loader = std::getenv("WINELOADER");
  return loader != nullptr && *loader != 0 ? loader : "wine";
}

constexpr double kRunTimeout = 300;   // seconds a Wine run may take before it is a failure
constexpr int kPollMicroseconds = 500;  // how often the program's file is looked for

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string TargetPath(const Win32Side& side) { return side.prefix + "/drive_c/P/whole.bin"; }

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
}

// Runs decode_bench.exe once and reads its four step times.
bool RunSteps(const Win32Side& side, const std::string& work, const std::string& corpus,
              const std::string& archive, const std::string& zlib, bool cpu, Win32Times* times) {
  std::string output = work + "/win32_steps.txt";
  std::vector<std::string> args = {WineLoader(), side.bin + "/decode_bench.exe", corpus, archive, zlib};
  if (cpu) args.push_back("--cpu");
  double ignored = 0;
  if (!WaitForProgram(StartProgram(args, work, {}, output), &ignored)) return false;
  double step[4] = {0, 0, 0, 0};
  FILE* file = std::fopen(output.c_str(), "r");
  int read = file != nullptr ? std::fscanf(file, "%lf %lf %lf %lf", &step[0], &step[1], &step[2],
                                           &step[3])
                             : 0;
  if (file != nullptr) std::fclose(file);
  if (read != 4) return false;
  times->oracle.push_back(step[0]);
  times->fast.push_back(step[1]);
  times->inflate.push_back(step[2]);
  times->copy.push_back(step[3]);
  return true;
}

// Times Wine starting decode_bench.exe --start, which does nothing.
bool RunStart(const Win32Side& side, const std::string& work, bool cpu, Win32Times* times) {
  double begin = Now(), cpu_seconds = 0;
  bool ok = WaitForProgram(
      StartProgram({WineLoader(), side.bin + "/decode_bench.exe", "--start"}, work, {}, ""),
      &cpu_seconds);
  times->start.push_back(cpu ? cpu_seconds : Now() - begin);
  return ok;
}

// True once the program has ended; it is left to be waited for.
bool HasEnded(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Times 3pupdate.exe applying the archive in C:\Update until its file is in
// place in C:\P with all its bytes (the commit moves it there whole); then
// waits for the program's end and checks its transcript (which a file gets
// at the end) against the host program's. It runs with /quiet, which makes
// no pause at the end, so nothing has to cut that pause short: a SIGINT to
// a Wine process runs Wine's console handler from inside the signal
// handler, and one that lands while the program is in Wine's own file code
// can deadlock it (seen once, in a test run).
bool RunWhole(const Win32Side& side, const std::string& work, size_t size,
              const std::string& host_transcript, bool cpu, Win32Times* times) {
  std::string output = work + "/win32_transcript.txt";
  std::remove(TargetPath(side).c_str());
  sync();
  double begin = Now();
  pid_t pid = StartProgram({WineLoader(), side.bin + "/3pupdate.exe", "/quiet"},
                           side.prefix + "/drive_c/Update", {}, output);
  if (pid < 0) return false;
  double seconds = -1;
  while (Now() - begin < kRunTimeout) {
    // Looked at before the file, so that a program that ends just after
    // putting it in place is not taken for one that ended without it.
    bool ended = HasEnded(pid);
    if (FileSize(TargetPath(side)) == static_cast<long long>(size)) {
      seconds = Now() - begin;
      break;
    }
    if (ended) break;
    usleep(kPollMicroseconds);
  }
  if (seconds < 0) kill(pid, SIGKILL);
  double cpu_seconds = 0;
  bool exited = WaitForProgram(pid, &cpu_seconds);
  if (seconds < 0 || !exited || ReadBytes(output) != ReadBytes(host_transcript)) return false;
  times->whole.push_back(cpu ? cpu_seconds : seconds);
  return true;
}

}  // namespace

bool PlaceWin32Archive(const Win32Side& side, const std::vector<uint8_t>& archive) {
  std::ofstream file(side.prefix + "/drive_c/Update/3pupdate.z", std::ios::binary);
  file.write(reinterpret_cast<const char*>(archive.data()),
             static_cast<std::streamsize>(archive.size()));
  return static_cast<bool>(file);
}

bool MeasureWin32Round(const Win32Side& side, const std::string& work, const std::string& corpus,
                       const std::string& archive, const std::string& zlib, size_t size,
                       const std::string& host_transcript, bool cpu, Win32Times* times) {
  if (!RunSteps(side, work, corpus, archive, zlib, cpu, times)) {
    std::fprintf(stderr, "decode_bench: decode_bench.exe failed under Wine (see %s)\n",
                 work.c_str());
    return false;
  }
  if (!RunStart(side, work, cpu, times) ||
      !RunWhole(side, work, size, host_transcript, cpu, times)) {
    std::fprintf(stderr, "decode_bench: 3pupdate.exe did not apply the archive under Wine\n");
    return false;
  }
  return true;
}

bool Win32OutputMatches(const Win32Side& side, const std::vector<uint8_t>& data) {
  return ReadBytes(TargetPath(side)) == data;
}
