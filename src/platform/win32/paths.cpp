// Paths: ANSI paths turned into the wide "\\?\" form for paths past MAX_PATH.
#include "platform/win32/win32_internal.h"

#include <cstring>
#include <cwchar>

namespace {
constexpr size_t kWideScratch = 1024;
}

bool IsLongPath(const char* path) { return std::strlen(path) >= MAX_PATH - 1; }

// The ANSI text goes through the ANSI code page (as the A calls would take
// it), then GetFullPathNameW makes it absolute and folds "." and "..", which
// the "\\?\" form would otherwise pass to the file system literally.
bool ToLongWidePath(const char* path, wchar_t* out, size_t capacity) {
  wchar_t wide[kWideScratch];
  int converted = MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kWideScratch);
  if (converted <= 0) return false;
  wchar_t full[kWideScratch];
  DWORD length = GetFullPathNameW(wide, kWideScratch, full, nullptr);
  if (length == 0 || length >= kWideScratch) return false;
  if (std::wcsncmp(full, L"\\\\?\\", 4) == 0) {
    if (length + 1 > capacity) return false;
    std::wmemcpy(out, full, length + 1);
    return true;
  }
  const wchar_t* prefix = L"\\\\?\\";
  const wchar_t* rest = full;
  if (full[0] == L'\\' && full[1] == L'\\') {  // \\server\share\...
    prefix = L"\\\\?\\UNC\\";
    rest = full + 2;
  }
  size_t prefix_length = std::wcslen(prefix);
  size_t rest_length = std::wcslen(rest);
  if (prefix_length + rest_length + 1 > capacity) return false;
  std::wmemcpy(out, prefix, prefix_length);
  std::wmemcpy(out + prefix_length, rest, rest_length + 1);
  return true;
}
