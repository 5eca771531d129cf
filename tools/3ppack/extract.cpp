// 3ppack extract: writes each entry where the updater would put it, with the
// installation folder and the Windows folder mapped under one host folder:
//   B -> DIR/install/bitmap/NAME   I -> DIR/install/NAME
//   S -> DIR/windows/system/NAME   W -> DIR/windows/NAME
// Backslashes in names make subfolders; names that would leave DIR are
// refused. --plain decodes with the plain reference decoder instead of the
// updater's fast one, so that tests can hold the updater's output against a
// reading that does not go through its lookup tables.
#include <cstdio>
#include <string>
#include <vector>

#include "3ppack/archive_walk.h"
#include "3ppack/commands.h"
#include "3ppack/cp932.h"
#include "3ppack/pack_files.h"
#include "archive/archive_reader.h"

namespace {

// Builds the host path of an entry. The name is split in its UTF-8 form, so
// that a double-byte character whose second byte is 0x5C stays one
// character, as Windows treats it when the file is opened; a name that is
// not valid code page 932 is used byte for byte. Separators (\ and /) make
// folders; empty and "." components fall away as Windows drops them; "..",
// a leading separator and any colon (drive letters, streams) are refused.
// Each component is then given in host text.
bool MapEntryPath(const EntryHeader& header, const std::string& dir, std::string* path,
                  std::string* error) {
  std::string folder = TreeFolderOfKind(header.kind);
  if (folder.empty()) {
    char text[64];
    snprintf(text, sizeof text, "the kind letter 0x%02X names no destination", header.kind);
    *error = text;
    return false;
  }
  std::string name;
  bool converted = Cp932ToUtf8(header.name, &name);
  if (!converted) name = header.name;
  if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos) {
    *error = "the name is empty, absolute or holds a drive letter or colon";
    return false;
  }
  *path = JoinPath(dir, folder);
  size_t start = 0;
  bool any = false;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      *error = "the name climbs out of its folder with ..";
      return false;
    }
    std::string host_part;
    if (converted && !ConvertText(kTextHost, kTextUtf8, part, &host_part)) {
      *error = "the name has no form in this system's code page";
      return false;
    }
    *path = JoinPath(*path, converted ? host_part : part);
    any = true;
  }
  if (!any) {
    *error = "the name has no file name in it";
    return false;
  }
  return true;
}

// The one condition under which an entry extracts, in the checking pass and
// in the writing pass alike: its data decodes, to exactly its size (a run
// that carries it past its size is refused, not cut).
bool DecodedWhole(DecodeResult result, uint64_t produced, const EntryHeader& header) {
  return result == kDecodeDone && produced == header.size;
}

void WriteBuffer(void* context, const uint8_t* bytes, size_t count) {
  WriteExtractFile(static_cast<ExtractFile*>(context), bytes, count);
}

}  // namespace

int RunExtract(int argc, char** argv) {
  std::string path, dir;
  DecodeFunction decode = DecodeEntryData;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-C" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--plain") {
      decode = DecodeEntryDataLinear;
    } else if (path.empty() && !arg.empty() && arg[0] != '-') {
      path = arg;
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty() || dir.empty()) {
    fprintf(stderr, "usage: 3ppack extract [--plain] FILE -C DIR\n");
    return 2;
  }
  FileBytes bytes;
  std::string error;
  ArchiveReader reader;
  if (!OpenArchiveFile(&reader, path, &bytes, &error)) {
    fprintf(stderr, "3ppack extract: %s\n", error.c_str());
    return 1;
  }
  // Nothing is written from an archive whose bytes are damaged: a first pass
  // decodes every entry and checks the trailer's digest.
  bool intact = true;
  for (int i = 0; i < reader.header.entry_count && intact; ++i) {
    DecodeSink sink = {nullptr, nullptr, UINT64_MAX, nullptr};
    DecodeOutput out;
    WalkedEntry entry;
    WalkStep step = WalkNextEntry(&reader, i, &sink, &out, &entry);
    intact = DecodedWhole(step == kWalkEntry ? kDecodeDone : kDecodeFailed, entry.produced,
                          entry.header);
  }
  if (!intact || !FinishWalk(&reader).intact || ReadArchiveAgain(&reader) != kArchiveOpened) {
    fprintf(stderr, "3ppack extract: '%s' is damaged (run 3ppack test); nothing extracted\n",
            path.c_str());
    return 1;
  }
  const ArchiveHeader& header = reader.header;
  int status = 0;
  for (int i = 0; i < header.entry_count; ++i) {
    // The header decides the destination before any data is decoded, so the
    // walk reads it through its own step; a refused entry is still decoded
    // (without writing) so that the next one is found.
    ExtractFile file = {nullptr, "", false};
    DecodeSink sink = {nullptr, nullptr, UINT64_MAX, nullptr};
    DecodeOutput out;
    WalkedEntry entry;
    entry.index = i;
    entry.record_bit = ReaderBitPosition(&reader.bits);
    entry.produced = 0;
    if (!ReadEntryHeader(&reader, &entry.header)) {
      fprintf(stderr, "3ppack extract: entry %d: the file ends inside its record\n", i + 1);
      return 1;
    }
    std::string shown = Cp932ForDisplay(entry.header.name);
    std::string target;
    bool writing = MapEntryPath(entry.header, dir, &target, &error);
    if (!writing) {
      fprintf(stderr, "3ppack extract: entry %d '%s' skipped: %s\n", i + 1, shown.c_str(),
              error.c_str());
      status = 1;
    } else if (!BeginExtractFile(target, &file, &error)) {
      fprintf(stderr, "3ppack extract: entry %d '%s': %s\n", i + 1, shown.c_str(), error.c_str());
      return 1;
    }
    if (writing) sink = {WriteBuffer, nullptr, UINT64_MAX, &file};
    DecodeResult result = decode(&reader, entry.header.size, &sink, &out);
    bool decoded = DecodedWhole(result, out.produced, entry.header);
    if (writing) {
      if (decoded) WriteExtractFile(&file, out.buffer, out.fill);
      if (!EndExtractFile(&file, decoded, entry.header.modification_time, &error) && decoded) {
        fprintf(stderr, "3ppack extract: %s\n", error.c_str());
        return 1;
      }
    }
    if (!decoded) {
      fprintf(stderr, "3ppack extract: entry %d '%s': its data is damaged near bit %llu\n", i + 1,
              shown.c_str(), static_cast<unsigned long long>(ReaderBitPosition(&reader.bits)));
      return 1;
    }
    if (writing) printf("%s\n", target.c_str());
  }
  return status;
}
