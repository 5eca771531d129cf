// Fuzz target: the fast decoder against the plain one. The same archive is
// walked with DecodeEntryDataLinear (the reference: escape first, then every
// row in table order) and with DecodeEntryData under the same progress rule
// (one of three, chosen by the input), and once more without a sink; any
// difference in the bytes written, the bytes left in the buffer, the
// produced count, the result, the end bit position or the progress calls
// aborts.
#include <cstddef>
#include <cstdint>

#include "fuzz_walk.h"

namespace {

uint32_t InputSeed(const uint8_t* data, size_t size) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return hash < 2 ? hash + 2 : hash;
}

void CompareWalks(const fuzz::WalkRecord& a, const fuzz::WalkRecord& b, bool bytes_too) {
  fuzz::Check(a.opened == b.opened, "open results differ");
  fuzz::Check(a.entry_count == b.entry_count, "entry counts differ");
  fuzz::Check(a.entries.size() == b.entries.size(), "walks stopped at different entries");
  for (size_t i = 0; i < a.entries.size(); ++i) {
    fuzz::CompareEntries(a.entries[i], b.entries[i], bytes_too);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::WalkRecord reference;
  static fuzz::WalkRecord fast;
  // The progress rule: due at every literal, never, or a varying stride.
  uint32_t hash = InputSeed(data, size);
  uint32_t seed = hash % 4 == 0 ? 0 : hash % 4 == 1 ? 1 : hash;
  fuzz::Walk(data, size, DecodeEntryDataLinear, true, seed, &reference);
  fuzz::Walk(data, size, DecodeEntryData, true, seed, &fast, (hash >> 8) % 2 == 1);
  CompareWalks(reference, fast, true);
  fuzz::Walk(data, size, DecodeEntryData, false, 0, &fast);
  CompareWalks(reference, fast, false);
  return 0;
}
