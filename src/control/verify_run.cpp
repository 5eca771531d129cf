#include "control/verify_run.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/run_log.h"
#include "install/destination.h"
#include "platform/platform.h"

namespace {

constexpr int kMaxFindings = 255;  // one per entry

// What one entry found, kept until the archive has proved intact.
struct Finding {
  LogFinding kind;
  char path[kComposeBufferSize];  // the destination, or the entry's name without one
  bool composed;                  // path is a destination
  uint64_t size;                  // the entry's bytes (a run may decode past its size)
  int32_t time;                   // the entry's time
};

struct VerifyState {
  int count;
  Finding findings[kMaxFindings];
};

VerifyState g_verify;

// The file being compared with an entry's bytes as they are decoded.
struct Comparison {
  PlatformFile file;
  bool same;                          // every byte so far matched
  uint8_t block[kOutputBufferSize];   // the file's bytes read for one buffer
};

// Reads count bytes of the file (fewer only at its end or on a failure).
size_t ReadUpTo(PlatformFile file, uint8_t* into, size_t count) {
  size_t got = 0;
  while (got < count) {
    size_t step = PlatformReadFile(file, into + got, count - got);
    if (step == 0) break;
    got += step;
  }
  return got;
}

void CompareBytes(Comparison* comparison, const uint8_t* bytes, size_t count) {
  if (!comparison->same) return;
  comparison->same = ReadUpTo(comparison->file, comparison->block, count) == count &&
                     memcmp(comparison->block, bytes, count) == 0;
}

void CompareFullBuffer(void* context, const uint8_t* bytes, size_t count) {
  CompareBytes(static_cast<Comparison*>(context), bytes, count);
}

// Decodes the entry's data, comparing it with file (nullptr: only decoded,
// so that the next entry is found). True when file holds exactly those
// bytes. A damaged entry stops the run.
bool DecodeAndCompare(ArchiveReader* reader, const EntryHeader& header, PlatformFile file,
                      uint64_t* produced) {
  static DecodeOutput decoded;
  static Comparison comparison;
  comparison.file = file;
  comparison.same = file != nullptr;
  DecodeSink sink = {file != nullptr ? CompareFullBuffer : nullptr, nullptr, UINT64_MAX,
                     &comparison};
  if (DecodeEntryData(reader, header.size, &sink, &decoded) != kDecodeDone) {
    PlatformCloseFile(file);
    ErrorStop(MSG_DECODE_ERROR);
  }
  *produced = decoded.produced;
  if (file == nullptr) return false;
  CompareBytes(&comparison, decoded.buffer, decoded.fill);
  uint8_t beyond;
  return comparison.same && ReadUpTo(file, &beyond, 1) == 0;
}

// Looks at the file at path for the entry: a look that fails is no
// absence and no match. Leaves the reader past the entry's data.
LogFinding JudgeFile(ArchiveReader* reader, const EntryHeader& header, const char* path,
                     uint64_t* produced) {
  bool absent = false;
  PlatformFile file = PlatformOpenToLook(path, &absent);
  int64_t time = 0;
  if (file != nullptr && !PlatformQueryLastWriteTime(path, &time)) {
    PlatformCloseFile(file);
    file = nullptr;
  }
  if (file != nullptr && time > header.modification_time) {
    PlatformCloseFile(file);
    DecodeAndCompare(reader, header, nullptr, produced);
    return kFoundNewer;
  }
  bool same = DecodeAndCompare(reader, header, file, produced);
  PlatformCloseFile(file);
  if (file == nullptr) return absent ? kFoundMissing : kFoundUnknown;
  return same && time == header.modification_time ? kFoundCurrent : kFoundDiffers;
}

// Only the last entry for a file says what the file must hold.
void MarkReplacedLater() {
  for (int i = 0; i < g_verify.count; ++i) {
    Finding* finding = &g_verify.findings[i];
    for (int k = i + 1; k < g_verify.count && finding->composed; ++k) {
      const Finding& later = g_verify.findings[k];
      if (later.composed && SamePath(later.path, finding->path)) {
        finding->kind = kFoundLater;
        break;
      }
    }
  }
}

void ReportFinding(const Finding& finding) {
  static const MessageId kMessages[] = {MSG_VERIFY_CURRENT, MSG_VERIFY_DIFFERS,
                                        MSG_VERIFY_MISSING, MSG_VERIFY_NEWER,
                                        MSG_VERIFY_NO_DESTINATION, MSG_VERIFY_UNKNOWN,
                                        MSG_VERIFY_LATER};
  if (finding.kind == kFoundCurrent) {
    char size_text[24];
    char time_text[64];
    snprintf(size_text, sizeof size_text, "%llu", static_cast<unsigned long long>(finding.size));
    FormatLogTime(finding.time, time_text, sizeof time_text);
    PrintMessage(MSG_VERIFY_CURRENT, finding.path, size_text, time_text);
  } else {
    PrintMessage(kMessages[finding.kind], finding.path);
  }
  LogFound(finding.kind, finding.path, finding.size, finding.time);
}

}  // namespace

void VerifyInstallation(ArchiveReader* reader, const InstallContext* context) {
  int entry_count = reader->header.entry_count;
  for (int i = 0; i < entry_count && i < kMaxFindings; ++i) {
    CheckInterrupt();
    EntryHeader header;
    if (!ReadEntryHeader(reader, &header)) ErrorStop(MSG_DECODE_ERROR);
    Finding* finding = &g_verify.findings[g_verify.count++];
    finding->time = header.modification_time;
    ComposeResult composed =
        ComposeDestinationPath(context, header.kind, header.name, finding->path);
    finding->composed = composed == kPathComposed;
    if (composed == kPathComposed) {
      // The log is written only at the end: it must not be the file looked at.
      DropLogIfSameFile(finding->path);
      finding->kind = JudgeFile(reader, header, finding->path, &finding->size);
    } else {
      // A path too long to be a file's is no file the update could write.
      finding->kind = composed == kNoPath ? kFoundNoDestination : kFoundUnknown;
      if (composed == kNoPath) snprintf(finding->path, sizeof finding->path, "%s", header.name);
      DecodeAndCompare(reader, header, nullptr, &finding->size);
    }
  }
  // Nothing is said of an archive that has not proved intact.
  if (!FinishArchiveRead(reader)) ErrorStop(MSG_DECODE_ERROR);
  MarkReplacedLater();
  bool current = true;
  for (int i = 0; i < g_verify.count; ++i) {
    const Finding& finding = g_verify.findings[i];
    ReportFinding(finding);
    current = current && (finding.kind == kFoundCurrent || finding.kind == kFoundNewer ||
                          finding.kind == kFoundNoDestination || finding.kind == kFoundLater);
  }
  PrintMessage(current ? MSG_VERIFY_ALL_CURRENT : MSG_VERIFY_NOT_CURRENT);
  FinishVerify(current);
}
