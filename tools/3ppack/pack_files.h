// The archive tool's file operations: whole-file reads, the atomic write of
// an archive, the files that extract makes, and the walk over a release tree.
// Paths are host text (see cp932.h). One file per OS: pack_files_posix.cpp
// (the C++ library's file system calls, POSIX reads and writes),
// pack_files_win32.cpp (the wide Win32 calls, so that names of the ANSI code
// page reach the file system whole).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A whole file's bytes. The memory is not cleared before the read fills it:
// for the tens of megabytes of an entry that is a pass over them saved.
struct FileBytes {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
};

// Reads the whole regular file at path. Refuses files of max_size bytes or
// more without reading them, and a file whose size changes while it is read.
// False with a message naming the path.
bool ReadWholeFile(const std::string& path, uint64_t max_size, FileBytes* bytes,
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

// A file found by ListTreeFiles.
struct TreeFile {
  std::string relative;  // its path below the root, host text, '/' between folders
  uint64_t size;         // bytes (0 for what is not a regular file)
  bool regular;          // false: a link to a folder, a device, a pipe ...
  bool foreign;          // its name has no form in host text (Windows: a
                         // character outside the ANSI code page)
};

// Every file below the folder root, folders descended into (links to
// folders are not), in no particular order. False with a message when root
// is not a folder or a folder below it cannot be read.
bool ListTreeFiles(const std::string& root, std::vector<TreeFile>* files, std::string* error);

// Whether the two files hold the same bytes (sizes are compared first, then
// the contents a block at a time).
bool SameFileContent(const std::string& a, const std::string& b, bool* same, std::string* error);

// relative taken from the folder that holds file (a manifest's sources); an
// absolute relative, or a file without a folder part, leaves it as it is.
std::string PathBesideFile(const std::string& file, const std::string& relative);

// folder and relative joined with the system's separator.
std::string JoinPath(const std::string& folder, const std::string& relative);
