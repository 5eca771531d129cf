// 3ppack test: proves that the updater accepts the archive (its header is in
// the format and every entry decodes to its end within the file), and that it
// reads it as its maker meant: a sound code table, every entry decoding to
// exactly its size, a destination for every kind letter, and nothing after
// the last entry but the filler bits of the last byte (and the trailer, whose
// digest must match). What the updater would refuse is a fault; the rest is a
// warning, and a fault too with --strict. With --key (repeatable), a valid
// signature by one of those keys is required. Reports the first fault found.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "3ppack/archive_walk.h"
#include "3ppack/commands.h"
#include "3ppack/cp932.h"
#include "3ppack/signing.h"
#include "archive/archive_reader.h"

namespace {

struct TableCode {
  uint32_t code;   // left-aligned
  int length;
  int row;         // row number, or -1 for the escape
};

std::string RowName(int row) {
  return row < 0 ? std::string("the escape") : "row " + std::to_string(row);
}

// A table whose codes are not prefix-free, or which repeats a symbol, has
// rows that can never be decoded: no encoder makes one, so it marks damage.
// Sorted by code, a code that is a prefix of another is a prefix of its
// successor.
bool CheckTable(const CodeTable& table, std::string* fault) {
  bool seen[256] = {};
  for (int row = 0; row < table.symbol_count; ++row) {
    if (seen[table.symbols[row]]) {
      char text[120];
      snprintf(text, sizeof text, "code table: row %d repeats the symbol 0x%02X", row,
               table.symbols[row]);
      *fault = text;
      return false;
    }
    seen[table.symbols[row]] = true;
  }
  std::vector<TableCode> codes;
  codes.push_back({table.codes[kEscapeIndex], table.lengths[kEscapeIndex], -1});
  for (int row = 0; row < table.symbol_count; ++row) {
    codes.push_back({table.codes[row], table.lengths[row], row});
  }
  std::sort(codes.begin(), codes.end(), [](const TableCode& a, const TableCode& b) {
    return a.code != b.code ? a.code < b.code : a.length < b.length;
  });
  for (size_t i = 0; i + 1 < codes.size(); ++i) {
    const TableCode& a = codes[i];
    const TableCode& b = codes[i + 1];
    if ((b.code & LengthMask(a.length)) == a.code) {
      *fault = "code table: the code of " + RowName(a.row) + " is a prefix of the code of " +
               RowName(b.row) + " (or equal to it)";
      return false;
    }
  }
  return true;
}

// Checks that the updater can read one walked entry; false with the fault
// described.
bool CheckEntryReads(WalkStep step, const WalkedEntry& e, std::string* fault) {
  std::string who = "entry " + std::to_string(e.index + 1);
  if (step == kWalkHeaderCut) {
    *fault = who + ": the file ends inside its record (record begins at bit " +
             std::to_string(e.record_bit) + ")";
    return false;
  }
  if (step == kWalkDecodeFailed) {
    *fault = who + " '" + Cp932ForDisplay(e.header.name) + "': its data does not decode at bit " +
             std::to_string(e.end_bit) + " (data begins at bit " + std::to_string(e.data_bit) +
             ", " + std::to_string(e.produced) + " of " + std::to_string(e.header.size) +
             " bytes decoded)";
    return false;
  }
  return true;
}

// Checks that a readable entry is what an encoder would make; false with the
// fault described.
bool CheckEntryIsSound(const WalkedEntry& e, std::string* fault) {
  std::string who = "entry " + std::to_string(e.index + 1) + " '" + Cp932ForDisplay(e.header.name) + "'";
  if (e.produced != e.header.size) {
    *fault = who + ": a run carries its data to " + std::to_string(e.produced) +
             " bytes, past its size of " + std::to_string(e.header.size) + " (data ends at bit " +
             std::to_string(e.end_bit) + ")";
    return false;
  }
  if (e.header.name[0] == '\0') {
    *fault = who + ": the name is empty (record begins at bit " + std::to_string(e.record_bit) + ")";
    return false;
  }
  if (FindKindFolder(e.header.kind) == nullptr) {
    char text[80];
    snprintf(text, sizeof text, ": the kind letter 0x%02X names no destination", e.header.kind);
    *fault = who + text + " (record begins at bit " + std::to_string(e.record_bit) + ")";
    return false;
  }
  return true;
}

// A finding the updater does not refuse: a fault with --strict, else a
// warning. Returns true when the test goes on.
bool NoteUnsound(const std::string& path, const std::string& finding, bool strict) {
  printf("%s: %s: %s\n", path.c_str(), strict ? "FAULT" : "warning", finding.c_str());
  return !strict;
}

std::string JoinKeyPaths(const std::vector<std::string>& paths) {
  std::string joined;
  for (const std::string& path : paths) joined += (joined.empty() ? "" : ", ") + path;
  return joined;
}

}  // namespace

int RunTest(int argc, char** argv) {
  bool strict = false;
  std::string path;
  std::vector<std::string> key_paths;
  bool usage = false;
  for (int i = 0; i < argc && !usage; ++i) {
    std::string arg = argv[i];
    if (arg == "--strict") {
      strict = true;
    } else if (arg == "--key" && i + 1 < argc && key_paths.size() < kMaxTrustedKeys) {
      key_paths.push_back(argv[++i]);
    } else if (path.empty() && !arg.empty() && arg[0] != '-') {
      path = arg;
    } else {
      usage = true;
    }
  }
  if (usage || path.empty()) {
    fprintf(stderr, "usage: 3ppack test [--strict] [--key PUBLIC_KEY]... FILE   (up to %d keys)\n",
            static_cast<int>(kMaxTrustedKeys));
    return 2;
  }
  uint8_t points[kMaxTrustedKeys][kPublicPointSize];
  std::string fault;
  for (size_t k = 0; k < key_paths.size(); ++k) {
    if (!ReadPublicKeyFile(key_paths[k], points[k], &fault)) {
      fprintf(stderr, "3ppack test: %s\n", fault.c_str());
      return 2;
    }
  }
  FileBytes bytes;
  ArchiveReader reader;
  if (!OpenArchiveFile(&reader, path, &bytes, &fault)) {
    printf("%s: FAULT: %s\n", path.c_str(), fault.c_str());
    return 1;
  }
  const ArchiveHeader& header = reader.header;
  if (!CheckTable(header.table, &fault) && !NoteUnsound(path, fault, strict)) return 1;
  uint64_t total = 0;
  for (int i = 0; i < header.entry_count; ++i) {
    DecodeSink sink = {nullptr, nullptr, UINT64_MAX, nullptr};
    DecodeOutput out;
    WalkedEntry entry;
    WalkStep step = WalkNextEntry(&reader, i, &sink, &out, &entry);
    if (!CheckEntryReads(step, entry, &fault)) {
      printf("%s: FAULT: %s\n", path.c_str(), fault.c_str());
      return 1;
    }
    if (!CheckEntryIsSound(entry, &fault) && !NoteUnsound(path, fault, strict)) return 1;
    total += entry.produced;
  }
  uint64_t end = ReaderBitPosition(&reader.bits);
  uint64_t data_bits = 8ull * reader.trailer.offset;
  bool has_trailer = reader.trailer.form == kTrailerFound;
  if (end > data_bits || data_bits - end >= 8) {
    std::string finding = "the last entry ends at bit " + std::to_string(end) + " but the " +
                          (has_trailer ? "trailer begins" : "file goes on to") + " bit " +
                          std::to_string(data_bits);
    // The updater ignores bytes after the last entry, but not in front of a
    // trailer: there they are damage.
    if (has_trailer) {
      printf("%s: FAULT: %s\n", path.c_str(), finding.c_str());
      return 1;
    }
    if (!NoteUnsound(path, finding, strict)) return 1;
  }
  TrailerStatus trailer = FinishWalk(&reader);
  if (!trailer.intact) {
    printf("%s: FAULT: %s\n", path.c_str(),
           has_trailer ? "the trailer's SHA-256 does not match the archive's bytes"
                       : "a trailer follows the last entry, but its footer is damaged");
    return 1;
  }
  std::string trust = has_trailer ? "SHA-256 ok" : "no trailer";
  if (trailer.is_signed) trust += ", signed, key id " + trailer.key_id;
  // The signature's verdict stands on its own: a warning noted above is
  // not a signature fault.
  if (!key_paths.empty()) {
    const char* refusal = nullptr;
    switch (CheckTrailerSignatureByAny(reader.trailer, points, static_cast<int>(key_paths.size()))) {
      case kSignatureValid: trust += ", signature valid"; break;
      case kSignatureMissing: refusal = "the archive is not signed"; break;
      case kSignatureOtherKey: refusal = "the archive is signed by another key"; break;
      case kSignatureBad: refusal = "the signature does not hold"; break;
    }
    if (refusal != nullptr) {
      printf("%s: FAULT: %s (--key %s)\n", path.c_str(), refusal, JoinKeyPaths(key_paths).c_str());
      return 1;
    }
  }
  printf("%s: ok: version %s, %u entries, %llu bytes of data, %s\n", path.c_str(),
         Cp932ForDisplay(header.version).c_str(), header.entry_count,
         static_cast<unsigned long long>(total), trust.c_str());
  return 0;
}
