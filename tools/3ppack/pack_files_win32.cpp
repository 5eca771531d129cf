// File operations of the archive tool on Windows. Paths arrive in the ANSI
// code page (the command line's); they are widened once and handed to the
// wide calls, since the C++ library's file system paths would take the bytes
// of a double-byte name for characters of their own.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "3ppack/cp932.h"
#include "3ppack/pack_files.h"

namespace {

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochOffset = 116444736000000000LL;
constexpr DWORD kBlock = 1 << 20;

std::wstring Wide(const std::string& host) {
  if (host.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_ACP, 0, host.data(), static_cast<int>(host.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_ACP, 0, host.data(), static_cast<int>(host.size()), wide.data(), size);
  }
  return wide;
}

HANDLE OpenForReading(const std::string& path) {
  return CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// Reads up to count bytes; fewer only at the end of the file or on a failure.
bool ReadUpTo(HANDLE file, uint8_t* bytes, uint64_t count, uint64_t* got) {
  *got = 0;
  while (*got < count) {
    DWORD want = count - *got < kBlock ? static_cast<DWORD>(count - *got) : kBlock;
    DWORD read = 0;
    if (!ReadFile(file, bytes + *got, want, &read, nullptr)) return false;
    if (read == 0) break;
    *got += read;
  }
  return true;
}

bool WriteAll(HANDLE file, const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    DWORD want = count - done < kBlock ? static_cast<DWORD>(count - done) : kBlock;
    DWORD written = 0;
    if (!WriteFile(file, bytes + done, want, &written, nullptr) || written != want) return false;
    done += written;
  }
  return true;
}

FILETIME FileTimeFromSeconds(int64_t seconds) {
  uint64_t ticks = static_cast<uint64_t>(seconds * 10000000LL + kEpochOffset);
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Creates every folder on the way to (not including) the last component.
void CreateParentFolders(const std::wstring& path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (IsSeparator(path[i]) && !IsSeparator(path[i - 1]) && path[i - 1] != L':') {
      CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
  }
}

// Walks folder (wide, with its separator) below the tree's root; relative is
// the same folder as host text with '/' separators ("" for the root).
bool WalkFolder(const std::wstring& folder, const std::string& relative,
                std::vector<TreeFile>* files, std::string* error) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    *error = "cannot read the folder '" + (relative.empty() ? "." : relative) + "'";
    return false;
  }
  bool ok = true;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    // A name with no form in the ANSI code page is kept with the system's
    // stand-in characters and marked, so that it is refused by its name.
    std::string host;
    int size = WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> text(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, text.data(), size, nullptr, nullptr);
    host = text.data();
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0, nullptr, &lost);
    std::string path = relative.empty() ? host : relative + "/" + host;
    bool folder_kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (folder_kind && !link && !lost) {
      ok = WalkFolder(folder + name + L"\\", path, files, error);
      continue;
    }
    TreeFile file;
    file.relative = path;
    file.foreign = lost != FALSE;
    file.regular = !folder_kind && !link;
    file.size = file.regular ? (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow
                             : 0;
    files->push_back(file);
  } while (ok && FindNextFileW(search, &found));
  FindClose(search);
  return ok;
}

}  // namespace

bool ReadWholeFile(const std::string& path, uint64_t max_size, FileBytes* bytes,
                   std::string* error) {
  HANDLE file = OpenForReading(path);
  BY_HANDLE_FILE_INFORMATION info;
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    *error = "cannot read '" + path + "': not a readable regular file";
    return false;
  }
  uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size >= max_size) {
    CloseHandle(file);
    *error = "'" + path + "' is " + std::to_string(size) + " bytes; an entry must stay below 4 GiB";
    return false;
  }
  bytes->data = std::make_unique_for_overwrite<uint8_t[]>(size);
  bytes->size = size;
  uint64_t got = 0;
  uint8_t extra = 0;
  uint64_t beyond = 0;
  // A file that grew or shrank while being read is a changing source: refuse it.
  bool ok = ReadUpTo(file, bytes->data.get(), size, &got) && got == size &&
            ReadUpTo(file, &extra, 1, &beyond) && beyond == 0;
  CloseHandle(file);
  if (!ok) {
    *error = "cannot read '" + path + "' completely";
    return false;
  }
  return true;
}

bool QueryFileTime(const std::string& path, int64_t* seconds, std::string* error) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    *error = "cannot read the time of '" + path + "'";
    return false;
  }
  int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime)
                                        << 32) | data.ftLastWriteTime.dwLowDateTime) - kEpochOffset;
  // Whole seconds, rounded down also before 1970.
  *seconds = ticks >= 0 ? ticks / 10000000 : -((-ticks + 9999999) / 10000000);
  return true;
}

// The temporary name is made exclusively (CREATE_NEW), so two writers never
// share one; a few numbered tries cover leftovers of an interrupted run.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 100 && file == INVALID_HANDLE_VALUE; ++i) {
    temp = Wide(path + ".tmp" + std::to_string(i));
    file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot create a temporary file beside '" + path + "'";
    return false;
  }
  bool ok = WriteAll(file, bytes.data(), bytes.size());
  ok = CloseHandle(file) && ok;
  if (ok) ok = MoveFileExW(temp.c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) {
    DeleteFileW(temp.c_str());
    *error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

bool BeginExtractFile(const std::string& path, ExtractFile* file, std::string* error) {
  std::wstring wide = Wide(path);
  CreateParentFolders(wide);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    *error = "'" + path + "' is a folder or a link; not replaced";
    return false;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // A read-only file there is replaced, not written into.
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(wide.c_str());
  }
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "cannot create '" + path + "'";
    return false;
  }
  file->stream = handle;
  file->path = path;
  file->failed = false;
  return true;
}

void WriteExtractFile(ExtractFile* file, const uint8_t* bytes, size_t count) {
  if (count > 0 && !WriteAll(static_cast<HANDLE>(file->stream), bytes, count)) file->failed = true;
}

bool EndExtractFile(ExtractFile* file, bool keep, int64_t seconds, std::string* error) {
  HANDLE handle = static_cast<HANDLE>(file->stream);
  FILETIME time = FileTimeFromSeconds(seconds);
  bool timed = keep && !file->failed && SetFileTime(handle, nullptr, &time, &time);
  bool ok = CloseHandle(handle) && !file->failed;
  file->stream = nullptr;
  if (!keep || !ok) {
    DeleteFileW(Wide(file->path).c_str());
    if (!ok) *error = "cannot write '" + file->path + "'";
    return false;
  }
  if (!timed) {
    *error = "cannot set the time of '" + file->path + "'";
    return false;
  }
  return true;
}

bool ListTreeFiles(const std::string& root, std::vector<TreeFile>* files, std::string* error) {
  std::wstring wide = Wide(root);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = "'" + root + "' is not a folder";
    return false;
  }
  if (!wide.empty() && !IsSeparator(wide.back())) wide += L"\\";
  if (!WalkFolder(wide, "", files, error)) {
    *error = "in '" + root + "': " + *error;
    return false;
  }
  return true;
}

bool SameFileContent(const std::string& a, const std::string& b, bool* same, std::string* error) {
  HANDLE fa = OpenForReading(a);
  HANDLE fb = fa == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenForReading(b);
  if (fb == INVALID_HANDLE_VALUE) {
    if (fa != INVALID_HANDLE_VALUE) CloseHandle(fa);
    *error = "cannot open '" + (fa == INVALID_HANDLE_VALUE ? a : b) + "' for reading";
    return false;
  }
  LARGE_INTEGER size_a, size_b;
  bool ok = GetFileSizeEx(fa, &size_a) && GetFileSizeEx(fb, &size_b);
  *same = ok && size_a.QuadPart == size_b.QuadPart;
  std::vector<uint8_t> block_a(1 << 16), block_b(1 << 16);
  while (ok && *same) {
    uint64_t got_a = 0, got_b = 0;
    ok = ReadUpTo(fa, block_a.data(), block_a.size(), &got_a) &&
         ReadUpTo(fb, block_b.data(), block_b.size(), &got_b);
    if (!ok) break;
    *same = got_a == got_b && memcmp(block_a.data(), block_b.data(), got_a) == 0;
    if (got_a < block_a.size()) break;
  }
  CloseHandle(fa);
  CloseHandle(fb);
  if (!ok) *error = "cannot read '" + a + "' or '" + b + "' completely";
  return ok;
}

// Separators are found byte by byte: '\' may be the second byte of a
// double-byte character, so only a '\' or '/' that stands alone counts.
std::string PathBesideFile(const std::string& file, const std::string& relative) {
  bool absolute = (!relative.empty() && (relative[0] == '\\' || relative[0] == '/')) ||
                  (relative.size() >= 2 && relative[1] == ':');
  size_t folder_end = std::string::npos;
  for (size_t i = 0; i < file.size(); ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(file[i]))) {
      ++i;
    } else if (file[i] == '\\' || file[i] == '/') {
      folder_end = i;
    }
  }
  if (absolute || folder_end == std::string::npos) return relative;
  return file.substr(0, folder_end + 1) + relative;
}

// '/' is never the second byte of a double-byte character, so it can be
// turned into '\' byte by byte.
std::string JoinPath(const std::string& folder, const std::string& relative) {
  std::string joined = folder;
  bool separated = joined.empty();
  for (size_t i = 0; i < joined.size(); ++i) {
    separated = joined[i] == '\\' || joined[i] == '/' || joined[i] == ':';
    if (IsDBCSLeadByte(static_cast<BYTE>(joined[i]))) ++i;
  }
  if (!separated) joined += '\\';
  for (char c : relative) joined += c == '/' ? '\\' : c;
  return joined;
}
