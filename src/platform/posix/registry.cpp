// The registry of the emulated machine, read only.
//
// Key HKEY_LOCAL_MACHINE\A\B is the folder registry/HKEY_LOCAL_MACHINE/A/B
// of the machine; value V of that key is the regular file V in it, whose
// bytes are the value's data. No type is stored. Without a machine folder
// the registry is empty: every open fails.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

struct PlatformKeyRecord {
  char folder[kHostPathSize];  // the key's folder on disk
};

namespace {

// The Windows error codes that the registry calls give back.
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorMoreData = 234;

}  // namespace

void PlatformFormatKeyPath(char* out, const char* a, const char* b, const char* c,
                           const char* leaf) {
  snprintf(out, 512, "%s\\%s\\%s\\%s", a, b, c, leaf);
}

// Opens the key's folder. Returns 0 with *key set, or ERROR_FILE_NOT_FOUND
// when the folder does not exist (or a file stands in its place).
long PlatformRegOpenKey(PlatformHive hive, const char* subkey, PlatformKey* key) {
  const char* hive_folder = hive == kHiveLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
  PlatformKey record = static_cast<PlatformKey>(malloc(sizeof(PlatformKeyRecord)));
  if (record == nullptr) return kErrorFileNotFound;
  struct stat status;
  if (!MapRegistryKey(hive_folder, subkey, record->folder) || stat(record->folder, &status) != 0 ||
      !S_ISDIR(status.st_mode)) {
    free(record);
    return kErrorFileNotFound;
  }
  *key = record;
  return 0;
}

// Finds the value's file in the key's folder (names without regard to ASCII
// case); a folder of that name is a subkey, not a value. Gives the data
// size, and with a data buffer copies at most *size bytes of the data:
// ERROR_MORE_DATA when the data did not fit (then *size is the full size).
long PlatformRegQueryValue(PlatformKey key, const char* name, uint8_t* data, uint32_t* size) {
  if (key == nullptr) return kErrorInvalidHandle;
  // The default value (empty name) and names with a slash have no file here.
  if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr) return kErrorFileNotFound;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return kErrorFileNotFound;
  char path[kHostPathSize];
  strcpy(path, key->folder);
  if (!AppendMatchingName(path, name)) return kErrorFileNotFound;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kErrorFileNotFound;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > 0xFFFFFFFF) {
    close(fd);
    return kErrorFileNotFound;
  }
  uint32_t full = static_cast<uint32_t>(status.st_size);
  long result = 0;
  if (data != nullptr) {
    uint32_t wanted = full <= *size ? full : *size;
    uint32_t done = 0;
    while (done < wanted) {
      ssize_t got = read(fd, data + done, wanted - done);
      if (got <= 0) break;
      done += static_cast<uint32_t>(got);
    }
    if (full > *size) result = kErrorMoreData;
  }
  close(fd);
  *size = full;
  return result;
}

void PlatformRegCloseKey(PlatformKey key) { free(key); }
