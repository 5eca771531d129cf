// SHA-256 and ECDSA P-256 verification through OpenSSL's libcrypto. The
// digest uses the SHA256_* calls, whose state lives in the caller's memory
// (the EVP ones allocate it); they are deprecated in favour of EVP but
// remain part of the library.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>

#include "platform/platform.h"

namespace {

static_assert(sizeof(SHA256_CTX) <= kDigestStateSize, "the digest's state fits its place");

SHA256_CTX* State(PlatformDigest* digest) { return reinterpret_cast<SHA256_CTX*>(digest->state); }

// The DER SubjectPublicKeyInfo of a P-256 key up to its point: the
// algorithm (id-ecPublicKey, prime256v1) and the bit string's header. The
// 65-byte uncompressed point follows.
constexpr uint8_t kP256InfoPrefix[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
    0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

EVP_PKEY* PublicKeyFromPoint(const uint8_t* point) {
  uint8_t info[sizeof kP256InfoPrefix + kPublicPointSize];
  std::memcpy(info, kP256InfoPrefix, sizeof kP256InfoPrefix);
  std::memcpy(info + sizeof kP256InfoPrefix, point, kPublicPointSize);
  const uint8_t* cursor = info;
  return d2i_PUBKEY(nullptr, &cursor, sizeof info);
}

// The signature (r, s) in the DER form OpenSSL verifies; 0 on failure.
int DerSignature(const uint8_t* signature, uint8_t* der, int room) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
  int length = 0;
  if (sig != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
    r = s = nullptr;  // owned by sig now
    if (i2d_ECDSA_SIG(sig, nullptr) <= room) {
      uint8_t* cursor = der;
      length = i2d_ECDSA_SIG(sig, &cursor);
    }
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(sig);
  return length > 0 ? length : 0;
}

}  // namespace

bool PlatformStartDigest(PlatformDigest* digest) {
  digest->running = SHA256_Init(State(digest)) == 1;
  return digest->running;
}

// A failed addition ends the digest: finishing it then gives no value.
void PlatformAddToDigest(PlatformDigest* digest, const void* bytes, size_t count) {
  if (digest->running && count > 0 && SHA256_Update(State(digest), bytes, count) != 1) {
    digest->running = false;
  }
}

bool PlatformFinishDigest(PlatformDigest* digest, uint8_t* out) {
  std::memset(out, 0, kDigestSize);
  if (!digest->running) return false;
  digest->running = false;
  if (SHA256_Final(out, State(digest)) == 1) return true;
  std::memset(out, 0, kDigestSize);
  return false;
}

void PlatformDropDigest(PlatformDigest* digest) { digest->running = false; }

bool PlatformVerifySignature(const uint8_t* public_point, const uint8_t* message, size_t size,
                             const uint8_t* signature) {
  uint8_t der[80];
  int der_size = DerSignature(signature, der, sizeof der);
  EVP_PKEY* key = PublicKeyFromPoint(public_point);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool valid = der_size > 0 && key != nullptr && context != nullptr &&
               EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
               EVP_DigestVerify(context, der, der_size, message, size) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return valid;
}
