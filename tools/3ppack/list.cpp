// 3ppack list: the archive's version, entry count and one line per entry, as
// text or as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "3ppack/archive_walk.h"
#include "3ppack/commands.h"
#include "3ppack/cp932.h"
#include "archive/archive_reader.h"

namespace {

// text as a JSON string literal (text is UTF-8 from Cp932ForJson).
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\u%04x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void PrintEntry(const WalkedEntry& e, bool json) {
  std::string name = json ? Cp932ForJson(e.header.name) : Cp932ForDisplay(e.header.name);
  std::string kind(1, static_cast<char>(e.header.kind));
  uint64_t bits = e.end_bit - e.data_bit;
  if (json) {
    printf("%s\n    {\"kind\": %s, \"size\": %u, \"time\": %d, \"time_utc\": \"%s\", "
           "\"bits\": %llu, \"name\": %s}",
           e.index == 0 ? "" : ",", JsonString(kind).c_str(), e.header.size,
           e.header.modification_time, FormatUtc(e.header.modification_time).c_str(),
           static_cast<unsigned long long>(bits), JsonString(name).c_str());
  } else {
    bool known = FindKindFolder(e.header.kind) != nullptr;
    printf("%s %10u  %s %12llu  %s\n", known ? kind.c_str() : "?",
           e.header.size, FormatUtc(e.header.modification_time).c_str(),
           static_cast<unsigned long long>(bits), name.c_str());
  }
}

}  // namespace

int RunList(int argc, char** argv) {
  std::string path;
  bool json = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (path.empty() && !arg.empty() && arg[0] != '-') {
      path = arg;
    } else {
      fprintf(stderr, "usage: 3ppack list FILE [--json]\n");
      return 2;
    }
  }
  if (path.empty()) {
    fprintf(stderr, "usage: 3ppack list FILE [--json]\n");
    return 2;
  }
  FileBytes bytes;
  std::string error;
  ArchiveReader reader;
  if (!OpenArchiveFile(&reader, path, &bytes, &error)) {
    fprintf(stderr, "3ppack list: %s\n", error.c_str());
    return 1;
  }
  return ListOpenArchive(&reader, "list", json);
}

// Decodes every entry, since the next record starts only after the data.
// On a damaged entry the listing stops there and the status is 1.
int ListOpenArchive(ArchiveReader* reader, const char* command, bool json) {
  const ArchiveHeader& header = reader->header;
  std::string version = json ? Cp932ForJson(header.version) : Cp932ForDisplay(header.version);
  if (json) {
    printf("{\n  \"version\": %s,\n  \"entry_count\": %u,\n  \"entries\": [",
           JsonString(version).c_str(), header.entry_count);
  } else {
    printf("version: %s\nentries: %u\n", version.c_str(), header.entry_count);
    printf("kind       size  modified (UTC)                bits  name\n");
  }
  int status = 0;
  for (int i = 0; i < header.entry_count; ++i) {
    DecodeSink sink = {nullptr, nullptr, UINT64_MAX, nullptr};
    DecodeOutput out;
    WalkedEntry entry;
    WalkStep step = WalkNextEntry(reader, i, &sink, &out, &entry);
    if (step != kWalkEntry) {
      fprintf(stderr, "3ppack %s: entry %d is damaged at bit %llu; run 3ppack test\n", command,
              i + 1, static_cast<unsigned long long>(entry.end_bit));
      status = 1;
      break;
    }
    PrintEntry(entry, json);
  }
  if (status != 0) {
    if (json) printf("\n  ]\n}\n");
    return status;
  }
  TrailerStatus trailer = FinishWalk(reader);
  // Where the entries end and whether the digest matches are two findings:
  // a stray byte in front of a matching trailer is not a digest fault.
  const char* digest = trailer.digest_matches ? "ok" : "MISMATCH";
  const char* layout = trailer.in_place ? "" : "; the last entry does not end where the trailer begins";
  if (json) {
    printf("\n  ],\n  \"trailer\": ");
    if (trailer.form != kTrailerFound) {
      printf("null\n}\n");
    } else {
      printf("{\"digest\": \"%s\", \"layout\": \"%s\", \"signed\": %s, \"key_id\": %s}\n}\n",
             trailer.digest_matches ? "ok" : "mismatch", trailer.in_place ? "ok" : "gap",
             trailer.is_signed ? "true" : "false",
             trailer.is_signed ? JsonString(trailer.key_id).c_str() : "null");
    }
  } else if (trailer.form != kTrailerFound) {
    printf("trailer: none\n");
  } else if (trailer.is_signed) {
    printf("trailer: SHA-256 %s, signed, key id %s%s\n", digest, trailer.key_id.c_str(), layout);
  } else {
    printf("trailer: SHA-256 %s, unsigned%s\n", digest, layout);
  }
  if (!trailer.intact) {
    fprintf(stderr, "3ppack %s: the archive's bytes are damaged; run 3ppack test\n", command);
    return 1;
  }
  return 0;
}
