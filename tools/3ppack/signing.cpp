// Reading public keys and appending the trailer: the same on every OS. See
// signing.h.
#include "3ppack/signing.h"

#include <cstdio>
#include <cstring>

#include "3ppack/commands.h"
#include "3ppack/pack_files.h"
#include "archive/trailer.h"

namespace {

// A P-256 SubjectPublicKeyInfo up to its point (see the host's crypto.cpp).
constexpr uint8_t kP256InfoPrefix[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
    0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The bytes between "-----BEGIN label-----" and its END line, base64
// decoded. False when there is no such block or it is not base64.
bool DecodePem(const std::string& text, const std::string& label, std::vector<uint8_t>* der) {
  std::string begin = "-----BEGIN " + label + "-----";
  std::string end = "-----END " + label + "-----";
  size_t start = text.find(begin);
  if (start == std::string::npos) return false;
  start += begin.size();
  size_t stop = text.find(end, start);
  if (stop == std::string::npos) return false;
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = start; i < stop; ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') break;
    int value = Base64Value(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      der->push_back(static_cast<uint8_t>(bits >> held));
    }
  }
  return true;
}

}  // namespace

bool ReadPublicKeyFile(const std::string& path, uint8_t* point, std::string* error) {
  FileBytes file;
  if (!ReadWholeFile(path, 1 << 20, &file, error)) return false;
  std::string text(reinterpret_cast<const char*>(file.data.get()), file.size);
  std::vector<uint8_t> der;
  if (!DecodePem(text, "PUBLIC KEY", &der)) {
    *error = "'" + path + "' holds no public key (PEM, BEGIN PUBLIC KEY)";
    return false;
  }
  // The uncompressed form, as keygen and openssl write by default; a hybrid
  // point has the same size and another first byte, and a compressed one
  // is shorter: both go to the system's library to be converted.
  if (der.size() == sizeof kP256InfoPrefix + kPublicPointSize &&
      std::memcmp(der.data(), kP256InfoPrefix, sizeof kP256InfoPrefix) == 0 &&
      der[sizeof kP256InfoPrefix] == 0x04) {
    std::memcpy(point, der.data() + sizeof kP256InfoPrefix, kPublicPointSize);
    return true;
  }
  return UncompressPublicKey(path, der, point, error);
}

bool AppendTrailer(std::vector<uint8_t>* archive, const std::string& key_path,
                   std::string* error) {
  uint8_t digest[kDigestSize];
  PlatformDigest running;
  PlatformStartDigest(&running);
  PlatformAddToDigest(&running, archive->data(), archive->size());
  if (!PlatformFinishDigest(&running, digest)) {
    *error = "the system gives no SHA-256";
    return false;
  }
  uint8_t trailer[kTrailerSignedSize];
  size_t length = 0;
  if (key_path.empty()) {
    length = WriteTrailer(digest, nullptr, nullptr, trailer);
  } else {
    uint8_t point[kPublicPointSize];
    uint8_t key_id[kKeyIdSize];
    uint8_t signature[kSignatureSize];
    uint8_t fields[kTrailerSignedFields];
    if (!ReadSigningKeyPoint(key_path, point, error)) return false;
    if (!KeyIdOfPoint(point, key_id)) {
      *error = "the system gives no SHA-256";
      return false;
    }
    TrailerSignedFields(digest, key_id, fields);
    if (!SignMessage(key_path, fields, sizeof fields, signature, error)) return false;
    length = WriteTrailer(digest, key_id, signature, trailer);
  }
  archive->insert(archive->end(), trailer, trailer + length);
  return true;
}

int RunKeygen(int argc, char** argv) {
  if (argc != 2 || std::string(argv[0]) != "-o" || argv[1][0] == '\0') {
    fprintf(stderr, "usage: 3ppack keygen -o NAME   (writes NAME.key and NAME.pub)\n");
    return 2;
  }
  std::string error;
  if (!MakeKeyPair(argv[1], &error)) {
    fprintf(stderr, "3ppack keygen: %s\n", error.c_str());
    return 1;
  }
  printf("%s.key: private key (keep it secret)\n%s.pub: public key\n", argv[1], argv[1]);
  return 0;
}
