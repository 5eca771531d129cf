// Text conversion on Linux, through the C library's iconv. Host text is
// UTF-8.
#include <iconv.h>

#include <string>

#include "3ppack/cp932.h"

namespace {

const char kCp932[] = "CP932";
const char kUtf8[] = "UTF-8";

const char* IconvName(TextCode code) { return code == kTextCp932 ? kCp932 : kUtf8; }

}  // namespace

bool ConvertText(TextCode to, TextCode from, const std::string& input, std::string* output) {
  // UTF-8 to UTF-8: nothing to convert; a name that is not UTF-8 is refused
  // when it is turned into code page 932.
  if (IconvName(to) == IconvName(from)) {
    *output = input;
    return true;
  }
  output->clear();
  iconv_t cd = iconv_open(IconvName(to), IconvName(from));
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = input;
  char* in_next = in.data();
  size_t in_left = in.size();
  char buffer[1024];
  bool ok = true;
  while (in_left > 0) {
    char* out_next = buffer;
    size_t out_left = sizeof buffer;
    size_t r = iconv(cd, &in_next, &in_left, &out_next, &out_left);
    output->append(buffer, static_cast<size_t>(out_next - buffer));
    // A full buffer is the one failure worth another round.
    if (r == static_cast<size_t>(-1) && out_next == buffer) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}
