#include "install/destination.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

ComposeResult ComposeDestinationPath(const InstallContext* context, uint8_t kind, const char* name,
                                     char* path) {
  const char* root = nullptr;
  const char* layout = nullptr;
  switch (kind) {
    case 'B': case 'b': root = context->install_directory; layout = "%s\\bitmap\\%s"; break;
    case 'I': case 'i': root = context->install_directory; layout = "%s\\%s"; break;
    case 'S': case 's': root = context->windows_directory; layout = "%s\\system\\%s"; break;
    case 'W': case 'w': root = context->windows_directory; layout = "%s\\%s"; break;
    default: path[0] = '\0'; return kNoPath;
  }
  snprintf(path, kComposeBufferSize, layout, root, name);
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
  for (char* component = strtok(folder, "\\"); component != nullptr;
       component = strtok(nullptr, "\\")) {
    size_t length = strlen(component);
    if (used + length + 1 >= sizeof prefix) return;  // cannot happen for a 255-byte path
    memcpy(prefix + used, component, length);
    used += length;
    prefix[used] = '\0';
    if (!first) PlatformCreateDirectory(prefix);
    first = false;
    prefix[used++] = '\\';
    prefix[used] = '\0';
  }
}
