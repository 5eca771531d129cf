// SHA-256 and ECDSA P-256 verification through CNG (bcrypt.dll, Vista and
// later): BCryptCreateHash / BCryptHashData / BCryptFinishHash, and
// BCryptImportKeyPair with a BCRYPT_ECCPUBLIC_BLOB, then
// BCryptVerifySignature over the message's SHA-256 with the fixed 64-byte
// r, s form that CNG itself uses.
#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t kCoordinateSize = 32;

bool Succeeded(NTSTATUS status) { return status >= 0; }

// The algorithm provider of name, opened on first use and kept for the run
// (a provider is costly to open and cheap to keep).
BCRYPT_ALG_HANDLE Provider(LPCWSTR name, BCRYPT_ALG_HANDLE* kept) {
  if (*kept == nullptr && !Succeeded(BCryptOpenAlgorithmProvider(kept, name, nullptr, 0))) {
    *kept = nullptr;
  }
  return *kept;
}

BCRYPT_ALG_HANDLE g_sha256 = nullptr;
BCRYPT_ALG_HANDLE g_ecdsa = nullptr;

// What a digest's place holds: the hash and the object memory CNG asks of
// its caller, whose size only CNG knows, and whether every addition so far
// succeeded (a digest with a failed addition has no right value to give).
struct HashState {
  BCRYPT_HASH_HANDLE hash;
  UCHAR* object;
  bool failed;
};
static_assert(sizeof(HashState) <= kDigestStateSize, "the digest's state fits its place");

HashState* State(PlatformDigest* digest) { return reinterpret_cast<HashState*>(digest->state); }

}  // namespace

bool PlatformStartDigest(PlatformDigest* digest) {
  digest->running = false;
  BCRYPT_ALG_HANDLE algorithm = Provider(BCRYPT_SHA256_ALGORITHM, &g_sha256);
  if (algorithm == nullptr) return false;
  DWORD object_size = 0;
  ULONG got = 0;
  if (!Succeeded(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH,
                                   reinterpret_cast<PUCHAR>(&object_size), sizeof object_size,
                                   &got, 0))) {
    return false;
  }
  HashState* state = State(digest);
  state->object = static_cast<UCHAR*>(std::malloc(object_size));
  if (state->object == nullptr ||
      !Succeeded(BCryptCreateHash(algorithm, &state->hash, state->object, object_size, nullptr,
                                  0, 0))) {
    std::free(state->object);
    return false;
  }
  state->failed = false;
  digest->running = true;
  return true;
}

// BCryptHashData takes a ULONG count: larger additions go in parts.
void PlatformAddToDigest(PlatformDigest* digest, const void* bytes, size_t count) {
  if (!digest->running) return;
  HashState* state = State(digest);
  const UCHAR* next = static_cast<const UCHAR*>(bytes);
  while (count > 0 && !state->failed) {
    ULONG part = count > 0x40000000u ? 0x40000000u : static_cast<ULONG>(count);
    state->failed = !Succeeded(BCryptHashData(state->hash, const_cast<PUCHAR>(next), part, 0));
    next += part;
    count -= part;
  }
}

bool PlatformFinishDigest(PlatformDigest* digest, uint8_t* out) {
  std::memset(out, 0, kDigestSize);
  if (!digest->running) return false;
  bool done = !State(digest)->failed &&
              Succeeded(BCryptFinishHash(State(digest)->hash, out, kDigestSize, 0));
  if (!done) std::memset(out, 0, kDigestSize);
  PlatformDropDigest(digest);
  return done;
}

void PlatformDropDigest(PlatformDigest* digest) {
  if (!digest->running) return;
  digest->running = false;
  BCryptDestroyHash(State(digest)->hash);
  std::free(State(digest)->object);
}

bool PlatformVerifySignature(const uint8_t* public_point, const uint8_t* message, size_t size,
                             const uint8_t* signature) {
  uint8_t hash[kDigestSize];
  PlatformDigest digest;
  PlatformStartDigest(&digest);
  PlatformAddToDigest(&digest, message, size);
  if (!PlatformFinishDigest(&digest, hash)) return false;
  BCRYPT_ALG_HANDLE algorithm = Provider(BCRYPT_ECDSA_P256_ALGORITHM, &g_ecdsa);
  if (algorithm == nullptr || public_point[0] != 0x04) return false;
  // BCRYPT_ECCKEY_BLOB, then X and Y: the point without its 0x04 form byte.
  uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinateSize];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateSize};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, public_point + 1, 2 * kCoordinateSize);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!Succeeded(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob,
                                     sizeof blob, 0))) {
    return false;
  }
  bool valid = Succeeded(BCryptVerifySignature(key, nullptr, hash, kDigestSize,
                                               const_cast<PUCHAR>(signature), kSignatureSize, 0));
  BCryptDestroyKey(key);
  return valid;
}
