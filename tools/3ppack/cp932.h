// Text conversion between the host's text, UTF-8 and the archive's code page
// 932.
//
// Host text is what the system hands the tool and shows from it: command-line
// arguments, file names found on disk, what is printed. It is UTF-8 on Linux
// and the ANSI code page on Windows (932 on a Japanese system, where names
// are then already code page 932 bytes). Manifests are UTF-8 on both.
#pragma once

#include <string>

enum TextCode {
  kTextUtf8,
  kTextCp932,
  kTextHost,   // UTF-8 on Linux, the ANSI code page on Windows
};

// Converts all of input; false on any character that has no form in the
// target or an invalid or incomplete sequence in the input. One file per OS
// (text_posix.cpp, text_win32.cpp).
bool ConvertText(TextCode to, TextCode from, const std::string& input, std::string* output);

// Host text to code page 932 bytes, for names and the version. False when
// some character has no code page 932 form, or when the result would not
// convert back to the same text (the yen sign, for one, would come back as a
// backslash, which the updater takes for a folder separator).
bool HostTextToCp932(const std::string& host, std::string* cp932);

// The same for UTF-8 text (manifests).
bool Utf8ToCp932(const std::string& utf8, std::string* cp932);

// Code page 932 bytes to UTF-8 (JSON) or host text (paths, messages). False
// when the bytes are not valid code page 932 or have no host form.
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8);
bool Cp932ToHostText(const std::string& cp932, std::string* host);

// The bytes as host text for showing: converted when they are valid code
// page 932, otherwise each byte outside printable ASCII is written as \xNN.
std::string Cp932ForDisplay(const std::string& cp932);
// The same as UTF-8, for JSON.
std::string Cp932ForJson(const std::string& cp932);
