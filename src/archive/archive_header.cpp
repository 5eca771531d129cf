// Opening the archive and parsing its header, field by field in file order.
#include "archive/archive_header.h"

#include <cstring>

#include "archive/lookup_table.h"
#include "platform/platform.h"

namespace {

struct MemorySource {
  const uint8_t* bytes;  // the archive's bytes
  size_t size;           // their number
  size_t offset;         // bytes already delivered
};

struct OpenArchiveState {
  PlatformFile file;     // the open archive file, or nullptr
  MemorySource memory;   // the bytes of an archive opened in memory
  ArchiveHeader header;  // the parsed header
  char version[256];     // the version string; valid until exit, rewritten by each open
};

OpenArchiveState g_archive;

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
bool ReadCode(uint16_t* length, uint32_t* code) {
  int bits = ReadByte();
  if (bits < 1 || bits > kMaxCodeLength) return false;
  *length = static_cast<uint16_t>(bits);
  *code = PeekWord(bits);
  ConsumeBits(bits);
  return true;
}

// Parses the header from the reader's position (the start of the file).
// Returns kArchiveBadHeader for a code length outside 1..32 or a header that
// runs past the end of the file; the version string is then empty.
OpenResult ParseHeader() {
  ArchiveHeader& header = g_archive.header;
  CodeTable& table = header.table;
  std::memset(&table, 0, sizeof table);
  g_archive.version[0] = '\0';
  header.version = g_archive.version;
  header.entry_count = 0;

  table.symbol_count = static_cast<uint16_t>(ReadByte() + 1);
  if (!ReadCode(&table.lengths[kEscapeIndex], &table.codes[kEscapeIndex])) return kArchiveBadHeader;
  table.max_length = table.lengths[kEscapeIndex];
  for (int row = 0; row < table.symbol_count; ++row) {
    table.symbols[row] = ReadByte();
    if (!ReadCode(&table.lengths[row], &table.codes[row])) return kArchiveBadHeader;
    if (table.lengths[row] > table.max_length) table.max_length = table.lengths[row];
  }
  int version_length = ReadByte();
  PeekBits(8 * version_length, reinterpret_cast<uint8_t*>(g_archive.version));
  ConsumeBits(8 * version_length);
  g_archive.version[version_length] = '\0';
  header.entry_count = ReadByte();
  if (ReaderOverrun()) {
    g_archive.version[0] = '\0';
    return kArchiveBadHeader;
  }
  BuildLookupTable(table);
  return kArchiveOpened;
}

// Parses the header of the source just attached; closes the file again when
// the header is bad, so that a caller that stops needs no clean-up.
OpenResult ParseOrClose() {
  OpenResult result = ParseHeader();
  if (result != kArchiveOpened) {
    CloseArchive();
    std::memset(&g_archive.header.table, 0, sizeof g_archive.header.table);
    ClearLookupTable();
  }
  return result;
}

}  // namespace

// Opens path through the platform and parses the header. kArchiveMissing
// when the file cannot be opened (nothing read); kArchiveBadHeader when the
// header is malformed or truncated (the file is closed again). A previous
// archive still open is closed first.
OpenResult OpenArchive(const char* path) {
  CloseArchive();
  ResetReader();
  g_archive.file = PlatformOpenForReading(path);
  if (g_archive.file == nullptr) return kArchiveMissing;
  AttachBlockSource(ReadFromFile, g_archive.file);
  return ParseOrClose();
}

// As OpenArchive over bytes in memory, which must stay valid while the
// archive is read. Never returns kArchiveMissing.
OpenResult OpenArchiveInMemory(const uint8_t* bytes, size_t size) {
  CloseArchive();
  ResetReader();
  g_archive.memory = MemorySource{bytes, bytes == nullptr ? 0 : size, 0};
  AttachBlockSource(ReadFromMemory, &g_archive.memory);
  return ParseOrClose();
}

const ArchiveHeader& CurrentHeader() { return g_archive.header; }

// Closes the file, if one is open, and detaches the reader from it (later
// reads see the end of the file); safe to call more than once. The version
// string stays valid.
void CloseArchive() {
  AttachBlockSource(nullptr, nullptr);
  if (g_archive.file != nullptr) PlatformCloseFile(g_archive.file);
  g_archive.file = nullptr;
}
