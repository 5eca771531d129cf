// The create command and the entry list it builds from the command line and
// manifests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "3ppack/encoder.h"

// One entry as the user gave it, before any checks.
struct SourceEntry {
  std::string kind;     // the kind letter as typed
  std::string source;   // host path of the file to pack
  std::string name;     // archive name, host text (or raw bytes with --raw)
  bool has_time;        // the entry names its own time
  std::string time;     // that time as typed
  std::string origin;   // where the entry came from, for messages
};

// What one packing run makes: create fills it from its arguments, diff from
// two trees.
struct PackOptions {
  std::string output;                     // -o
  std::string version;                    // -V, host text (raw bytes with --raw)
  bool has_version = false;
  bool raw = false;                       // --raw: names and version stored unconverted
  int length_limit = kMaxCodeLength;  // -L
  bool has_time = false;                  // -t
  std::string time;
  std::vector<SourceEntry> entries;       // in archive order
  bool dry_run = false;                   // list what would be packed, write nothing
  bool json = false;                      // that list as JSON
  bool trailer = true;                    // append the trailer (--no-trailer: the plain format)
  std::string sign_key;                   // --sign: the private key that signs the trailer
};

// Takes the trailer options (--no-trailer, --sign KEY) at argv[*i] for
// command, moving *i past a value. Returns 1 when it took one, 0 when the
// argument is not one of them, -1 after printing what is wrong.
int ParseTrailerOption(const char* command, int argc, char** argv, int* i, PackOptions* options);

// Checks every entry and reads its source, encodes the archive and writes it
// in one step (with dry_run: prints it as list does instead). Any refusal
// names its culprit, prefixed with "3ppack COMMAND: ", and writes nothing.
// Returns the exit status.
int PackEntries(const char* command, const PackOptions& options);

// Reads a manifest (UTF-8): one entry a line, KIND TAB SOURCE TAB NAME [TAB SECONDS];
// lines whose first non-blank character is # and blank lines are skipped. A
// relative SOURCE is taken from the manifest's folder. False with a message
// naming the line.
bool ReadManifest(const std::string& path, std::vector<SourceEntry>* entries, std::string* error);

// Parses a time in seconds since 1970 that must fit signed 32 bits.
bool ParseSeconds(const std::string& text, int32_t* seconds);

// 3ppack create ARGS: returns the exit status.
int RunCreate(int argc, char** argv);
