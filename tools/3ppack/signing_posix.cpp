// Making keys and signing with OpenSSL's libcrypto.
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <sys/stat.h>

#include "3ppack/signing.h"

namespace {

// The private key in the PEM file at path; nullptr with a message.
EVP_PKEY* ReadPrivateKey(const std::string& path, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open '" + path + "'";
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  fclose(file);
  if (key == nullptr || !EVP_PKEY_is_a(key, "EC") || EVP_PKEY_get_bits(key) != 256) {
    EVP_PKEY_free(key);
    *error = "'" + path + "' holds no ECDSA P-256 private key (PEM)";
    return nullptr;
  }
  return key;
}

// Writes a PEM file that did not exist, readable by its owner only when
// private. False with a message.
bool WritePemFile(const std::string& path, EVP_PKEY* key, bool is_private, std::string* error) {
  FILE* file = fopen(path.c_str(), "wx");
  if (file == nullptr) {
    *error = "cannot create '" + path + "' (it may exist already)";
    return false;
  }
  if (is_private) fchmod(fileno(file), 0600);
  bool written = is_private ? PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                            : PEM_write_PUBKEY(file, key) == 1;
  written = fclose(file) == 0 && written;
  if (!written) {
    remove(path.c_str());
    *error = "cannot write '" + path + "'";
  }
  return written;
}

}  // namespace

bool MakeKeyPair(const std::string& name, std::string* error) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) {
    *error = "OpenSSL made no P-256 key";
    return false;
  }
  bool made = WritePemFile(name + ".key", key, true, error);
  if (made && !WritePemFile(name + ".pub", key, false, error)) {
    remove((name + ".key").c_str());
    made = false;
  }
  EVP_PKEY_free(key);
  return made;
}

bool ReadSigningKeyPoint(const std::string& key_path, uint8_t* point, std::string* error) {
  EVP_PKEY* key = ReadPrivateKey(key_path, error);
  if (key == nullptr) return false;
  size_t size = 0;
  bool read = EVP_PKEY_get_octet_string_param(key, "encoded-pub-key", point, kPublicPointSize,
                                              &size) == 1 &&
              size == kPublicPointSize && point[0] == 0x04;
  EVP_PKEY_free(key);
  if (!read) *error = "'" + key_path + "': its public point cannot be had";
  return read;
}

bool SignMessage(const std::string& key_path, const uint8_t* message, size_t size,
                 uint8_t* signature, std::string* error) {
  EVP_PKEY* key = ReadPrivateKey(key_path, error);
  if (key == nullptr) return false;
  uint8_t der[80];
  size_t der_size = sizeof der;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool signed_ok = context != nullptr &&
                   EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                   EVP_DigestSign(context, der, &der_size, message, size) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  // The DER form (r, s as integers) becomes the fixed r, s of 32 bytes each.
  const uint8_t* cursor = der;
  ECDSA_SIG* sig = signed_ok ? d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_size)) : nullptr;
  signed_ok = sig != nullptr &&
              BN_bn2binpad(ECDSA_SIG_get0_r(sig), signature, 32) == 32 &&
              BN_bn2binpad(ECDSA_SIG_get0_s(sig), signature + 32, 32) == 32;
  ECDSA_SIG_free(sig);
  if (!signed_ok) *error = "signing with '" + key_path + "' failed";
  return signed_ok;
}
