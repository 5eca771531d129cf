#include "control/registry_lookup.h"

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int kKeyPathSize = 512;

// Opens the product's key named leaf: under HKEY_LOCAL_MACHINE, and only when
// that open fails, under HKEY_CURRENT_USER. A key that opens under the first
// hive is used even when it lacks the value. Returns false when neither opens.
bool OpenProductKey(const char* leaf, PlatformKey* key) {
  char key_path[kKeyPathSize];
  PlatformFormatKeyPath(key_path, "SoftWare", "ORBELINE", "3D Perinwood", leaf);
  if (PlatformRegOpenKey(kHiveLocalMachine, key_path, key) == 0) return true;
  return PlatformRegOpenKey(kHiveCurrentUser, key_path, key) == 0;
}

}  // namespace

int QueryInstallDir(char* destination) {
  PlatformKey key;
  if (!OpenProductKey("Directories", &key)) return -1;
  uint32_t size = 0;
  if (PlatformRegQueryValue(key, "InstallDir", nullptr, &size) != 0 ||
      size > kInstallDirSize - 1) {
    PlatformRegCloseKey(key);
    return -1;
  }
  char work[kInstallDirSize] = {};
  uint32_t read_size = size;  // the read's own result and size are not used
  PlatformRegQueryValue(key, "InstallDir", reinterpret_cast<uint8_t*>(work), &read_size);
  work[size] = '\0';
  // strncpy semantics: the text up to its first NUL, then NULs up to size.
  strncpy(destination, work, size);
  destination[size] = '\0';
  PlatformRegCloseKey(key);
  return 0;
}

void QueryInstalledVersion(char* destination) {
  PlatformKey key;
  bool opened = OpenProductKey("VersionInfo", &key);
  destination[0] = '\0';
  if (!opened) return;
  uint32_t size = 0;
  if (PlatformRegQueryValue(key, "Version", nullptr, &size) != 0) {
    PlatformRegCloseKey(key);
    return;
  }
  if (size > kInstalledVersionSize - 1) size = kInstalledVersionSize - 1;
  uint32_t read_size = size;
  PlatformRegQueryValue(key, "Version", reinterpret_cast<uint8_t*>(destination), &read_size);
  destination[size] = '\0';
  PlatformRegCloseKey(key);
}
