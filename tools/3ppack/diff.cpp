// 3ppack diff OLD NEW: the archive that brings a machine holding the OLD
// release tree up to the NEW one. Every file of NEW that OLD lacks, or whose
// bytes differ, becomes an entry with NEW's time; the top folders of the
// trees name the destinations (install/, install/bitmap/, windows/,
// windows/system/). The entries are then packed by the same path as create.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "3ppack/archive_walk.h"
#include "3ppack/commands.h"
#include "3ppack/cp932.h"
#include "3ppack/create.h"
#include "3ppack/pack_files.h"

namespace {

struct DiffOptions {
  std::string old_root;
  std::string new_root;
  std::vector<std::string> view_patterns;  // --view, as code page 932
  std::vector<std::string> view_typed;     // the same as typed, for messages
  bool strict = false;                     // files gone from NEW are a failure
  PackOptions pack;
};

// A file of NEW on its way to becoming an entry.
struct NewFile {
  const TreeFile* file;
  std::string path_cp932;  // its tree path in code page 932, '/' between folders
  std::string base_cp932;  // its last component
  std::string sort_key;    // components joined by 0x01, which no name holds
  std::string fold_key;    // sort_key with ASCII letters in lower case: the archive's
                           // order, so that names differing in case are neighbours
  uint8_t kind;            // lower case; upper case when --view matches
  std::string name;        // the entry's name, host text, '\' between folders
};

void PrintDiffUsage() {
  fprintf(stderr,
          "usage: 3ppack diff OLD NEW -o FILE -V VERSION [--view PATTERN]... [--strict]\n"
          "                   [--no-trailer | --sign KEY]\n"
          "       3ppack diff OLD NEW -V VERSION --dry-run [--json] [--view PATTERN]...\n"
          "(3ppack --help tells more)\n");
}

int ParseDiffArguments(int argc, char** argv, DiffOptions* options) {
  std::vector<std::string> roots;
  for (int i = 0; i < argc; ++i) {
    int taken = ParseTrailerOption("diff", argc, argv, &i, &options->pack);
    if (taken < 0) return 2;
    if (taken > 0) continue;
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if ((arg == "-o" || arg == "-V" || arg == "--view") && !has_value) {
      fprintf(stderr, "3ppack diff: %s needs an argument\n", arg.c_str());
      return 2;
    }
    if (arg == "-o") {
      options->pack.output = argv[++i];
    } else if (arg == "-V") {
      options->pack.version = argv[++i];
      options->pack.has_version = true;
    } else if (arg == "--view") {
      std::string pattern;
      options->view_typed.push_back(argv[++i]);
      if (!HostTextToCp932(options->view_typed.back(), &pattern)) {
        fprintf(stderr, "3ppack diff: --view '%s' has characters outside code page 932\n",
                argv[i]);
        return 1;
      }
      options->view_patterns.push_back(pattern);
    } else if (arg == "--dry-run") {
      options->pack.dry_run = true;
    } else if (arg == "--json") {
      options->pack.json = true;
    } else if (arg == "--strict") {
      options->strict = true;
    } else if (!arg.empty() && arg[0] != '-') {
      roots.push_back(arg);
    } else {
      fprintf(stderr, "3ppack diff: unknown argument '%s'\n", arg.c_str());
      return 2;
    }
  }
  if (roots.size() != 2) {
    fprintf(stderr, "3ppack diff: give two trees, OLD and NEW\n");
    return 2;
  }
  options->old_root = roots[0];
  options->new_root = roots[1];
  if (!options->pack.has_version || (options->pack.output.empty() && !options->pack.dry_run)) {
    fprintf(stderr, "3ppack diff: -o FILE (unless --dry-run) and -V VERSION are required\n");
    return 2;
  }
  if (options->pack.json && !options->pack.dry_run) {
    fprintf(stderr, "3ppack diff: --json goes with --dry-run\n");
    return 2;
  }
  return 0;
}

// Code page 932 text is read a character at a time: one byte, or two after a
// lead byte. A second byte may be 0x5C (the backslash) or a letter, which
// must not count as a separator or be folded.
size_t CharLength(const std::string& text, size_t at) {
  unsigned char c = static_cast<unsigned char>(text[at]);
  bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
  return lead && at + 1 < text.size() ? 2 : 1;
}

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string FoldCase(const std::string& cp932) {
  std::string folded = cp932;
  for (size_t i = 0; i < folded.size(); i += CharLength(folded, i)) {
    if (CharLength(folded, i) == 1) folded[i] = FoldAscii(folded[i]);
  }
  return folded;
}

// Glob over code page 932 characters: * any run of characters but '/', ?
// one character but '/', anything else itself (ASCII letters in either
// case, as Windows matches names).
bool GlobMatch(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0;
  size_t star_p = std::string::npos, star_t = 0;
  while (t < text.size()) {
    size_t pl = p < pattern.size() ? CharLength(pattern, p) : 0;
    size_t tl = CharLength(text, t);
    if (pl == 1 && pattern[p] == '*') {
      star_p = ++p;
      star_t = t;
      continue;
    }
    bool same = pl == tl && (pl == 2 ? pattern.compare(p, 2, text, t, 2) == 0
                                     : FoldAscii(pattern[p]) == FoldAscii(text[t]));
    if (pl == 1 && pattern[p] == '?' && text[t] != '/') same = true;
    if (pl != 0 && same) {
      p += pl;
      t += tl;
      continue;
    }
    if (star_p == std::string::npos || text[star_t] == '/') return false;
    star_t += CharLength(text, star_t);
    t = star_t;
    p = star_p;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// A pattern with a '/' is matched against the whole tree path
// (install/docs/*.txt), one without against the file's own name (*.txt).
bool ViewMatches(const std::string& pattern, const NewFile& file) {
  bool whole = pattern.find('/') != std::string::npos;
  return GlobMatch(pattern, whole ? file.path_cp932 : file.base_cp932);
}

// Why a name component cannot be a Windows file name, or nullptr.
const char* RefuseComponent(const std::string& cp932) {
  size_t last = 0;
  for (size_t i = 0; i < cp932.size(); i += CharLength(cp932, i)) {
    last = i;
    unsigned char c = static_cast<unsigned char>(cp932[i]);
    if (CharLength(cp932, i) == 1 &&
        (c < 0x20 || c == 0x7F || std::string("\\:*?\"<>|").find(static_cast<char>(c)) !=
                                      std::string::npos)) {
      return "the name holds a character Windows does not allow in file names "
             "(\\ : * ? \" < > | or a control character)";
    }
  }
  if (CharLength(cp932, last) == 1 && (cp932[last] == '.' || cp932[last] == ' ')) {
    return "the name ends in a dot or a blank, which Windows drops";
  }
  return nullptr;
}

std::vector<std::string> SplitPath(const std::string& relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    parts.push_back(relative.substr(start, slash - start));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

// Places one file of NEW: its destination from the top folders, its names.
// False with the reason in *error.
bool PlaceNewFile(const TreeFile& file, NewFile* placed, std::string* error) {
  placed->file = &file;
  if (file.foreign) {
    *error = "the name has characters outside this system's code page";
    return false;
  }
  if (!file.regular) {
    *error = "not a regular file";
    return false;
  }
  std::vector<std::string> parts = SplitPath(file.relative);
  size_t skip = 0;
  for (uint8_t kind : {'b', 'i', 's', 'w'}) {
    std::vector<std::string> folder = SplitPath(TreeFolderOfKind(kind));
    if (parts.size() > folder.size() && std::equal(folder.begin(), folder.end(), parts.begin())) {
      placed->kind = kind;
      skip = folder.size();
      break;
    }
  }
  if (skip == 0) {
    *error = "not in a destination folder; NEW holds install/ (bitmap files in install/bitmap/) "
             "and windows/ (system files in windows/system/)";
    return false;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string cp932;
    if (!HostTextToCp932(parts[i], &cp932)) {
      *error = "the name has characters outside code page 932";
      return false;
    }
    if (const char* why = RefuseComponent(cp932)) {
      *error = why;
      return false;
    }
    placed->path_cp932 += (i == 0 ? "" : "/") + cp932;
    placed->sort_key += (i == 0 ? "" : "\x01") + cp932;
    placed->base_cp932 = cp932;
    if (i >= skip) placed->name += (i == skip ? "" : "\\") + parts[i];
  }
  placed->fold_key = FoldCase(placed->sort_key);
  return true;
}

// OLD's files by their folded key, so that a file whose name changed only in
// case is the same file, as Windows sees it.
std::map<std::string, const TreeFile*> IndexOldTree(const std::vector<TreeFile>& files) {
  std::map<std::string, const TreeFile*> index;
  for (const TreeFile& file : files) {
    std::string key;
    for (const std::string& part : SplitPath(file.relative)) {
      std::string cp932;
      if (!HostTextToCp932(part, &cp932)) cp932 = part;
      key += (key.empty() ? "" : "\x01") + cp932;
    }
    key = FoldCase(key);
    // Of two OLD files that differ only in case, the first by name stands for both.
    if (index.count(key) == 0 || index[key]->relative > file.relative) index[key] = &file;
  }
  return index;
}

}  // namespace

int RunDiff(int argc, char** argv) {
  DiffOptions options;
  int status = ParseDiffArguments(argc, argv, &options);
  if (status != 0) {
    if (status == 2) PrintDiffUsage();
    return status;
  }
  std::vector<TreeFile> old_files, new_files;
  std::string error;
  if (!ListTreeFiles(options.old_root, &old_files, &error) ||
      !ListTreeFiles(options.new_root, &new_files, &error)) {
    fprintf(stderr, "3ppack diff: %s\n", error.c_str());
    return 1;
  }

  auto by_path = [](const TreeFile& a, const TreeFile& b) { return a.relative < b.relative; };
  std::sort(new_files.begin(), new_files.end(), by_path);
  std::sort(old_files.begin(), old_files.end(), by_path);

  // Every file of NEW is placed; all refusals are reported, then nothing is
  // written.
  std::vector<NewFile> placed;
  bool refused = false;
  for (const TreeFile& file : new_files) {
    NewFile one;
    if (!PlaceNewFile(file, &one, &error)) {
      fprintf(stderr, "3ppack diff: %s: %s\n",
              JoinPath(options.new_root, file.relative).c_str(), error.c_str());
      refused = true;
      continue;
    }
    placed.push_back(one);
  }
  std::sort(placed.begin(), placed.end(),
            [](const NewFile& a, const NewFile& b) {
              return a.fold_key != b.fold_key ? a.fold_key < b.fold_key : a.sort_key < b.sort_key;
            });
  for (size_t i = 1; i < placed.size(); ++i) {
    if (placed[i].fold_key == placed[i - 1].fold_key) {
      fprintf(stderr, "3ppack diff: %s and %s differ only in case; Windows keeps one file for both\n",
              JoinPath(options.new_root, placed[i - 1].file->relative).c_str(),
              JoinPath(options.new_root, placed[i].file->relative).c_str());
      refused = true;
    }
  }
  if (refused) return 1;

  std::map<std::string, const TreeFile*> old_index = IndexOldTree(old_files);
  std::set<std::string> in_new;
  int added = 0, changed = 0, unchanged = 0;
  std::vector<bool> view_used(options.view_patterns.size(), false);
  for (NewFile& file : placed) {
    in_new.insert(file.fold_key);
    auto old = old_index.find(file.fold_key);
    bool same = false;
    if (old != old_index.end() && old->second->regular &&
        !SameFileContent(JoinPath(options.old_root, old->second->relative),
                         JoinPath(options.new_root, file.file->relative), &same, &error)) {
      fprintf(stderr, "3ppack diff: %s\n", error.c_str());
      return 1;
    }
    if (same) {
      ++unchanged;
      continue;
    }
    if (old == old_index.end()) {
      ++added;
    } else {
      ++changed;
    }
    for (size_t v = 0; v < options.view_patterns.size(); ++v) {
      if (ViewMatches(options.view_patterns[v], file)) {
        file.kind = static_cast<uint8_t>(file.kind - 'a' + 'A');
        view_used[v] = true;
        break;
      }
    }
    SourceEntry entry;
    entry.kind = std::string(1, static_cast<char>(file.kind));
    entry.source = JoinPath(options.new_root, file.file->relative);
    entry.name = file.name;
    entry.has_time = false;
    entry.origin = entry.source;
    options.pack.entries.push_back(entry);
  }

  // The format has no way to remove a file: what NEW dropped stays on the
  // users' machines, which the maintainer must hear about.
  int removed = 0;
  for (const auto& [key, file] : old_index) {
    if (in_new.count(key) != 0) continue;
    ++removed;
    fprintf(stderr, "3ppack diff: %s%s is gone from NEW; an archive cannot remove files, so it "
            "stays on users' machines\n", options.strict ? "" : "warning: ",
            JoinPath(options.old_root, file->relative).c_str());
  }
  for (size_t v = 0; v < options.view_patterns.size(); ++v) {
    if (!view_used[v]) {
      fprintf(stderr, "3ppack diff: warning: --view '%s' matches no packed file\n",
              options.view_typed[v].c_str());
    }
  }
  fprintf(stderr, "3ppack diff: %d new, %d changed, %d unchanged, %d gone from NEW\n", added,
          changed, unchanged, removed);
  if (options.strict && removed > 0) {
    fprintf(stderr, "3ppack diff: --strict: %d file(s) gone from NEW; nothing written\n", removed);
    return 1;
  }
  return PackEntries("diff", options.pack);
}
