// Making keys and signing with OpenSSL's libcrypto.
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "3ppack/signing.h"

namespace {

// True for a key on the curve P-256 (prime256v1): the only curve updaters
// verify. Other 256-bit curves (secp256k1, brainpoolP256r1) are not it.
bool IsP256Key(EVP_PKEY* key) {
  char group[64];
  size_t length = 0;
  return key != nullptr && EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &length) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

// The key's public point in uncompressed form (0x04, X, Y), whatever form
// the key was stored in. False when it cannot be had.
bool UncompressedPoint(EVP_PKEY* key, uint8_t* point) {
  size_t size = 0;
  return EVP_PKEY_set_utf8_string_param(key, "point-format", "uncompressed") == 1 &&
         EVP_PKEY_get_octet_string_param(key, "encoded-pub-key", point, kPublicPointSize,
                                         &size) == 1 &&
         size == kPublicPointSize && point[0] == 0x04;
}

// The private key in the PEM file at path; nullptr with a message.
EVP_PKEY* ReadPrivateKey(const std::string& path, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open '" + path + "'";
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  fclose(file);
  if (!IsP256Key(key)) {
    EVP_PKEY_free(key);
    *error = "'" + path + "' holds no ECDSA P-256 (prime256v1) private key (PEM); updaters "
             "verify no other curve";
    return nullptr;
  }
  return key;
}

// True when the open file's mode is 0600. A umask that took the owner's own
// bits leaves a file nobody else can open either; those bits are given back.
// A file with any bit for others, or whose mode cannot be read, is not.
bool KeepOwnerOnly(int descriptor) {
  struct stat status;
  if (fstat(descriptor, &status) != 0 || (status.st_mode & 077) != 0) return false;
  if ((status.st_mode & 0777) != 0600 && fchmod(descriptor, 0600) != 0) return false;
  return fstat(descriptor, &status) == 0 && (status.st_mode & 0777) == 0600;
}

// Writes a PEM file that did not exist. A private key's file is created
// with mode 0600 by the open call itself, so that no other user can open it
// at any moment (a mode set after the open leaves a gap in which another
// user's open succeeds and later reads the key); a file that is not 0600
// after that (an odd file system) is removed unwritten. False with a
// message.
bool WritePemFile(const std::string& path, EVP_PKEY* key, bool is_private, std::string* error) {
  int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        is_private ? 0600 : 0644);
  if (descriptor < 0) {
    *error = "cannot create '" + path + "' (it may exist already)";
    return false;
  }
  if (is_private && !KeepOwnerOnly(descriptor)) {
    close(descriptor);
    remove(path.c_str());
    *error = "'" + path + "' was not created readable by its owner only; no key written";
    return false;
  }
  FILE* file = fdopen(descriptor, "wb");
  if (file == nullptr) {
    close(descriptor);
    remove(path.c_str());
    *error = "cannot write '" + path + "'";
    return false;
  }
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

bool UncompressPublicKey(const std::string& path, const std::vector<uint8_t>& der, uint8_t* point,
                         std::string* error) {
  const uint8_t* cursor = der.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size()));
  bool read = IsP256Key(key) && UncompressedPoint(key, point);
  EVP_PKEY_free(key);
  if (!read) *error = "'" + path + "' holds no ECDSA P-256 (prime256v1) public key";
  return read;
}

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
  bool read = UncompressedPoint(key, point);
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
