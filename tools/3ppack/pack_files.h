// The archive tool's file operations on the host: whole-file reads, the
// atomic write of an archive, and the files that extract makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads the whole regular file at path. Refuses files of max_size bytes or
// more without reading them. False with a message naming the path.
bool ReadWholeFile(const std::string& path, uint64_t max_size, std::vector<uint8_t>* bytes,
                   std::string* error);

// The last-write time of path in seconds since 1970 UTC.
bool QueryFileTime(const std::string& path, int64_t* seconds, std::string* error);

// Writes bytes to a new temporary file beside path and renames it into
// place, so that path either keeps its old content or gets all of the new.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error);

// An output file being written by extract.
struct ExtractFile {
  void* stream;        // the C stream
  std::string path;    // where it goes
  bool failed;         // a write failed
};

// Creates the folders up to path and opens path for writing, replacing a
// file that is there (also a read-only one).
bool BeginExtractFile(const std::string& path, ExtractFile* file, std::string* error);
void WriteExtractFile(ExtractFile* file, const uint8_t* bytes, size_t count);
// Closes the file and sets its last-write time; false when a write or the
// close failed. With keep false the file is closed and removed.
bool EndExtractFile(ExtractFile* file, bool keep, int64_t seconds, std::string* error);
