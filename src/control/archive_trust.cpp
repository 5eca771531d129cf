#include "control/archive_trust.h"

#include "archive/archive_reader.h"
#include "console/console.h"
#include "required_key.h"  // kKeyRequired, kRequiredKeyPoint: made by CMake

void RequireTrustedSigner(const ArchiveReader* reader) {
  if (!kKeyRequired) return;
  if (CheckTrailerSignature(reader->trailer, kRequiredKeyPoint) != kSignatureValid) {
    ErrorStop(MSG_NO_VALID_SIGNATURE);
  }
}
