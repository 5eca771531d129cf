#include "control/version_gate.h"

#include <cstdint>
#include <cstring>

#include "console/console.h"

namespace {

constexpr size_t kMajorLength = 3;

// The character at index, or NUL when the string ends before it.
int SignedCharAt(const char* text, size_t index) {
  for (size_t i = 0; i < index; ++i) {
    if (text[i] == '\0') return 0;
  }
  return static_cast<int8_t>(text[index]);
}

// Asks whether to go down to the archive's version, unless the answer was
// given in advance. y or Y goes on; n, N or the end of input ends the run.
// Whatever follows the answer on its line stays in the input for the next
// prompt.
void AskDowngrade(const char* archive_version, const char* installed_version,
                  DowngradeAnswer downgrade) {
  PrintMessage(MSG_NEWER_INSTALLED, installed_version);
  if (downgrade == kAcceptDowngrade) return;
  if (downgrade == kRefuseDowngrade) FatalStop(MSG_UPDATE_CANCELLED);
  PrintMessage(MSG_ASK_DOWNGRADE, archive_version);
  int answer = ReadAnswerKey("yYnN");
  if (answer != 'y' && answer != 'Y') FatalStop(MSG_UPDATE_CANCELLED);
}

}  // namespace

int MinorValue(const char* version) {
  int fourth = SignedCharAt(version, 3);
  int fifth = SignedCharAt(version, 4);
  return (fourth - 48) * 100 + (fifth == 0 ? 0 : fifth - 96);
}

bool IsPlainUpdate(const char* archive_version, const char* installed_version,
                   DowngradeAnswer downgrade) {
  return installed_version[0] != '\0' &&
         strncmp(archive_version, installed_version, kMajorLength) == 0 &&
         (downgrade == kAcceptDowngrade ||
          MinorValue(installed_version) <= MinorValue(archive_version));
}

void CheckVersion(const char* archive_version, const char* installed_version,
                  DowngradeAnswer downgrade) {
  if (installed_version[0] == '\0') FatalStop(MSG_PRE_V100_INSTALLED);
  PrintMessage(MSG_INSTALLED_VERSION, installed_version);
  PrintMessage(MSG_TARGET_VERSION, archive_version);
  if (strncmp(archive_version, installed_version, kMajorLength) != 0) FatalStop(MSG_MAJOR_MISMATCH);
  if (MinorValue(installed_version) > MinorValue(archive_version)) {
    AskDowngrade(archive_version, installed_version, downgrade);
  }
  PrintMessage(MSG_UPDATE_START);
}
