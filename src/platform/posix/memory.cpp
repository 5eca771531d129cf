// Large blocks of memory: anonymous mappings, populated on first touch.
#include <sys/mman.h>

#include "platform/platform.h"

namespace {

// The front of a reservation stays in small pages: a small archive touches
// only a few of them, and a large page would be cleared in full for it.
constexpr size_t kSmallPagePart = size_t{2} << 20;

}  // namespace

uint8_t* PlatformReserveMemory(size_t size) {
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // Advice only: a kernel without transparent large pages ignores it.
  if (size > kSmallPagePart) {
    madvise(static_cast<uint8_t*>(base) + kSmallPagePart, size - kSmallPagePart, MADV_HUGEPAGE);
  }
#endif
  return static_cast<uint8_t*>(base);
}

// The mapping is usable as it stands; the system finds the pages when they
// are first written.
bool PlatformCommitMemory(uint8_t*, size_t) { return true; }

void PlatformReleaseMemory(uint8_t* base, size_t size) {
  if (base != nullptr) munmap(base, size);
}
