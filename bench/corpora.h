// Generated corpora for the decoder benchmark: deterministic stand-ins for
// the three kinds of file an update carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// English-like text: words of a Zipf-distributed vocabulary, punctuation,
// numbers and line breaks.
std::vector<uint8_t> MakeTextCorpus(size_t size);
// Executable-like bytes: code with skewed opcodes and small immediates,
// string tables, structured tables and zero padding.
std::vector<uint8_t> MakeExecutableCorpus(size_t size);
// An 8-bit palette bitmap: flat areas, shapes, gradients and dithered
// patches, behind a bitmap file header.
std::vector<uint8_t> MakeBitmapCorpus(size_t size);
