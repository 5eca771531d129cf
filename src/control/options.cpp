#include "control/options.h"

#include <cstddef>

namespace {

// True when text, after its '/' or '-', is name in any ASCII case and then
// ends, or (with_value) goes on with '='; *value then points past the '='.
bool MatchOption(const char* text, const char* name, bool with_value, const char** value) {
  if (text[0] != '/' && text[0] != '-') return false;
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    char c = text[1 + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != name[i]) return false;
  }
  const char* rest = text + 1 + i;
  if (!with_value) return *rest == '\0';
  if (*rest != '=') return false;
  *value = rest + 1;
  return true;
}

}  // namespace

RunOptions ParseOptions(int argc, char** argv) {
  RunOptions options = {false, false, false, false, false, nullptr};
  const char* value = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* text = argv[i];
    if (MatchOption(text, "quiet", false, &value)) {
      options.quiet = true;
    } else if (MatchOption(text, "overwrite-newer", false, &value)) {
      options.overwrite_newer = true;
    } else if (MatchOption(text, "downgrade", false, &value)) {
      options.downgrade = true;
    } else if (MatchOption(text, "verify", false, &value)) {
      options.verify = true;
    } else if (MatchOption(text, "?", false, &value)) {
      options.usage = true;
    } else if (MatchOption(text, "log", true, &value)) {
      options.log_path = value;
    }
  }
  return options;
}
