// Text conversion between the host's UTF-8 and the archive's code page 932.
#pragma once

#include <string>

// Converts UTF-8 text to code page 932 bytes. False when some character has
// no code page 932 form, or when the result would not convert back to the
// same text (the yen sign, for one, would come back as a backslash, which
// the updater takes for a folder separator).
bool Utf8ToCp932(const std::string& utf8, std::string* cp932);

// Converts code page 932 bytes to UTF-8. False when the bytes are not valid
// code page 932.
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8);

// The bytes as UTF-8 for showing: converted when they are valid code page 932,
// otherwise each byte outside printable ASCII is written as \xNN.
std::string Cp932ForDisplay(const std::string& cp932);
