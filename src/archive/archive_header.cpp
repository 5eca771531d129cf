// Opening the archive and parsing its header, field by field in file order.
#include "archive/archive_header.h"

#include <cstring>

#include "archive/archive_reader.h"
#include "platform/platform.h"

namespace {

// The bytes a source may deliver next: none past the trailer.
size_t AllowedCount(const ArchiveReader* reader, size_t count) {
  uint64_t left = reader->data_end - reader->delivered;
  return count > left ? static_cast<size_t>(left) : count;
}

size_t ReadFromFile(void* context, uint8_t* destination, size_t count) {
  ArchiveReader* reader = static_cast<ArchiveReader*>(context);
  count = AllowedCount(reader, count);
  if (count == 0) return 0;
  count = PlatformReadFile(reader->file, destination, count);
  reader->delivered += count;
  return count;
}

size_t ReadFromMemory(void* context, uint8_t* destination, size_t count) {
  ArchiveReader* reader = static_cast<ArchiveReader*>(context);
  MemorySource* memory = &reader->memory;
  size_t left = memory->size - memory->offset;
  count = AllowedCount(reader, count > left ? left : count);
  if (count > 0) std::memcpy(destination, memory->bytes + memory->offset, count);
  memory->offset += count;
  reader->delivered += count;
  return count;
}

// The digest of the bytes before the trailer: made by the platform as the
// file is read (behind the reader, of the very bytes it handed over), or at
// once for bytes in memory. False when none can be had.
bool DigestOfRead(ArchiveReader* reader, uint8_t* digest) {
  if (reader->file != nullptr) return PlatformFinishReadDigest(reader->file, digest);
  uint64_t size = reader->memory.size < reader->data_end ? reader->memory.size : reader->data_end;
  PlatformDigest running;
  PlatformStartDigest(&running);
  PlatformAddToDigest(&running, reader->memory.bytes, static_cast<size_t>(size));
  return PlatformFinishDigest(&running, digest);
}

// Reads one code: its length byte, then the code itself, left-aligned.
// False for a length outside 1..32.
bool ReadCode(BitReader* bits, uint16_t* length, uint32_t* code) {
  int width = ReadByte(bits);
  if (width < 1 || width > kMaxCodeLength) return false;
  *length = static_cast<uint16_t>(width);
  *code = PeekWord(bits, width);
  ConsumeBits(bits, width);
  return true;
}

// Parses the header from the reader's position (the start of the file).
// Returns kArchiveBadHeader for a code length outside 1..32 or a header that
// runs past the end of the file; the version string is then empty.
OpenResult ParseHeader(ArchiveReader* reader) {
  BitReader* bits = &reader->bits;
  ArchiveHeader& header = reader->header;
  CodeTable& table = header.table;
  std::memset(&header, 0, sizeof header);

  table.symbol_count = static_cast<uint16_t>(ReadByte(bits) + 1);
  if (!ReadCode(bits, &table.lengths[kEscapeIndex], &table.codes[kEscapeIndex])) {
    return kArchiveBadHeader;
  }
  table.max_length = table.lengths[kEscapeIndex];
  for (int row = 0; row < table.symbol_count; ++row) {
    table.symbols[row] = ReadByte(bits);
    if (!ReadCode(bits, &table.lengths[row], &table.codes[row])) return kArchiveBadHeader;
    if (table.lengths[row] > table.max_length) table.max_length = table.lengths[row];
  }
  int version_length = ReadByte(bits);
  PeekBits(bits, 8 * version_length, reinterpret_cast<uint8_t*>(header.version));
  ConsumeBits(bits, 8 * version_length);
  header.version[version_length] = '\0';
  header.entry_count = ReadByte(bits);
  if (bits->overrun) return kArchiveBadHeader;
  BuildLookupTable(table, &reader->lookup, &reader->build);
  return kArchiveOpened;
}

// Parses the header of the source just attached; closes the file again when
// the header is bad, so that a caller that stops needs no clean-up.
OpenResult ParseOrClose(ArchiveReader* reader) {
  OpenResult result = ParseHeader(reader);
  if (result != kArchiveOpened) {
    CloseArchive(reader);
    std::memset(&reader->header, 0, sizeof reader->header);
    ClearLookupTable(&reader->lookup);
  }
  return result;
}

// Starts a read from the beginning of the source attached (nothing
// delivered; a file with a trailer hashed as it is read) and parses the
// header; a malformed trailer refuses the archive before anything of it is
// read.
OpenResult StartReading(ArchiveReader* reader, BlockSource source) {
  if (reader->trailer.form == kTrailerMalformed) {
    CloseArchive(reader);
    std::memset(&reader->header, 0, sizeof reader->header);
    ClearLookupTable(&reader->lookup);
    return kArchiveBadTrailer;
  }
  reader->data_end = reader->trailer.offset;
  reader->delivered = 0;
  bool verified = reader->trailer.form == kTrailerFound;
  if (verified && reader->file != nullptr) PlatformDigestWhileReading(reader->file, reader->data_end);
  StartBitReader(&reader->bits, source, reader);
  return ParseOrClose(reader);
}

}  // namespace

// Opens path through the platform and finds the trailer from the file's
// end. A file whose end cannot be read is refused: the trailer that may be
// there is unknown, and no check is skipped for it. A file without a size
// (a pipe) has no end to look at and is read as having no trailer.
OpenResult OpenArchiveTrailer(ArchiveReader* reader, const char* path) {
  CloseArchive(reader);
  reader->file = PlatformOpenForReading(path);
  StartBitReader(&reader->bits, nullptr, nullptr);
  if (reader->file == nullptr) return kArchiveMissing;
  uint8_t tail[kTrailerTailSize];
  uint64_t size = 0;
  size_t got = 0;
  if (!PlatformReadFileTail(reader->file, tail, sizeof tail, &size, &got)) {
    CloseArchive(reader);
    return kArchiveBadTrailer;
  }
  ParseTrailer(tail, got, size, &reader->trailer);
  if (reader->trailer.form == kTrailerMalformed) {
    CloseArchive(reader);
    return kArchiveBadTrailer;
  }
  return kArchiveOpened;
}

bool VerifyArchiveDigest(ArchiveReader* reader) {
  if (reader->file == nullptr || reader->trailer.form != kTrailerFound) return false;
  uint8_t digest[kDigestSize];
  PlatformDigestWhileReading(reader->file, reader->trailer.offset);
  bool read = PlatformFinishReadDigest(reader->file, digest);
  return PlatformRewindFile(reader->file) && read &&
         std::memcmp(digest, TrailerDigest(reader->trailer), kDigestSize) == 0;
}

// Opens path, finds the trailer from the file's end and parses the header.
// kArchiveMissing when the file cannot be opened (nothing read);
// kArchiveBadHeader when the header is malformed or truncated,
// kArchiveBadTrailer when the trailer is (the file is closed again).
OpenResult OpenArchive(ArchiveReader* reader, const char* path) {
  OpenResult found = OpenArchiveTrailer(reader, path);
  if (found != kArchiveOpened) {
    std::memset(&reader->header, 0, sizeof reader->header);
    ClearLookupTable(&reader->lookup);
    return found;
  }
  return StartReading(reader, ReadFromFile);
}

// As OpenArchive over bytes in memory, which must stay valid while the
// archive is read. Never returns kArchiveMissing.
OpenResult OpenArchiveInMemory(ArchiveReader* reader, const uint8_t* bytes, size_t size) {
  CloseArchive(reader);
  reader->memory = MemorySource{bytes, bytes == nullptr ? 0 : size, 0};
  size_t tail = reader->memory.size < kTrailerTailSize ? reader->memory.size : kTrailerTailSize;
  ParseTrailer(bytes + reader->memory.size - tail, tail, reader->memory.size, &reader->trailer);
  return StartReading(reader, ReadFromMemory);
}

OpenResult ReadArchiveAgain(ArchiveReader* reader) {
  if (reader->file != nullptr) {
    if (!PlatformRewindFile(reader->file)) return kArchiveMissing;
    return StartReading(reader, ReadFromFile);
  }
  reader->memory.offset = 0;
  return StartReading(reader, ReadFromMemory);
}

ArchiveEndCheck CheckArchiveEnd(ArchiveReader* reader) {
  BitReader* bits = &reader->bits;
  uint64_t end = ReaderBitPosition(bits);
  bool intact = !bits->overrun;
  if (reader->trailer.form == kTrailerFound) {
    intact = intact && end <= 8 * reader->data_end && 8 * reader->data_end - end < 8;
  } else if (intact) {
    // A trailer whose footer was damaged or cut off would stand at the next
    // byte: its start magic, or as much of it as the file still holds.
    uint64_t next_byte = (end + 7) / 8;
    uint64_t left = reader->data_end - next_byte;  // data_end: the file's size, when known
    SetReaderBitPosition(bits, 8 * next_byte);
    uint8_t next[sizeof kTrailerStartMagic];
    PeekBits(bits, 8 * sizeof next, next);
    size_t compared = left < sizeof next ? static_cast<size_t>(left) : sizeof next;
    intact = compared == 0 || std::memcmp(next, kTrailerStartMagic, compared) != 0;
  }
  if (reader->trailer.form != kTrailerFound) return {intact, true};
  uint8_t digest[kDigestSize];
  bool matches = DigestOfRead(reader, digest) &&
                 std::memcmp(digest, TrailerDigest(reader->trailer), kDigestSize) == 0;
  return {intact, matches};
}

bool FinishArchiveRead(ArchiveReader* reader) {
  ArchiveEndCheck check = CheckArchiveEnd(reader);
  return check.ends_in_place && check.digest_matches;
}

// Closes the file, if one is open, and detaches the bit reader from its
// source (later reads see the end of the file); safe to call more than once.
void CloseArchive(ArchiveReader* reader) {
  reader->bits.source = nullptr;
  reader->bits.source_context = nullptr;
  if (reader->file != nullptr) PlatformCloseFile(reader->file);
  reader->file = nullptr;
}
