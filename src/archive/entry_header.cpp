// Reading an entry record's header fields, in file order.
#include "archive/bit_reader.h"
#include "archive/entry_decoder.h"

// Reads name length and name, the reserved field (dropped), the
// modification time, the kind letter and the size. Returns false when any
// of them runs past the end of the file (or the reader overran before); the
// fields then hold whatever the zero bits past the end gave.
bool ReadEntryHeader(EntryHeader* header) {
  int name_length = ReadByte();
  PeekBits(8 * name_length, reinterpret_cast<uint8_t*>(header->name));
  ConsumeBits(8 * name_length);
  header->name[name_length] = '\0';
  ConsumeBits(32);  // reserved: its value has no effect
  header->modification_time = static_cast<int32_t>(PeekWord(32));
  ConsumeBits(32);
  header->kind = ReadByte();
  header->size = PeekWord(32);
  ConsumeBits(32);
  return !ReaderOverrun();
}
