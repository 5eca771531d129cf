// The checks and fallbacks around the per-OS conversion of ConvertText.
#include "3ppack/cp932.h"

#include <cstdio>
#include <string>

namespace {

// Converts to code page 932 and insists on the way back giving the same text.
bool ToCp932Exactly(TextCode from, const std::string& text, std::string* cp932) {
  std::string back;
  if (!ConvertText(kTextCp932, from, text, cp932)) return false;
  return ConvertText(from, kTextCp932, *cp932, &back) && back == text;
}

std::string ShownAs(TextCode code, const std::string& cp932) {
  std::string text;
  if (ConvertText(code, kTextCp932, cp932, &text)) return text;
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

}  // namespace

bool HostTextToCp932(const std::string& host, std::string* cp932) {
  return ToCp932Exactly(kTextHost, host, cp932);
}

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) {
  return ToCp932Exactly(kTextUtf8, utf8, cp932);
}

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  return ConvertText(kTextUtf8, kTextCp932, cp932, utf8);
}

bool Cp932ToHostText(const std::string& cp932, std::string* host) {
  return ConvertText(kTextHost, kTextCp932, cp932, host);
}

std::string Cp932ForDisplay(const std::string& cp932) { return ShownAs(kTextHost, cp932); }

std::string Cp932ForJson(const std::string& cp932) { return ShownAs(kTextUtf8, cp932); }
