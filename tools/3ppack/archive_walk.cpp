// The walk over an archive's entries, shared by list, test and extract. It
// only drives the updater's reader and decoder; it never decodes itself.
#include "3ppack/archive_walk.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "3ppack/pack_files.h"

bool OpenArchiveFile(ArchiveReader* reader, const std::string& path, FileBytes* bytes,
                     std::string* error) {
  // An archive is at most 255 entries below 4 GiB each, but a file far
  // beyond what one tool run can hold in memory is not worth reading.
  if (!ReadWholeFile(path, UINT64_C(1) << 40, bytes, error)) return false;
  OpenResult opened = OpenArchiveInMemory(reader, bytes->data.get(), bytes->size);
  if (opened == kArchiveBadTrailer) {
    *error = "'" + path + "': the archive's trailer is damaged (its footer does not agree with "
             "the bytes before it)";
    return false;
  }
  if (opened != kArchiveOpened) {
    *error = "'" + path + "': the archive header is malformed (a code length outside 1 to 32, "
             "or the file ends inside the header at bit " +
             std::to_string(ReaderBitPosition(&reader->bits)) + ")";
    return false;
  }
  return true;
}

TrailerStatus FinishWalk(ArchiveReader* reader) {
  TrailerStatus status;
  status.form = reader->trailer.form;
  ArchiveEndCheck check = CheckArchiveEnd(reader);
  status.in_place = check.ends_in_place;
  status.digest_matches = check.digest_matches;
  status.intact = check.ends_in_place && check.digest_matches;
  status.is_signed = reader->trailer.form == kTrailerFound && reader->trailer.is_signed;
  if (status.is_signed) {
    const uint8_t* id = TrailerKeyId(reader->trailer);
    char hex[2 * kKeyIdSize + 1];
    for (size_t i = 0; i < kKeyIdSize; ++i) snprintf(hex + 2 * i, 3, "%02x", id[i]);
    status.key_id = hex;
  }
  return status;
}

WalkStep WalkNextEntry(ArchiveReader* reader, int index, DecodeSink* sink, DecodeOutput* out,
                       WalkedEntry* entry) {
  entry->index = index;
  entry->record_bit = ReaderBitPosition(&reader->bits);
  entry->produced = 0;
  if (!ReadEntryHeader(reader, &entry->header)) {
    entry->data_bit = entry->end_bit = ReaderBitPosition(&reader->bits);
    return kWalkHeaderCut;
  }
  entry->data_bit = ReaderBitPosition(&reader->bits);
  DecodeResult result = DecodeEntryData(reader, entry->header.size, sink, out);
  entry->produced = out->produced;
  entry->end_bit = ReaderBitPosition(&reader->bits);
  return result == kDecodeDone ? kWalkEntry : kWalkDecodeFailed;
}

std::string FormatUtc(int64_t seconds) {
  using namespace std::chrono;
  sys_seconds t{std::chrono::seconds(seconds)};
  sys_days day = floor<days>(t);
  year_month_day date(day);
  hh_mm_ss<std::chrono::seconds> time(t - day);
  char text[40];
  snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
           static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
           static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
           static_cast<int>(time.seconds().count()));
  return text;
}

std::string TreeFolderOfKind(uint8_t kind) {
  const KindFolder* folder = FindKindFolder(kind);
  if (folder == nullptr) return "";
  std::string root = folder->root == kInstallFolderRoot ? "install" : "windows";
  return folder->subfolder[0] == '\0' ? root : root + "/" + folder->subfolder;
}
