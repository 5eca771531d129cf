// Keeps a file open, as a program that uses it would, so that a test can
// show what the updater does with a destination in use. Opens its argument
// for reading, prints "held" and a line feed, and keeps the file open until
// its standard input ends (the test closes the pipe to let go).
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::FILE* held = std::fopen(argv[1], "rb");
  if (held == nullptr) return 1;
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  std::fclose(held);
  return 0;
}
