// Code page 932 conversion through iconv. The archive tool runs on the host
// only, so this one file uses the C library's converter directly.
#include "3ppack/cp932.h"

#include <iconv.h>

#include <cstdio>
#include <string>

namespace {

// Converts all of input from one encoding to another. False on any
// character that does not convert or an incomplete sequence at the end.
bool Convert(const char* to, const char* from, const std::string& input, std::string* output) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  output->clear();
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

}  // namespace

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) {
  std::string back;
  if (!Convert("CP932", "UTF-8", utf8, cp932)) return false;
  return Convert("UTF-8", "CP932", *cp932, &back) && back == utf8;
}

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  return Convert("UTF-8", "CP932", cp932, utf8);
}

std::string Cp932ForDisplay(const std::string& cp932) {
  std::string utf8;
  if (Cp932ToUtf8(cp932, &utf8)) return utf8;
  std::string shown;
  for (unsigned char c : cp932) {
    if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    }
  }
  return shown;
}
