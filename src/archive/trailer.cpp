// The trailer's layout: finding it from the file's end, writing it, and the
// signature check. See trailer.h.
#include "archive/trailer.h"

#include <cstring>

namespace {

uint32_t BigEndian32(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

}  // namespace

void ParseTrailer(const uint8_t* tail, size_t tail_size, uint64_t file_size,
                  ArchiveTrailer* trailer) {
  std::memset(trailer, 0, sizeof *trailer);
  trailer->form = kNoTrailer;
  trailer->offset = file_size;
  if (tail_size < kTrailerFooterSize ||
      std::memcmp(tail + tail_size - sizeof kTrailerEndMagic, kTrailerEndMagic,
                  sizeof kTrailerEndMagic) != 0) {
    return;
  }
  trailer->form = kTrailerMalformed;
  uint32_t length = BigEndian32(tail + tail_size - kTrailerFooterSize);
  if ((length != kTrailerUnsignedSize && length != kTrailerSignedSize) || length > tail_size) {
    return;
  }
  const uint8_t* start = tail + tail_size - length;
  bool is_signed = length == kTrailerSignedSize;
  if (std::memcmp(start, kTrailerStartMagic, sizeof kTrailerStartMagic) != 0 ||
      start[8] != kTrailerVersion || start[9] != (is_signed ? kTrailerSignedFlag : 0)) {
    return;
  }
  trailer->form = kTrailerFound;
  trailer->offset = file_size - length;
  trailer->is_signed = is_signed;
  std::memcpy(trailer->fields, start, is_signed ? kTrailerSignedFields : kTrailerKeyIdOffset);
  if (is_signed) std::memcpy(trailer->signature, start + kTrailerSignatureOffset, kSignatureSize);
}

void TrailerSignedFields(const uint8_t* digest, const uint8_t* key_id, uint8_t* fields) {
  std::memcpy(fields, kTrailerStartMagic, sizeof kTrailerStartMagic);
  fields[8] = kTrailerVersion;
  fields[9] = key_id != nullptr ? kTrailerSignedFlag : 0;
  std::memcpy(fields + kTrailerDigestOffset, digest, kDigestSize);
  if (key_id != nullptr) std::memcpy(fields + kTrailerKeyIdOffset, key_id, kKeyIdSize);
}

size_t WriteTrailer(const uint8_t* digest, const uint8_t* key_id, const uint8_t* signature,
                    uint8_t* out) {
  TrailerSignedFields(digest, key_id, out);
  size_t length = kTrailerUnsignedSize;
  if (key_id != nullptr) {
    std::memcpy(out + kTrailerSignatureOffset, signature, kSignatureSize);
    length = kTrailerSignedSize;
  }
  uint8_t* footer = out + length - kTrailerFooterSize;
  footer[0] = static_cast<uint8_t>(length >> 24);
  footer[1] = static_cast<uint8_t>(length >> 16);
  footer[2] = static_cast<uint8_t>(length >> 8);
  footer[3] = static_cast<uint8_t>(length);
  std::memcpy(footer + 4, kTrailerEndMagic, sizeof kTrailerEndMagic);
  return length;
}

bool KeyIdOfPoint(const uint8_t* public_point, uint8_t* key_id) {
  uint8_t digest[kDigestSize];
  PlatformDigest running;
  PlatformStartDigest(&running);
  PlatformAddToDigest(&running, public_point, kPublicPointSize);
  if (!PlatformFinishDigest(&running, digest)) return false;
  std::memcpy(key_id, digest, kKeyIdSize);
  return true;
}

SignatureVerdict CheckTrailerSignature(const ArchiveTrailer& trailer,
                                       const uint8_t* public_point) {
  if (trailer.form != kTrailerFound || !trailer.is_signed) return kSignatureMissing;
  uint8_t key_id[kKeyIdSize];
  if (!KeyIdOfPoint(public_point, key_id)) return kSignatureBad;
  if (std::memcmp(key_id, TrailerKeyId(trailer), kKeyIdSize) != 0) return kSignatureOtherKey;
  bool valid = PlatformVerifySignature(public_point, trailer.fields, kTrailerSignedFields,
                                       trailer.signature);
  return valid ? kSignatureValid : kSignatureBad;
}

SignatureVerdict CheckTrailerSignatureByAny(const ArchiveTrailer& trailer,
                                            const uint8_t (*public_points)[kPublicPointSize],
                                            int count) {
  if (trailer.form != kTrailerFound || !trailer.is_signed) return kSignatureMissing;
  // Two keys with one id are all but impossible; all the same, every key
  // with the archive's id is tried before the signature is called bad.
  SignatureVerdict verdict = kSignatureOtherKey;
  for (int k = 0; k < count; ++k) {
    SignatureVerdict one = CheckTrailerSignature(trailer, public_points[k]);
    if (one == kSignatureValid) return one;
    if (one == kSignatureBad) verdict = one;
  }
  return verdict;
}
