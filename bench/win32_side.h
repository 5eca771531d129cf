// The benchmark's side on the shipped target: the 32-bit Windows programs
// under Wine, timed in the same rounds as the host's steps. Per round,
// decode_bench.exe times the decoders, zlib and memcpy in its own process
// (one Wine start), and 3pupdate.exe applies the archive in a Wine prefix
// (bench/run_bench.sh makes it: WINEPREFIX, the product installed in C:\P,
// the archive in C:\Update). A Wine start is timed too, apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The times of one corpus on the target, one element per round.
struct Win32Times {
  std::vector<double> oracle, fast, inflate, copy;  // decode_bench.exe's steps
  std::vector<double> whole;  // 3pupdate.exe from its start to its file in place, Wine's start included
  std::vector<double> start;  // Wine starting a program that does nothing, and its end
};

// Where the target's programs and files are.
struct Win32Side {
  std::string bin;     // folder of decode_bench.exe and 3pupdate.exe
  std::string prefix;  // the Wine prefix (WINEPREFIX)
};

// Puts archive in the prefix's C:\Update for the program's runs; false when
// it cannot.
bool PlaceWin32Archive(const Win32Side& side, const std::vector<uint8_t>& archive);

// One round: decode_bench.exe on the corpus, archive and zlib files (paths
// Wine reads through its Z: drive), then Wine's start, then the program
// applying the archive with /quiet, timed until its file of size bytes is in
// place (it then ends by itself, and its transcript must be
// host_transcript's bytes). cpu: CPU time instead of the
// wall clock. False, with a line on standard error, on any failure.
bool MeasureWin32Round(const Win32Side& side, const std::string& work, const std::string& corpus,
                       const std::string& archive, const std::string& zlib, size_t size,
                       const std::string& host_transcript, bool cpu, Win32Times* times);

// True when the program's last run left the corpus's bytes in C:\P.
bool Win32OutputMatches(const Win32Side& side, const std::vector<uint8_t>& data);
