// File operations of the archive tool, through the standard library only.
#include "3ppack/pack_files.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::file_time_type FileTimeFromSeconds(int64_t seconds) {
  return std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds)));
}

}  // namespace

bool ReadWholeFile(const std::string& path, uint64_t max_size, std::vector<uint8_t>* bytes,
                   std::string* error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    *error = "cannot read '" + path + "': not a readable regular file";
    return false;
  }
  uint64_t size = fs::file_size(path, ec);
  if (ec) {
    *error = "cannot read '" + path + "': " + ec.message();
    return false;
  }
  if (size >= max_size) {
    *error = "'" + path + "' is " + std::to_string(size) + " bytes; an entry must stay below 4 GiB";
    return false;
  }
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = "cannot open '" + path + "' for reading";
    return false;
  }
  bytes->resize(size);
  size_t got = size == 0 ? 0 : fread(bytes->data(), 1, size, f);
  // A file that grew or shrank while being read is a changing source: refuse it.
  bool ok = got == size && fgetc(f) == EOF && !ferror(f);
  fclose(f);
  if (!ok) {
    *error = "cannot read '" + path + "' completely";
    return false;
  }
  return true;
}

bool QueryFileTime(const std::string& path, int64_t* seconds, std::string* error) {
  std::error_code ec;
  fs::file_time_type t = fs::last_write_time(path, ec);
  if (ec) {
    *error = "cannot read the time of '" + path + "': " + ec.message();
    return false;
  }
  auto sys = std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(t));
  *seconds = sys.time_since_epoch().count();
  return true;
}

// The temporary name is made exclusively ("x"), so two writers never share
// one; a few numbered tries cover leftovers of an interrupted run.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  std::string temp;
  FILE* f = nullptr;
  for (int i = 0; i < 100 && f == nullptr; ++i) {
    temp = path + ".tmp" + std::to_string(i);
    f = fopen(temp.c_str(), "wbx");
  }
  if (f == nullptr) {
    *error = "cannot create a temporary file beside '" + path + "'";
    return false;
  }
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (fclose(f) == 0) && ok;
  std::error_code ec;
  if (ok) fs::rename(temp, path, ec);
  if (!ok || ec) {
    fs::remove(temp, ec);
    *error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

bool BeginExtractFile(const std::string& path, ExtractFile* file, std::string* error) {
  std::error_code ec;
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
  if (fs::is_symlink(p, ec) || fs::is_directory(p, ec)) {
    *error = "'" + path + "' is a folder or a link; not replaced";
    return false;
  }
  fs::remove(p, ec);  // a read-only file there is replaced, not written into
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *error = "cannot create '" + path + "'";
    return false;
  }
  file->stream = f;
  file->path = path;
  file->failed = false;
  return true;
}

void WriteExtractFile(ExtractFile* file, const uint8_t* bytes, size_t count) {
  if (count > 0 && fwrite(bytes, 1, count, static_cast<FILE*>(file->stream)) != count) {
    file->failed = true;
  }
}

bool EndExtractFile(ExtractFile* file, bool keep, int64_t seconds, std::string* error) {
  bool ok = fclose(static_cast<FILE*>(file->stream)) == 0 && !file->failed;
  file->stream = nullptr;
  std::error_code ec;
  if (!keep || !ok) {
    fs::remove(file->path, ec);
    if (!ok) *error = "cannot write '" + file->path + "'";
    return false;
  }
  fs::last_write_time(file->path, FileTimeFromSeconds(seconds), ec);
  if (ec) {
    *error = "cannot set the time of '" + file->path + "': " + ec.message();
    return false;
  }
  return true;
}
