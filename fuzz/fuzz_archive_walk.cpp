// Fuzz target: the archive as a damaged or hostile file would reach the
// updater. Opens the bytes (finding the trailer from their end), checks the
// parsed header, reads every entry's header and decodes its data with the
// fast decoder into a recording sink that reports progress, checking every
// promise the decoder makes; an archive that decodes whole is then checked
// against its trailer and read a second time, as the updater may.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/archive_walk.h"

namespace {

// A seed for the progress rule, from the input's bytes (FNV-1a), so that
// each input meets one rule and mutations meet them all.
uint32_t InputSeed(const uint8_t* data, size_t size) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return hash % 8 == 0 ? 0 : hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ArchiveReader reader;
  uint32_t seed = InputSeed(data, size);
  ProgressRule rule = {1, 1, seed};
  if (seed == 1) rule = {UINT64_MAX, 1, 0};  // never due
  if (seed > 1) rule.first_due = NextDue(rule, 0);
  WalkRecord walk = WalkArchive(&reader, data, size, DecodeEntryData, {rule});
  if (!walk.broken.empty()) {
    fprintf(stderr, "fuzz invariant broken: %s\n", walk.broken.c_str());
    abort();
  }
  return 0;
}
