// 3ppack.exe verifies trailers and signatures (through CNG, in the platform
// layer) but neither makes keys nor signs: reading and writing PKCS#8 PEM
// keys with CNG alone takes an encoder of our own. Keys and signatures come
// from the Linux tool or openssl.
#include "3ppack/signing.h"

namespace {

bool Refuse(std::string* error) {
  *error = "3ppack.exe does not make keys or sign; use 3ppack on Linux (or openssl)";
  return false;
}

}  // namespace

bool MakeKeyPair(const std::string&, std::string* error) { return Refuse(error); }

bool ReadSigningKeyPoint(const std::string&, uint8_t*, std::string* error) { return Refuse(error); }

bool SignMessage(const std::string&, const uint8_t*, size_t, uint8_t*, std::string* error) {
  return Refuse(error);
}

bool UncompressPublicKey(const std::string& path, const std::vector<uint8_t>&, uint8_t*,
                         std::string* error) {
  *error = "'" + path + "' holds no P-256 public key in uncompressed form; 3ppack.exe reads "
           "only that form (convert it: openssl pkey -pubin -in KEY -ec_conv_form uncompressed)";
  return false;
}
