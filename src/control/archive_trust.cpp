#include "control/archive_trust.h"

#include "archive/archive_reader.h"
#include "console/console.h"
#include "trusted_keys.h"  // kTrustedKeyCount, kTrustedKeyPoints: made by CMake

static_assert(kTrustedKeyRoom == kMaxTrustedKeys, "cmake/trusted_keys.cmake and trailer.h agree");

bool KeyRequired() { return kTrustedKeyCount > 0; }

void RequireTrustedSigner(const ArchiveReader* reader) {
  if (!KeyRequired()) return;
  if (CheckTrailerSignatureByAny(reader->trailer, kTrustedKeyPoints, kTrustedKeyCount) !=
      kSignatureValid) {
    ErrorStop(MSG_NO_VALID_SIGNATURE);
  }
}
