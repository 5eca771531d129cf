// make_archive: turns a field-by-field description of an archive into its
// bytes, so that test scenarios can describe archives that no encoder would
// write (odd tables, bad code lengths, truncations at any bit) as plain data.
//
//   make_archive DESCRIPTION OUTPUT      ("-" reads the description from stdin)
//
// The description is a sequence of whitespace-separated directives; '#'
// starts a comment that runs to the end of the line:
//
//   byte N            8 bits (N decimal, 0x hex, or a quoted one-byte text)
//   word N            32 bits, most significant first (negative: two's complement)
//   bits 0110         the bits as written, first bit first
//   text T            the bytes of T, no length
//   counted T         a length byte, then the bytes of T
//   hex 02 03E8 ...   bytes given in hex, as many tokens as follow
//   repeat N { ... }  the directives inside the braces, N times
//   truncate-bits N   keep only the first N bits of the result (the last
//                     byte is filled up with zero bits)
//
// T is a bare word or a double-quoted string with the escapes \\ \" \n \r
// \t \0 and \xNN. Every field follows the previous one at the next bit, with
// no alignment, exactly as the archive stores them.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/bit_writer.h"

namespace {

constexpr uint64_t kMaxOutputBits = 8ull * 64 * 1024 * 1024;  // 64 MiB is plenty for a test
constexpr int kMaxRepeatDepth = 16;

struct Token {
  std::string text;  // the token, quotes and escapes resolved
  bool quoted;       // a quoted token is never a directive or a brace
  int line;          // for error messages
};

struct Maker {
  std::vector<Token> tokens;  // the whole description
  BitWriter writer;           // the archive being built
  int64_t truncate_bits = -1; // cut applied at the end, -1 for none
  std::string error;          // first error met; the run stops at it
};

Maker g_maker;

// Records the first error with the line it was found on; returns false so
// callers can write `return Fail(...)`.
bool Fail(int line, const std::string& message) {
  if (g_maker.error.empty()) g_maker.error = "line " + std::to_string(line) + ": " + message;
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a double-quoted string starting at text[pos] (the opening quote),
// resolving escapes into out. Returns the index after the closing quote, or
// std::string::npos when the string is not closed or an escape is bad.
size_t ReadQuoted(const std::string& text, size_t pos, std::string* out) {
  for (size_t i = pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return i + 1;
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (++i >= text.size()) return std::string::npos;
    switch (text[i]) {
      case '\\': *out += '\\'; break;
      case '"': *out += '"'; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case '0': *out += '\0'; break;
      case 'x': {
        if (i + 2 >= text.size()) return std::string::npos;
        int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::string::npos;
        *out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return std::string::npos;
    }
  }
  return std::string::npos;
}

// Splits the description into tokens. False (with the error set) on an
// unterminated string.
bool Tokenize(const std::string& text) {
  int line = 1;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\n') ++line;
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == '"') {
      Token token{"", true, line};
      size_t next = ReadQuoted(text, i, &token.text);
      if (next == std::string::npos) return Fail(line, "bad quoted string");
      g_maker.tokens.push_back(token);
      i = next;
    } else {
      size_t start = i;
      while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      g_maker.tokens.push_back(Token{text.substr(start, i - start), false, line});
    }
  }
  return true;
}

// Parses a whole number token (decimal, 0x hex, optional minus, or a quoted
// one-byte text). False when the token is no number.
bool ParseNumber(const Token& token, int64_t* value) {
  if (token.quoted) {
    if (token.text.size() != 1) return Fail(token.line, "expected one character");
    *value = static_cast<unsigned char>(token.text[0]);
    return true;
  }
  const char* start = token.text.c_str();
  char* end = nullptr;
  bool is_hex = token.text.rfind("0x", 0) == 0 || token.text.rfind("-0x", 0) == 0;
  long long parsed = std::strtoll(start, &end, is_hex ? 16 : 10);  // no octal surprises
  if (token.text.empty() || *end != '\0') return Fail(token.line, "bad number '" + token.text + "'");
  *value = parsed;
  return true;
}

// True when the token is a hex byte string (an even number of hex digits).
bool IsHexBytes(const Token& token) {
  if (token.quoted || token.text.empty() || token.text.size() % 2 != 0) return false;
  for (char c : token.text) {
    if (HexValue(c) < 0) return false;
  }
  return true;
}

// Index of the '}' that closes the '{' at open, or tokens.size() when none.
size_t FindClosingBrace(size_t open, size_t end) {
  int depth = 0;
  for (size_t i = open; i < end; ++i) {
    const Token& token = g_maker.tokens[i];
    if (token.quoted) continue;
    if (token.text == "{") ++depth;
    if (token.text == "}" && --depth == 0) return i;
  }
  return g_maker.tokens.size();
}

bool OutputTooLarge(int line) {
  if (g_maker.writer.bit_count <= kMaxOutputBits) return false;
  Fail(line, "output grows past 64 MiB");
  return true;
}

// Runs the directives in tokens [begin, end). False on the first error.
bool RunDirectives(size_t begin, size_t end, int depth) {
  BitWriter& w = g_maker.writer;
  size_t i = begin;
  while (i < end) {
    const Token& op = g_maker.tokens[i++];
    if (op.quoted) return Fail(op.line, "expected a directive, found a string");
    bool has_argument = i < end;
    const Token& arg = has_argument ? g_maker.tokens[i] : op;
    int64_t value = 0;
    if (op.text == "hex") {
      if (!has_argument || !IsHexBytes(arg)) return Fail(op.line, "hex needs hex bytes");
      while (i < end && IsHexBytes(g_maker.tokens[i])) {
        const std::string& digits = g_maker.tokens[i++].text;
        for (size_t k = 0; k < digits.size(); k += 2) {
          PutByte(w, static_cast<uint8_t>(HexValue(digits[k]) * 16 + HexValue(digits[k + 1])));
        }
      }
      continue;
    }
    if (!has_argument) return Fail(op.line, op.text + " needs an argument");
    ++i;
    if (op.text == "byte") {
      if (!ParseNumber(arg, &value)) return false;
      if (value < -128 || value > 255) return Fail(op.line, "byte out of range");
      PutByte(w, static_cast<uint8_t>(value));
    } else if (op.text == "word") {
      if (!ParseNumber(arg, &value)) return false;
      if (value < INT32_MIN || value > UINT32_MAX) return Fail(op.line, "word out of range");
      PutWord(w, static_cast<uint32_t>(value));
    } else if (op.text == "bits") {
      if (arg.quoted || arg.text.find_first_not_of("01") != std::string::npos) {
        return Fail(op.line, "bits takes 0s and 1s");
      }
      PutCode(w, arg.text);
    } else if (op.text == "text") {
      for (unsigned char c : arg.text) PutByte(w, c);
    } else if (op.text == "counted") {
      if (arg.text.size() > kMaxTextLength) return Fail(op.line, "counted text over 255 bytes");
      PutCountedText(w, arg.text);
    } else if (op.text == "truncate-bits") {
      if (!ParseNumber(arg, &value) || value < 0) return Fail(op.line, "bad bit count");
      g_maker.truncate_bits = value;
    } else if (op.text == "repeat") {
      if (!ParseNumber(arg, &value) || value < 0) return Fail(op.line, "bad repeat count");
      if (i >= end || g_maker.tokens[i].quoted || g_maker.tokens[i].text != "{") {
        return Fail(op.line, "repeat needs '{'");
      }
      size_t close = FindClosingBrace(i, end);
      if (close >= end) return Fail(op.line, "repeat without '}'");
      if (depth >= kMaxRepeatDepth) return Fail(op.line, "repeats nested too deep");
      for (int64_t n = 0; n < value; ++n) {
        if (!RunDirectives(i + 1, close, depth + 1) || OutputTooLarge(op.line)) return false;
      }
      i = close + 1;
    } else {
      return Fail(op.line, "unknown directive '" + op.text + "'");
    }
    if (OutputTooLarge(op.line)) return false;
  }
  return true;
}

// Reads all of a file (or stdin for "-"); false when it cannot be read.
bool ReadAll(const char* path, std::string* out) {
  bool is_stdin = std::string(path) == "-";
  std::FILE* file = is_stdin ? stdin : std::fopen(path, "rb");
  if (file == nullptr) return false;
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) out->append(buffer, count);
  bool ok = !std::ferror(file);
  if (!is_stdin) std::fclose(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_archive DESCRIPTION OUTPUT   (DESCRIPTION may be -)\n");
    return 2;
  }
  std::string description;
  if (!ReadAll(argv[1], &description)) {
    std::fprintf(stderr, "make_archive: cannot read %s\n", argv[1]);
    return 2;
  }
  if (!Tokenize(description) || !RunDirectives(0, g_maker.tokens.size(), 0)) {
    std::fprintf(stderr, "make_archive: %s\n", g_maker.error.c_str());
    return 2;
  }
  if (g_maker.truncate_bits >= 0) {
    TruncateBits(g_maker.writer, static_cast<uint64_t>(g_maker.truncate_bits));
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "make_archive: cannot write %s\n", argv[2]);
    return 2;
  }
  size_t size = g_maker.writer.bytes.size();
  bool ok = std::fwrite(g_maker.writer.bytes.data(), 1, size, out) == size;
  ok = std::fclose(out) == 0 && ok;
  if (!ok) std::fprintf(stderr, "make_archive: write to %s failed\n", argv[2]);
  return ok ? 0 : 2;
}
