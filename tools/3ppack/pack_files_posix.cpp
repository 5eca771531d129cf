// File operations of the archive tool on Linux: the C++ library's file system
// calls, and POSIX reads and writes for the whole files (in large pieces).
#include "3ppack/pack_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "3ppack/large_pages.h"

namespace fs = std::filesystem;

namespace {

// Reads and writes go in pieces of this size: a large file is copied to and
// from the system's cache faster in pieces than in one call.
constexpr size_t kBlock = 256 << 10;

// Reads up to count bytes; fewer only at the end of the file or on a failure.
bool ReadUpTo(int fd, uint8_t* bytes, uint64_t count, uint64_t* got) {
  *got = 0;
  while (*got < count) {
    size_t want = count - *got < kBlock ? static_cast<size_t>(count - *got) : kBlock;
    ssize_t read_now = read(fd, bytes + *got, want);
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now < 0) return false;
    if (read_now == 0) break;
    *got += static_cast<uint64_t>(read_now);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    size_t want = count - done < kBlock ? count - done : kBlock;
    ssize_t written = write(fd, bytes + done, want);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

fs::file_time_type FileTimeFromSeconds(int64_t seconds) {
  return std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds)));
}

}  // namespace

bool ReadWholeFile(const std::string& path, uint64_t max_size, FileBytes* bytes,
                   std::string* error) {
  std::error_code ec;
  // Checked before the open, which would wait on a pipe.
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
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open '" + path + "' for reading";
    return false;
  }
  bytes->data = std::make_unique_for_overwrite<uint8_t[]>(size);
  bytes->size = size;
  AdviseLargePages(bytes->data.get(), size);
  uint64_t got = 0;
  bool ok = ReadUpTo(fd, bytes->data.get(), size, &got) && got == size;
  // A file that grew or shrank while being read is a changing source: refuse it.
  uint8_t extra = 0;
  uint64_t beyond = 0;
  ok = ok && ReadUpTo(fd, &extra, 1, &beyond) && beyond == 0;
  close(fd);
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

// The temporary name is made exclusively (O_EXCL), so two writers never
// share one; a few numbered tries cover leftovers of an interrupted run.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  std::string temp;
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    temp = path + ".tmp" + std::to_string(i);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    *error = "cannot create a temporary file beside '" + path + "'";
    return false;
  }
  bool ok = WriteAll(fd, bytes.data(), bytes.size());
  ok = (close(fd) == 0) && ok;
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

bool ListTreeFiles(const std::string& root, std::vector<TreeFile>* files, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    *error = "'" + root + "' is not a folder";
    return false;
  }
  fs::recursive_directory_iterator it(root, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    // A link to a folder is not descended into; a link that leads nowhere
    // is no regular file. Either is refused by name later, not here.
    const fs::directory_entry& entry = *it;
    std::error_code kind_ec;
    if (entry.is_directory(kind_ec) && !entry.is_symlink(kind_ec)) continue;
    TreeFile file;
    file.relative = entry.path().lexically_relative(root).generic_string();
    file.regular = entry.is_regular_file(kind_ec) && !kind_ec;
    file.size = file.regular ? entry.file_size(kind_ec) : 0;
    file.foreign = false;
    files->push_back(file);
  }
  if (ec) {
    *error = "cannot read the folder '" + root + "': " + ec.message();
    return false;
  }
  return true;
}

bool SameFileContent(const std::string& a, const std::string& b, bool* same, std::string* error) {
  std::error_code ec_a, ec_b;
  uint64_t size_a = fs::file_size(a, ec_a), size_b = fs::file_size(b, ec_b);
  if (ec_a || ec_b) {
    *error = "cannot read the size of '" + (ec_a ? a : b) + "'";
    return false;
  }
  *same = size_a == size_b;
  if (!*same) return true;
  FILE* fa = fopen(a.c_str(), "rb");
  FILE* fb = fa == nullptr ? nullptr : fopen(b.c_str(), "rb");
  if (fb == nullptr) {
    if (fa != nullptr) fclose(fa);
    *error = "cannot open '" + (fa == nullptr ? a : b) + "' for reading";
    return false;
  }
  std::vector<char> block_a(1 << 16), block_b(1 << 16);
  bool ok = true;
  for (;;) {
    size_t got_a = fread(block_a.data(), 1, block_a.size(), fa);
    size_t got_b = fread(block_b.data(), 1, block_b.size(), fb);
    if (got_a != got_b || memcmp(block_a.data(), block_b.data(), got_a) != 0) {
      *same = false;
      break;
    }
    if (got_a < block_a.size()) {
      ok = !ferror(fa) && !ferror(fb);
      break;
    }
  }
  fclose(fa);
  fclose(fb);
  if (!ok) *error = "cannot read '" + a + "' or '" + b + "' completely";
  return ok;
}

std::string PathBesideFile(const std::string& file, const std::string& relative) {
  fs::path folder = fs::path(file).parent_path();
  fs::path source(relative);
  return source.is_absolute() || folder.empty() ? relative : (folder / source).string();
}

std::string JoinPath(const std::string& folder, const std::string& relative) {
  return (fs::path(folder) / relative).string();
}
