// What both benchmark programs time in memory (decode_bench on the host,
// decode_bench.exe on the 32-bit Windows target): a decoder run over an
// archive held in memory, into memory, checked against the corpus.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/entry_decoder.h"

// Decodes the archive's only entry into out (which has room for it and a
// buffer more) in place: each full buffer is left where it was decoded and
// the next one decoded right after it, as the program's check before the
// update decodes into the memory it keeps (and as zlib's uncompress writes
// straight into its output). False when the decoder fails or the bytes
// differ from expected.
bool DecodeInto(const std::vector<uint8_t>& archive, DecodeFunction decode,
                const std::vector<uint8_t>& expected, std::vector<uint8_t>& out);
