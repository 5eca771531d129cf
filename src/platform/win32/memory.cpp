// Large blocks of memory: address space reserved once, committed as it fills.
#include <windows.h>

#include "platform/platform.h"

uint8_t* PlatformReserveMemory(size_t size) {
  return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
}

// Committing pages that are committed already leaves them as they are.
bool PlatformCommitMemory(uint8_t* base, size_t size) {
  return size == 0 || VirtualAlloc(base, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void PlatformReleaseMemory(uint8_t* base, size_t) {
  if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
}
