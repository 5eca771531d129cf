// Text conversion on Windows, through the system's code pages. Host text is
// the ANSI code page, the one the command line and the A calls use.
#include <windows.h>

#include <string>

#include "3ppack/cp932.h"

namespace {

UINT CodePage(TextCode code) {
  switch (code) {
    case kTextUtf8: return CP_UTF8;
    case kTextCp932: return 932;
    default: return CP_ACP;
  }
}

}  // namespace

// Through UTF-16, refusing invalid input and every character that the target
// would only approximate (no best-fit mapping, no default character).
bool ConvertText(TextCode to, TextCode from, const std::string& input, std::string* output) {
  output->clear();
  if (input.empty()) return true;
  if (input.size() > 0x3FFFFFFF) return false;
  int in_size = static_cast<int>(input.size());
  int wide_size = MultiByteToWideChar(CodePage(from), MB_ERR_INVALID_CHARS, input.data(), in_size,
                                      nullptr, 0);
  if (wide_size <= 0) return false;
  std::wstring wide(static_cast<size_t>(wide_size), L'\0');
  MultiByteToWideChar(CodePage(from), MB_ERR_INVALID_CHARS, input.data(), in_size, wide.data(),
                      wide_size);
  UINT target = CodePage(to);
  DWORD flags = target == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* used = target == CP_UTF8 ? nullptr : &used_default;
  int out_size = WideCharToMultiByte(target, flags, wide.data(), wide_size, nullptr, 0, nullptr,
                                     used);
  if (out_size <= 0 || used_default) return false;
  output->resize(static_cast<size_t>(out_size));
  WideCharToMultiByte(target, flags, wide.data(), wide_size, output->data(), out_size, nullptr,
                      used);
  return !used_default;
}
