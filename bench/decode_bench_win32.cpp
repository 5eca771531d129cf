// decode_bench.exe: the benchmark's in-memory steps on the shipped target
// (the 32-bit Windows program's compiler and flags), run under Wine by the
// host's decode_bench once per round, so that both builds meet the shared
// machine in the same states. It times the plain and fast decoders, zlib's
// uncompress (mingw's zlib, linked statically) and memcpy on the files the
// host made, checks every output against the corpus, and prints the seconds
// of each step on one line:
//
//   decode_bench.exe CORPUS ARCHIVE ZLIB [--cpu]
//     -> "oracle fast zlib memcpy" in seconds, or "FAILED ..." (status 1)
//   decode_bench.exe --start  (does nothing: times the start of a Wine program)
//
// --cpu reads the thread's CPU time. Windows (and Wine) count it in clock
// ticks, so each step is then repeated until it has run for kCpuSpan
// seconds and the time of one run is given.
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode_steps.h"

namespace {

constexpr double kCpuSpan = 0.25;

std::vector<uint8_t> ReadFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
}

double WallSeconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double ThreadCpuSeconds() {
  FILETIME created, ended, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return 1e-7 * static_cast<double>(static_cast<uint64_t>(t.dwHighDateTime) << 32 |
                                      t.dwLowDateTime);
  };
  return seconds(kernel) + seconds(user);
}

bool g_cpu_clock = false;

// Seconds of one call of step, or a negative number when it fails.
template <typename Step>
double TimeStep(Step step) {
  if (!g_cpu_clock) {
    double start = WallSeconds();
    if (!step()) return -1;
    return WallSeconds() - start;
  }
  double start = WallSeconds(), cpu = ThreadCpuSeconds();
  int runs = 0;
  do {
    if (!step()) return -1;
    ++runs;
  } while (WallSeconds() - start < kCpuSpan);
  return (ThreadCpuSeconds() - cpu) / runs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--start") == 0) return 0;
  if (argc < 4 || argc > 5 || (argc == 5 && std::strcmp(argv[4], "--cpu") != 0)) {
    std::fprintf(stderr, "usage: decode_bench.exe CORPUS ARCHIVE ZLIB [--cpu] | --start\n");
    return 2;
  }
  g_cpu_clock = argc == 5;
  std::vector<uint8_t> data = ReadFile(argv[1]);
  std::vector<uint8_t> archive = ReadFile(argv[2]);
  std::vector<uint8_t> packed = ReadFile(argv[3]);
  std::vector<uint8_t> out(data.size() + kOutputBufferSize);
  double oracle = TimeStep([&] { return DecodeInto(archive, DecodeEntryDataLinear, data, out); });
  double fast = TimeStep([&] { return DecodeInto(archive, DecodeEntryData, data, out); });
  double inflate = TimeStep([&] {
    uLongf size = static_cast<uLongf>(out.size());
    return uncompress(out.data(), &size, packed.data(), static_cast<uLong>(packed.size())) ==
               Z_OK &&
           size == data.size() && std::memcmp(out.data(), data.data(), size) == 0;
  });
  double copy = TimeStep([&] {
    std::memcpy(out.data(), data.data(), data.size());
    return out[data.size() / 2] == data[data.size() / 2];
  });
  if (data.empty() || oracle <= 0 || fast <= 0 || inflate <= 0 || copy <= 0) {
    std::printf("FAILED: a decoder or zlib gave wrong output\n");
    return 1;
  }
  std::printf("%.9f %.9f %.9f %.9f\n", oracle, fast, inflate, copy);
  return 0;
}
