// The archive's optional trailer: a SHA-256 digest of every byte before it,
// and optionally an ECDSA P-256 signature, after the last entry. Readers
// that know nothing of it stop reading at the last entry, so archives with a
// trailer install on them, and archives without one install here.
//
// The trailer is byte-aligned and begins right after the byte that holds the
// last entry's last bit (that byte's unused bits belong to the archive and
// to the digest). All of it is read from the file's end, without decoding:
//
//   offset  size  field
//   0       8     start magic "3puTRLR" 0x1A
//   8       1     layout version: 1
//   9       1     flags: bit 0 signed; other bits 0
//   10      32    SHA-256 of every archive byte before the trailer
//   42      8     signed only: key id, the first 8 bytes of the SHA-256 of
//                 the signing key's 65-byte public point (0x04, X, Y)
//   50      64    signed only: ECDSA P-256 signature r, s (32 bytes each,
//                 big-endian) over the SHA-256 of bytes 0..49
//   end-12  4     footer: the trailer's length in bytes, footer included
//                 (54 unsigned, 126 signed), big-endian
//   end-8   8     footer: end magic "3puTEND" 0x1A
//
// Every byte is checked: a footer whose length, start magic, version or
// flags disagree is a damaged archive, and so is an archive without a
// footer whose bytes after the last entry begin with the start magic (a
// trailer whose footer was damaged), or are all a beginning of it (a
// trailer cut off). A later layout takes another version.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr uint8_t kTrailerStartMagic[8] = {'3', 'p', 'u', 'T', 'R', 'L', 'R', 0x1A};
constexpr uint8_t kTrailerEndMagic[8] = {'3', 'p', 'u', 'T', 'E', 'N', 'D', 0x1A};
constexpr uint8_t kTrailerVersion = 1;
constexpr uint8_t kTrailerSignedFlag = 0x01;
constexpr size_t kKeyIdSize = 8;

constexpr size_t kTrailerDigestOffset = 10;
constexpr size_t kTrailerKeyIdOffset = kTrailerDigestOffset + kDigestSize;   // 42
constexpr size_t kTrailerSignatureOffset = kTrailerKeyIdOffset + kKeyIdSize;  // 50
constexpr size_t kTrailerFooterSize = 12;
constexpr size_t kTrailerUnsignedSize = kTrailerKeyIdOffset + kTrailerFooterSize;  // 54
constexpr size_t kTrailerSignedSize =
    kTrailerSignatureOffset + kSignatureSize + kTrailerFooterSize;  // 126
// The bytes a signature covers: magic, version, flags, digest, key id.
constexpr size_t kTrailerSignedFields = kTrailerSignatureOffset;
static_assert(kTrailerUnsignedSize == 54 && kTrailerSignedSize == 126, "the layout above");

enum TrailerForm {
  kNoTrailer,         // no footer: the plain format
  kTrailerFound,      // a footer, and a trailer that agrees with it
  kTrailerMalformed,  // a footer whose trailer does not agree with it: damage
};

struct ArchiveTrailer {
  TrailerForm form;
  uint64_t offset;                   // where it begins: the bytes the digest covers
                                     // (the file's size when there is none)
  bool is_signed;                    // a key id and a signature follow the digest
  uint8_t fields[kTrailerSignedFields];  // bytes 0..49 as stored (key id zero when unsigned)
  uint8_t signature[kSignatureSize];     // r, s when signed
};

// The digest the trailer holds, and the key id of a signed one.
inline const uint8_t* TrailerDigest(const ArchiveTrailer& trailer) {
  return trailer.fields + kTrailerDigestOffset;
}
inline const uint8_t* TrailerKeyId(const ArchiveTrailer& trailer) {
  return trailer.fields + kTrailerKeyIdOffset;
}

// The longest tail a reader needs to find the trailer.
constexpr size_t kTrailerTailSize = kTrailerSignedSize;

// Reads the trailer from tail, the last tail_size bytes of a file of
// file_size bytes (all of them for a short file).
void ParseTrailer(const uint8_t* tail, size_t tail_size, uint64_t file_size,
                  ArchiveTrailer* trailer);

// Writes the trailer for the archive bytes whose SHA-256 is digest: unsigned
// when key_id is nullptr, else with key_id and signature. out has room for
// kTrailerSignedSize bytes; returns the number written.
size_t WriteTrailer(const uint8_t* digest, const uint8_t* key_id, const uint8_t* signature,
                    uint8_t* out);
// The fields a signature covers, for a trailer about to be written (the
// signer signs these; WriteTrailer then stores the same ones).
void TrailerSignedFields(const uint8_t* digest, const uint8_t* key_id,
                         uint8_t* fields /* kTrailerSignedFields */);

// The key id of a public point: the first kKeyIdSize bytes of its SHA-256.
// False when no digest can be had.
bool KeyIdOfPoint(const uint8_t* public_point, uint8_t* key_id);

// How an archive's signature stands against a public point.
enum SignatureVerdict {
  kSignatureValid,     // signed by that key, and the signature holds
  kSignatureMissing,   // no trailer, or a trailer without a signature
  kSignatureOtherKey,  // signed, by another key (the key ids differ)
  kSignatureBad,       // signed with that key's id, but the signature fails
};

SignatureVerdict CheckTrailerSignature(const ArchiveTrailer& trailer,
                                       const uint8_t* public_point);

// A program may trust a few keys at once, so that a vendor can move to a new
// key: updaters that trust the old and the new one are shipped first, and
// archives are signed with the new one after.
constexpr size_t kMaxTrustedKeys = 4;

// How an archive's signature stands against any of count public points
// (1..kMaxTrustedKeys): valid when the key its id names is among them and
// the signature holds; bad when that key is among them and it does not;
// another key when none of them has its id.
SignatureVerdict CheckTrailerSignatureByAny(const ArchiveTrailer& trailer,
                                            const uint8_t (*public_points)[kPublicPointSize],
                                            int count);
