// 3ppack create: checks every entry, packs them and writes the archive in one
// step. Any refusal names its culprit and leaves no file behind.
#include "3ppack/create.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "3ppack/commands.h"
#include "3ppack/cp932.h"
#include "3ppack/encoder.h"
#include "3ppack/pack_files.h"
#include "3ppack/signing.h"
#include "archive/archive_reader.h"

namespace {

void PrintCreateUsage() {
  fprintf(stderr,
          "usage: 3ppack create -o FILE -V VERSION [-m MANIFEST]... [-e KIND SOURCE NAME]...\n"
          "                     [-E KIND SOURCE NAME SECONDS]... [-t SECONDS] [-L N] [--raw]\n"
          "                     [--no-trailer | --sign KEY]\n"
          "(3ppack --help tells more)\n");
}

// Parses the arguments after "create". Returns 0, or the exit status after
// printing why: 2 for misuse, 1 for a manifest that cannot be read.
int ParseCreateArguments(int argc, char** argv, PackOptions* options) {
  int entry_number = 0;
  for (int i = 0; i < argc; ++i) {
    int taken = ParseTrailerOption("create", argc, argv, &i, options);
    if (taken < 0) return 2;
    if (taken > 0) continue;
    std::string arg = argv[i];
    auto need = [&](int count) {
      if (i + count < argc) return true;
      fprintf(stderr, "3ppack create: %s needs %d argument(s)\n", arg.c_str(), count);
      return false;
    };
    if (arg == "-o" && need(1)) {
      options->output = argv[++i];
    } else if (arg == "-V" && need(1)) {
      options->version = argv[++i];
      options->has_version = true;
    } else if (arg == "-t" && need(1)) {
      options->time = argv[++i];
      options->has_time = true;
    } else if (arg == "-L" && need(1)) {
      char* end = nullptr;
      long limit = strtol(argv[++i], &end, 10);
      if (*end != '\0' || limit < 1 || limit > kMaxCodeLength) {
        fprintf(stderr, "3ppack create: -L takes a code length from 1 to 32\n");
        return 2;
      }
      options->length_limit = static_cast<int>(limit);
    } else if (arg == "--raw") {
      options->raw = true;
    } else if (arg == "-m" && need(1)) {
      std::string error;
      if (!ReadManifest(argv[++i], &options->entries, &error)) {
        fprintf(stderr, "3ppack create: %s\n", error.c_str());
        return 1;
      }
    } else if ((arg == "-e" && need(3)) || (arg == "-E" && need(4))) {
      SourceEntry e;
      e.kind = argv[i + 1];
      e.source = argv[i + 2];
      e.name = argv[i + 3];
      e.has_time = arg == "-E";
      if (e.has_time) e.time = argv[i + 4];
      e.origin = "entry " + std::to_string(++entry_number) + " (" + arg + ")";
      i += e.has_time ? 4 : 3;
      options->entries.push_back(e);
    } else if (arg == "-o" || arg == "-V" || arg == "-t" || arg == "-L" || arg == "-m" ||
               arg == "-e" || arg == "-E") {
      return 2;  // need() has said what is missing
    } else {
      fprintf(stderr, "3ppack create: unknown argument '%s'\n", arg.c_str());
      return 2;
    }
  }
  if (options->output.empty() || !options->has_version) {
    fprintf(stderr, "3ppack create: -o FILE and -V VERSION are required\n");
    return 2;
  }
  return 0;
}

}  // namespace

int ParseTrailerOption(const char* command, int argc, char** argv, int* i, PackOptions* options) {
  std::string arg = argv[*i];
  if (arg == "--no-trailer") {
    options->trailer = false;
  } else if (arg == "--sign") {
    if (*i + 1 >= argc) {
      fprintf(stderr, "3ppack %s: --sign needs a private key file\n", command);
      return -1;
    }
    options->sign_key = argv[++*i];
  } else {
    return 0;
  }
  if (!options->trailer && !options->sign_key.empty()) {
    fprintf(stderr, "3ppack %s: --sign needs the trailer; drop --no-trailer\n", command);
    return -1;
  }
  return 1;
}

namespace {

// The stored form of a name or the version: code page 932, or the bytes as
// given with --raw.
bool StoredText(const std::string& text, bool raw, std::string* stored) {
  if (raw) {
    *stored = text;
    return true;
  }
  return HostTextToCp932(text, stored);
}

// Checks one entry and reads its source. False with the culprit in *error.
bool PrepareEntry(const SourceEntry& source, const PackOptions& options,
                  FileBytes* data, PackEntry* entry, std::string* error) {
  const std::string where = source.origin + ": ";
  if (source.kind.size() != 1 || strchr("BISWbisw", source.kind[0]) == nullptr) {
    *error = where + "kind '" + source.kind + "' is not one of B, I, S, W (either case)";
    return false;
  }
  entry->kind = static_cast<uint8_t>(source.kind[0]);
  if (!StoredText(source.name, options.raw, &entry->name)) {
    *error = where + "name '" + source.name + "' has characters outside code page 932";
    return false;
  }
  if (entry->name.empty() || entry->name.size() > static_cast<size_t>(kMaxTextLength)) {
    *error = where + "name '" + source.name + "' is " + std::to_string(entry->name.size()) +
             " bytes stored; it must be 1 to 255";
    return false;
  }
  for (unsigned char c : entry->name) {
    if (c < 0x20 || c == 0x7F) {
      *error = where + "name '" + source.name + "' holds a control character";
      return false;
    }
  }
  if (!ReadWholeFile(source.source, kPackMaxEntrySize + 1, data, error)) {
    *error = where + *error;
    return false;
  }
  int64_t seconds = 0;
  const std::string* time_text = source.has_time ? &source.time
                                 : options.has_time ? &options.time : nullptr;
  int32_t time32 = 0;
  if (time_text != nullptr) {
    if (!ParseSeconds(*time_text, &time32)) {
      *error = where + "time '" + *time_text + "' is not a whole number of seconds in signed 32 bits";
      return false;
    }
  } else {
    if (!QueryFileTime(source.source, &seconds, error)) {
      *error = where + *error;
      return false;
    }
    if (seconds < INT32_MIN || seconds > INT32_MAX) {
      *error = where + "the time of '" + source.source + "' does not fit signed 32 bits; use -t";
      return false;
    }
    time32 = static_cast<int32_t>(seconds);
  }
  entry->time = time32;
  entry->data = data->data.get();
  entry->size = data->size;
  return true;
}

}  // namespace

int RunCreate(int argc, char** argv) {
  PackOptions options;
  int status = ParseCreateArguments(argc, argv, &options);
  if (status != 0) {
    if (status == 2) PrintCreateUsage();
    return status;
  }
  return PackEntries("create", options);
}

int PackEntries(const char* command, const PackOptions& options) {
  std::string error;
  std::string version;
  if (!StoredText(options.version, options.raw, &version)) {
    fprintf(stderr, "3ppack %s: version '%s' has characters outside code page 932\n", command,
            options.version.c_str());
    return 1;
  }
  if (version.size() > static_cast<size_t>(kMaxTextLength)) {
    fprintf(stderr, "3ppack %s: version '%s' is %zu bytes stored; at most 255\n", command,
            options.version.c_str(), version.size());
    return 1;
  }
  if (options.entries.size() > static_cast<size_t>(kMaxEntries)) {
    fprintf(stderr, "3ppack %s: %zu entries; an archive holds at most 255\n", command,
            options.entries.size());
    return 1;
  }
  std::vector<FileBytes> data(options.entries.size());
  std::vector<PackEntry> entries(options.entries.size());
  for (size_t i = 0; i < options.entries.size(); ++i) {
    if (!PrepareEntry(options.entries[i], options, &data[i], &entries[i], &error)) {
      fprintf(stderr, "3ppack %s: %s\n", command, error.c_str());
      return 1;
    }
  }
  PackResult result;
  if (!EncodeArchive(version, entries, options.length_limit, &result, &error)) {
    fprintf(stderr, "3ppack %s: %s\n", command, error.c_str());
    return 1;
  }
  if (options.trailer && !AppendTrailer(&result.bytes, options.sign_key, &error)) {
    fprintf(stderr, "3ppack %s: %s\n", command, error.c_str());
    return 1;
  }
  if (options.dry_run) {
    // The very table that list would print for the archive once written.
    ArchiveReader reader;
    if (OpenArchiveInMemory(&reader, result.bytes.data(), result.bytes.size()) != kArchiveOpened) {
      fprintf(stderr, "3ppack %s: the packed archive does not open\n", command);
      return 1;
    }
    return ListOpenArchive(&reader, command, options.json);
  }
  if (!WriteFileAtomically(options.output, result.bytes, &error)) {
    fprintf(stderr, "3ppack %s: %s\n", command, error.c_str());
    return 1;
  }
  uint64_t input = 0;
  for (const PackEntry& e : entries) input += e.size;
  printf("%s: %zu entries, %llu bytes in, %zu bytes out\n", options.output.c_str(),
         entries.size(), static_cast<unsigned long long>(input), result.bytes.size());
  return 0;
}
