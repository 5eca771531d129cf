#include "install/destination.h"

#include <cstdio>
#include <cstring>

#include "archive/format.h"
#include "install/pending_updates.h"
#include "platform/platform.h"

ComposeResult ComposeDestinationPath(const InstallContext* context, uint8_t kind, const char* name,
                                     char* path) {
  const KindFolder* folder = FindKindFolder(kind);
  if (folder == nullptr) {
    path[0] = '\0';
    return kNoPath;
  }
  const char* root = folder->root == kInstallFolderRoot ? context->install_directory
                                                        : context->windows_directory;
  const char* separator = folder->subfolder[0] != '\0' ? "\\" : "";
  snprintf(path, kComposeBufferSize, "%s\\%s%s%s", root, folder->subfolder, separator, name);
  return strlen(path) > kMaxDestinationPath ? kPathTooLong : kPathComposed;
}

const char* SplitDestinationPath(const char* path, char* folder) {
  size_t length = strlen(path);
  for (size_t k = length >= 2 ? length - 1 : 0; k-- > 0;) {
    if (path[k] == '\\') {
      memcpy(folder, path, k);
      folder[k] = '\0';
      return path + k + 1;
    }
  }
  folder[0] = '\0';
  return path;
}

void CreateFolderChain(char* folder) {
  char prefix[kFolderSize + 1];
  bool first = true;
  size_t used = 0;
  size_t first_made = 0;
  for (char* component = strtok(folder, "\\"); component != nullptr;
       component = strtok(nullptr, "\\")) {
    size_t length = strlen(component);
    if (used + length + 1 >= sizeof prefix) return;  // cannot happen for a 255-byte path
    if (!first) prefix[used++] = '\\';
    memcpy(prefix + used, component, length);
    used += length;
    prefix[used] = '\0';
    if (!first && PlatformCreateDirectory(prefix) && first_made == 0) first_made = used;
    first = false;
  }
  if (used > 0) NoteFolderChain(prefix, first_made);
}

bool SamePath(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char lead = static_cast<unsigned char>(*a);
    if (((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) && a[1] != '\0') {
      if (a[0] != b[0] || a[1] != b[1]) return false;
      ++a;
      ++b;
      continue;
    }
    char fold_a = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
    char fold_b = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
    if (fold_a != fold_b) return false;
    if (*a == '\0') return true;
  }
}
