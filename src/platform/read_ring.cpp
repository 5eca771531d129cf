// Reading the archive through a ring of chunks hashed behind the reader:
// the part both platform sides share. See read_ring.h.
#include "platform/read_ring.h"

#include <cstdlib>
#include <cstring>

namespace {

// Hashes the part of a chunk that lies below the limit.
void HashChunk(ReadRing* ring, int slot) {
  size_t size = ring->chunk_sizes[slot];
  uint64_t left = ring->hash_limit > ring->bytes_hashed ? ring->hash_limit - ring->bytes_hashed : 0;
  size_t hashed = left < size ? static_cast<size_t>(left) : size;
  PlatformAddToDigest(&ring->digest, ring->memory + slot * kReadChunkSize, hashed);
  ring->bytes_hashed += size;
}

// Reads the next chunk from the file once its slot is free (hashed);
// false at the end of the file or without memory.
bool ReadNextChunk(PlatformFile file, ReadRing* ring) {
  if (ring->ended) return false;
  if (ring->memory == nullptr) {
    ring->memory = static_cast<uint8_t*>(std::malloc(kReadChunks * kReadChunkSize));
    if (ring->memory == nullptr) {
      ring->ended = true;
      return false;
    }
  }
  LockReadRings();
  while (ring->chunks_read - ring->chunks_hashed >= kReadChunks) WaitForReadChange();
  UnlockReadRings();
  int slot = static_cast<int>(ring->chunks_read % kReadChunks);
  uint8_t* chunk = ring->memory + slot * kReadChunkSize;
  size_t size = 0;
  while (size < kReadChunkSize) {
    size_t got = ReadFileChunk(file, chunk + size, kReadChunkSize - size);
    if (got == 0) break;
    size += got;
  }
  if (size < kReadChunkSize) ring->ended = true;
  if (size == 0) return false;
  ring->chunk_sizes[slot] = size;
  ring->position = 0;
  ring->bytes_read += size;
  bool hashed_here = !ring->threaded;
  if (hashed_here && ring->digest.running) HashChunk(ring, slot);
  LockReadRings();
  ++ring->chunks_read;
  if (hashed_here || !ring->digest.running) ++ring->chunks_hashed;
  WakeReadWaiters();
  UnlockReadRings();
  return true;
}

// Waits until the hasher has hashed every chunk read.
void WaitForHasher(ReadRing* ring) {
  LockReadRings();
  while (ring->chunks_hashed < ring->chunks_read) WaitForReadChange();
  UnlockReadRings();
}

}  // namespace

void RunReadHasher(ReadRing* ring) {
  LockReadRings();
  for (;;) {
    while (ring->chunks_hashed == ring->chunks_read && !ring->stopping) WaitForReadChange();
    if (ring->chunks_hashed == ring->chunks_read) break;
    int slot = static_cast<int>(ring->chunks_hashed % kReadChunks);
    UnlockReadRings();
    HashChunk(ring, slot);
    LockReadRings();
    ++ring->chunks_hashed;
    WakeReadWaiters();
  }
  UnlockReadRings();
}

size_t ReadThroughRing(PlatformFile file, ReadRing* ring, void* destination, size_t count) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  size_t done = 0;
  while (done < count) {
    int slot = static_cast<int>((ring->chunks_read + kReadChunks - 1) % kReadChunks);
    size_t available = ring->chunks_read == 0 ? 0 : ring->chunk_sizes[slot] - ring->position;
    if (available == 0) {
      if (!ReadNextChunk(file, ring)) break;
      continue;
    }
    size_t take = count - done < available ? count - done : available;
    std::memcpy(out + done, ring->memory + slot * kReadChunkSize + ring->position, take);
    ring->position += take;
    done += take;
  }
  return done;
}

void StartRingDigest(PlatformFile file, ReadRing* ring, uint64_t limit) {
  PlatformDropDigest(&ring->digest);
  ring->hash_limit = limit;
  ring->bytes_hashed = 0;
  PlatformStartDigest(&ring->digest);
  if (!ring->threaded && ring->digest.running) ring->threaded = StartReadThread(file, ring);
}

bool FinishRingDigest(PlatformFile file, ReadRing* ring, uint8_t* out) {
  while (ring->bytes_read < ring->hash_limit && ReadNextChunk(file, ring)) {
  }
  WaitForHasher(ring);
  return PlatformFinishDigest(&ring->digest, out);
}

void ResetReadRing(ReadRing* ring) {
  WaitForHasher(ring);
  PlatformDropDigest(&ring->digest);
  LockReadRings();
  ring->chunks_read = ring->chunks_hashed = 0;
  UnlockReadRings();
  ring->position = 0;
  ring->ended = false;
  ring->bytes_read = 0;
  ring->bytes_hashed = 0;
}

void StopReadHasher(PlatformFile file, ReadRing* ring) {
  if (!ring->threaded) return;
  LockReadRings();
  ring->stopping = true;
  WakeReadWaiters();
  UnlockReadRings();
  JoinReadThread(file);
  ring->threaded = false;
  ring->stopping = false;
}

void CloseReadRing(PlatformFile file, ReadRing* ring) {
  StopReadHasher(file, ring);
  PlatformDropDigest(&ring->digest);
  std::free(ring->memory);
  ring->memory = nullptr;
}
