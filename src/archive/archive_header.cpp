// Opening the archive and parsing its header, field by field in file order.
#include "archive/archive_header.h"

#include <cstring>

#include "archive/archive_reader.h"
#include "platform/platform.h"

namespace {

size_t ReadFromFile(void* context, uint8_t* destination, size_t count) {
  return PlatformReadFile(static_cast<PlatformFile>(context), destination, count);
}

size_t ReadFromMemory(void* context, uint8_t* destination, size_t count) {
  MemorySource* memory = static_cast<MemorySource*>(context);
  size_t left = memory->size - memory->offset;
  if (count > left) count = left;
  if (count > 0) std::memcpy(destination, memory->bytes + memory->offset, count);
  memory->offset += count;
  return count;
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

}  // namespace

// Opens path through the platform and parses the header. kArchiveMissing
// when the file cannot be opened (nothing read); kArchiveBadHeader when the
// header is malformed or truncated (the file is closed again).
OpenResult OpenArchive(ArchiveReader* reader, const char* path) {
  CloseArchive(reader);
  reader->file = PlatformOpenForReading(path);
  StartBitReader(&reader->bits, nullptr, nullptr);
  if (reader->file == nullptr) return kArchiveMissing;
  StartBitReader(&reader->bits, ReadFromFile, reader->file);
  return ParseOrClose(reader);
}

// As OpenArchive over bytes in memory, which must stay valid while the
// archive is read. Never returns kArchiveMissing.
OpenResult OpenArchiveInMemory(ArchiveReader* reader, const uint8_t* bytes, size_t size) {
  CloseArchive(reader);
  reader->memory = MemorySource{bytes, bytes == nullptr ? 0 : size, 0};
  StartBitReader(&reader->bits, ReadFromMemory, &reader->memory);
  return ParseOrClose(reader);
}

// Closes the file, if one is open, and detaches the bit reader from its
// source (later reads see the end of the file); safe to call more than once.
void CloseArchive(ArchiveReader* reader) {
  reader->bits.source = nullptr;
  reader->bits.source_context = nullptr;
  if (reader->file != nullptr) PlatformCloseFile(reader->file);
  reader->file = nullptr;
}
