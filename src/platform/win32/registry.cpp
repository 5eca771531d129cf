// Registry reads through the ANSI Win32 calls.
//
// A PlatformKey is the HKEY itself behind an opaque pointer type: nothing is
// allocated per key, and closing hands it straight back to RegCloseKey.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr REGSAM kKeyRead = 0x20019;  // KEY_READ
static_assert(kKeyRead == KEY_READ);

HKEY ToHkey(PlatformKey key) { return reinterpret_cast<HKEY>(key); }

// Reads a value whose data is larger than the caller's buffer: the Win32 call
// leaves the buffer undefined then, so the whole value is fetched into a
// scratch block and its first *size bytes copied. Returns the call's status.
long ReadValuePrefix(HKEY key, const char* name, uint8_t* data, uint32_t* size) {
  DWORD full = 0;
  LONG status = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &full);
  if (status != ERROR_SUCCESS) return status;
  BYTE* scratch = static_cast<BYTE*>(std::malloc(full + 1));
  if (scratch == nullptr) return ERROR_OUTOFMEMORY;
  DWORD got = full;
  status = RegQueryValueExA(key, name, nullptr, nullptr, scratch, &got);
  if (status == ERROR_SUCCESS) {
    uint32_t copied = got < *size ? got : *size;
    std::memcpy(data, scratch, copied);
    *size = copied;
  }
  std::free(scratch);
  return status;
}

}  // namespace

// Formats "a\b\c\leaf" with wsprintfA, as the lookups have always done.
// The components are the program's own constants, far below 512 bytes.
void PlatformFormatKeyPath(char* out, const char* a, const char* b, const char* c,
                           const char* leaf) {
  wsprintfA(out, "%s\\%s\\%s\\%s", a, b, c, leaf);
}

// Opens subkey under the hive with KEY_READ. Returns the Win32 status:
// 0 with *key filled, non-zero when the key is absent or refused.
long PlatformRegOpenKey(PlatformHive hive, const char* subkey, PlatformKey* key) {
  HKEY root = hive == kHiveLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  HKEY opened = nullptr;
  LONG status = RegOpenKeyExA(root, subkey, 0, kKeyRead, &opened);
  if (status == ERROR_SUCCESS) *key = reinterpret_cast<PlatformKey>(opened);
  return status;
}

// Size query (data == nullptr, size preset to 0) or read of a value. The
// type is received and ignored: the bytes are what counts. A read into a
// buffer smaller than the value delivers the value's first *size bytes.
long PlatformRegQueryValue(PlatformKey key, const char* name, uint8_t* data, uint32_t* size) {
  DWORD type = 0;
  if (data == nullptr) {
    DWORD needed = 0;
    LONG status = RegQueryValueExA(ToHkey(key), name, nullptr, &type, nullptr, &needed);
    if (status == ERROR_SUCCESS) *size = needed;
    return status;
  }
  DWORD got = *size;
  LONG status = RegQueryValueExA(ToHkey(key), name, nullptr, &type, data, &got);
  if (status == ERROR_MORE_DATA) return ReadValuePrefix(ToHkey(key), name, data, size);
  if (status == ERROR_SUCCESS) *size = got;
  return status;
}

void PlatformRegCloseKey(PlatformKey key) { RegCloseKey(ToHkey(key)); }
