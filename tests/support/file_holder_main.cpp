// Keeps a file open, as a program that uses it would, so that a test can
// show what the updater does with a destination in use. Opens its first
// argument for reading, prints "held" and a line feed, and keeps the file
// open until its standard input ends (the test closes the pipe to let go).
//
// Opened through the C runtime, the file is shared for reading and writing
// but not for deletion, as most programs open it. With the second argument
// "share-all" (Windows only) it is opened the way a virus scanner or a
// search indexer opens it: sharing reading, writing and deletion; with
// "share-none" (Windows only) as a program that locks it: sharing nothing.
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
#ifdef _WIN32
  bool share_all = argc == 3 && std::strcmp(argv[2], "share-all") == 0;
  if (share_all || (argc == 3 && std::strcmp(argv[2], "share-none") == 0)) {
    DWORD share = share_all ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
  }
#endif
  if (argc == 3) return 2;
  std::FILE* held = std::fopen(argv[1], "rb");
  if (held == nullptr) return 1;
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  std::fclose(held);
  return 0;
}
