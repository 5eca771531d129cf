// Manifest files: the entry list of an archive, one entry a line, fields
// separated by TAB so that names may hold blanks and backslashes.
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "3ppack/cp932.h"
#include "3ppack/create.h"
#include "3ppack/pack_files.h"

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    if (tab == std::string::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

}  // namespace

bool ParseSeconds(const std::string& text, int32_t* seconds) {
  if (text.empty() || text.size() > 20) return false;
  errno = 0;
  char* end = nullptr;
  long long value = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  *seconds = static_cast<int32_t>(value);
  return true;
}

bool ReadManifest(const std::string& path, std::vector<SourceEntry>* entries, std::string* error) {
  FileBytes bytes;
  if (!ReadWholeFile(path, UINT64_C(1) << 30, &bytes, error)) return false;
  std::string text(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
  size_t start = 0;
  int line_number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsBlank(line) || line[line.find_first_not_of(" \t")] == '#') continue;
    std::string origin = path + " line " + std::to_string(line_number);
    std::vector<std::string> fields = SplitTabs(line);
    if (fields.size() != 3 && fields.size() != 4) {
      *error = origin + ": expected KIND<TAB>SOURCE<TAB>NAME[<TAB>SECONDS], found " +
               std::to_string(fields.size()) + " field(s)";
      return false;
    }
    SourceEntry e;
    e.kind = fields[0];
    // The manifest is UTF-8; the tool works in host text.
    std::string source;
    if (!ConvertText(kTextHost, kTextUtf8, fields[1], &source) ||
        !ConvertText(kTextHost, kTextUtf8, fields[2], &e.name)) {
      *error = origin + ": a field is not UTF-8 or has no form in this system's code page";
      return false;
    }
    e.source = PathBesideFile(path, source);
    e.has_time = fields.size() == 4;
    if (e.has_time) e.time = fields[3];
    e.origin = origin;
    entries->push_back(e);
  }
  return true;
}
