// Reading an entry record's header fields, in file order.
#include "archive/archive_reader.h"

// Reads name length and name, the reserved field (dropped), the
// modification time, the kind letter and the size. Returns false when any
// of them runs past the end of the file (or the reader overran before); the
// fields then hold whatever the zero bits past the end gave.
bool ReadEntryHeader(ArchiveReader* reader, EntryHeader* header) {
  BitReader* bits = &reader->bits;
  int name_length = ReadByte(bits);
  PeekBits(bits, 8 * name_length, reinterpret_cast<uint8_t*>(header->name));
  ConsumeBits(bits, 8 * name_length);
  header->name[name_length] = '\0';
  ConsumeBits(bits, kReservedFieldBits);  // reserved: its value has no effect
  header->modification_time = static_cast<int32_t>(PeekWord(bits, kTimeFieldBits));
  ConsumeBits(bits, kTimeFieldBits);
  header->kind = ReadByte(bits);
  header->size = PeekWord(bits, kSizeFieldBits);
  ConsumeBits(bits, kSizeFieldBits);
  return !bits->overrun;
}
