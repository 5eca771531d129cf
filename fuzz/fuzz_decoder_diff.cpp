// Fuzz target: the fast decoder against the plain one. The same archive is
// walked with DecodeEntryDataLinear (the reference: escape first, then every
// row in table order) and with DecodeEntryData under the same progress rule
// (one of three, chosen by the input), each with a reader of its own, and
// once more without a sink; any difference in the bytes written, the bytes
// left in the buffer, the produced count, the result, the end bit position
// or the writes and progress calls aborts, as does a broken promise.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/archive_walk.h"

namespace {

uint32_t InputSeed(const uint8_t* data, size_t size) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return hash < 2 ? hash + 2 : hash;
}

void Check(const std::string& problem) {
  if (problem.empty()) return;
  fprintf(stderr, "fuzz invariant broken: %s\n", problem.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ArchiveReader reference_reader;
  static ArchiveReader fast_reader;
  // The progress rule: due at every literal, never, or a varying stride.
  uint32_t hash = InputSeed(data, size);
  WalkOptions options;
  if (hash % 4 == 1) options.progress = {UINT64_MAX, 1, 0};
  if (hash % 4 > 1) options.progress = {0, 1, hash};
  if (hash % 4 > 1) options.progress.first_due = NextDue(options.progress, 0);
  WalkRecord reference =
      WalkArchive(&reference_reader, data, size, DecodeEntryDataLinear, options);
  Check(reference.broken);
  options.in_place = (hash >> 8) % 2 == 1;
  WalkRecord fast = WalkArchive(&fast_reader, data, size, DecodeEntryData, options);
  Check(fast.broken);
  Check(CompareWalks(reference, fast));
  options.with_sink = false;
  options.in_place = false;
  fast = WalkArchive(&fast_reader, data, size, DecodeEntryData, options);
  Check(CompareWalks(reference, fast, false));
  return 0;
}
