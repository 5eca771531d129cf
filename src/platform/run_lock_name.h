// The name of the lock that keeps two updaters off one installation at once.
//
// Both sides derive it from the installation folder the same way: the folder
// as Windows compares names (ASCII letters in either case, '/' for '\', any
// trailing separators dropped; the trail byte of a double-byte character is
// left alone, since it is no letter), hashed with 64-bit FNV-1a. Its 16
// hexadecimal digits keep the name short and free of the backslash, which a
// kernel object's name may not hold past its namespace, whatever the
// folder's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t kRunLockNameSize = sizeof "3pupdate-0123456789abcdef";

// Writes "3pupdate-" and the folder's hash to name (kRunLockNameSize bytes).
inline void FormatRunLockName(const char* folder, char* name) {
  size_t length = 0;
  while (folder[length] != '\0') ++length;
  while (length > 0 && (folder[length - 1] == '\\' || folder[length - 1] == '/')) --length;
  uint64_t hash = 14695981039346656037ULL;
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(folder[i]);
    bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    if (byte >= 'a' && byte <= 'z') byte = static_cast<unsigned char>(byte - 32);
    if (byte == '/') byte = '\\';
    hash = (hash ^ byte) * 1099511628211ULL;
    if (lead && i + 1 < length) {
      hash = (hash ^ static_cast<unsigned char>(folder[++i])) * 1099511628211ULL;
    }
  }
  snprintf(name, kRunLockNameSize, "3pupdate-%016llx", static_cast<unsigned long long>(hash));
}
