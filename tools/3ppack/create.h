// The create command and the entry list it builds from the command line and
// manifests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry as the user gave it, before any checks.
struct SourceEntry {
  std::string kind;     // the kind letter as typed
  std::string source;   // host path of the file to pack
  std::string name;     // archive name, UTF-8 (or raw bytes with --raw)
  bool has_time;        // the entry names its own time
  std::string time;     // that time as typed
  std::string origin;   // where the entry came from, for messages
};

// Reads a manifest: one entry a line, KIND TAB SOURCE TAB NAME [TAB SECONDS];
// lines whose first non-blank character is # and blank lines are skipped. A
// relative SOURCE is taken from the manifest's folder. False with a message
// naming the line.
bool ReadManifest(const std::string& path, std::vector<SourceEntry>* entries, std::string* error);

// Parses a time in seconds since 1970 that must fit signed 32 bits.
bool ParseSeconds(const std::string& text, int32_t* seconds);

// 3ppack create ARGS: returns the exit status.
int RunCreate(int argc, char** argv);
