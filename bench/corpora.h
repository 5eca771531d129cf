// The benchmarks' corpora: three generated stand-ins for the kinds of file an
// update carries, and three real ones made from installed files by
// bench/make_corpora.py (Windows DLLs, Japanese manual pages in code page
// 932, icons as 24-bit bitmaps). All are the same bytes on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Corpus {
  std::string name;           // as the tables print it
  std::vector<uint8_t> data;  // exactly the size asked for
};

// The generated corpora, then the real ones read from folder (files
// NAME-SIZE.bin). False, with the missing file in *error, when a real one is
// not there.
bool LoadCorpora(size_t size, const std::string& folder, std::vector<Corpus>* corpora,
                 std::string* error);

// English-like text: words of a Zipf-distributed vocabulary, punctuation,
// numbers and line breaks.
std::vector<uint8_t> MakeTextCorpus(size_t size);
// Executable-like bytes: code with skewed opcodes and small immediates,
// string tables, structured tables and zero padding.
std::vector<uint8_t> MakeExecutableCorpus(size_t size);
// An 8-bit palette bitmap: flat areas, shapes, gradients and dithered
// patches, behind a bitmap file header.
std::vector<uint8_t> MakeBitmapCorpus(size_t size);
