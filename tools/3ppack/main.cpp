// 3ppack: creates, lists, tests and extracts update archives, and makes one
// from two release trees.
#include <cstdio>
#include <cstring>

#include "3ppack/commands.h"
#include "3ppack/create.h"

namespace {

void PrintUsage(FILE* stream) {
  fprintf(stream,
          "usage: 3ppack create -o FILE -V VERSION [-m MANIFEST]... [-e KIND SOURCE NAME]...\n"
          "                     [-E KIND SOURCE NAME SECONDS]... [-t SECONDS] [-L N] [--raw]\n"
          "       3ppack diff OLD NEW -o FILE -V VERSION [--view PATTERN]... [--strict]\n"
          "       3ppack diff OLD NEW -V VERSION --dry-run [--json] [--view PATTERN]...\n"
          "       3ppack list FILE [--json]\n"
          "       3ppack test [--strict] [--key PUBLIC_KEY]... FILE\n"
          "       3ppack extract [--plain] FILE -C DIR\n"
          "       3ppack keygen -o NAME\n"
          "\n"
          "create  packs the entries, in order, into FILE (written whole or not at all).\n"
          "        KIND: B (installation's bitmap folder), I (installation folder),\n"
          "        S (Windows system folder), W (Windows folder); upper case also opens\n"
          "        the file in the viewer after the update. NAME: the name in the archive,\n"
          "        backslashes for subfolders. Names and VERSION are UTF-8, stored as code\n"
          "        page 932 (--raw: stored as given). Times come from the sources unless\n"
          "        -E or a manifest gives one per entry, or -t one for the rest.\n"
          "        -L N caps code lengths at N bits (default 32).\n"
          "        MANIFEST: one entry a line, KIND<TAB>SOURCE<TAB>NAME[<TAB>SECONDS];\n"
          "        # starts a comment; SOURCE is relative to the manifest's folder.\n"
          "diff    packs every file of the release tree NEW that is new or changed\n"
          "        against the tree OLD, with NEW's times. Top folders: install/\n"
          "        (install/bitmap/ for kind B) and windows/ (windows/system/ for S).\n"
          "        --view PATTERN: matching files open in the viewer (a glob; without a\n"
          "        '/' it matches the file's name, with one its path in the tree).\n"
          "        Files gone from NEW are warnings (an archive cannot remove files);\n"
          "        --strict makes them a failure. --dry-run lists what would be\n"
          "        packed, as list does, and writes nothing.\n"
          "list    shows the version and, per entry, kind, size, time (UTC), data bits, name.\n"
          "test    decodes every entry, checks the trailer's digest, and reports the\n"
          "        first fault; exit status 1 on one.\n"
          "        What the updater reads all the same (a table that is not prefix-free,\n"
          "        a run past the size, an unknown kind, bytes after the last entry)\n"
          "        is a warning; --strict makes it a fault.\n"
          "        With --key, a valid signature by that public key is required too;\n"
          "        with several (up to 4), a valid signature by any one of them.\n"
          "extract writes the entries under DIR: install/, install/bitmap/, windows/,\n"
          "        windows/system/, with their times, once the whole archive has\n"
          "        decoded and its trailer's digest matches. --plain decodes with the\n"
          "        slow reference decoder instead of the updater's.\n"
          "keygen  writes NAME.key (ECDSA P-256 private key, PKCS#8 PEM, readable by\n"
          "        its owner only) and NAME.pub (its public key, PEM).\n"
          "\n"
          "create and diff end the archive with a trailer: a SHA-256 digest of every\n"
          "byte before it, which updaters check before they change anything\n"
          "(updaters that do not know it ignore it). --sign KEY adds an ECDSA P-256\n"
          "signature by that private key (PEM; P-256 only, the curve updaters\n"
          "verify); --no-trailer writes the plain format.\n"
          "list shows the trailer; test checks its digest.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const char* command = argv[1];
  if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 ||
      strcmp(command, "help") == 0) {
    PrintUsage(stdout);
    return 0;
  }
  if (strcmp(command, "create") == 0) return RunCreate(argc - 2, argv + 2);
  if (strcmp(command, "diff") == 0) return RunDiff(argc - 2, argv + 2);
  if (strcmp(command, "list") == 0) return RunList(argc - 2, argv + 2);
  if (strcmp(command, "test") == 0) return RunTest(argc - 2, argv + 2);
  if (strcmp(command, "extract") == 0) return RunExtract(argc - 2, argv + 2);
  if (strcmp(command, "keygen") == 0) return RunKeygen(argc - 2, argv + 2);
  PrintUsage(stderr);
  return 2;
}
