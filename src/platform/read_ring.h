// Reading the archive file in chunks while a second thread makes the
// SHA-256 of the very bytes read, behind the reader: the digest costs the
// decoding thread nothing but the hand-over of each chunk. Shared by both
// platform sides (read_ring.cpp); each side's files.cpp supplies the raw
// read, the lock, the wait and the thread (declared at the end).
//
// The reader fills kReadChunks chunks of kReadChunkSize bytes in turn from
// the file and serves its reads from them; a chunk is read into again only
// once the hasher has hashed it, so the digest covers exactly the bytes the
// reader served, even if the file changes meanwhile. Without a thread the
// reader hashes each chunk itself when it reads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr size_t kReadChunkSize = 256 * 1024;
constexpr int kReadChunks = 4;

struct ReadRing {
  // the reader's
  uint8_t* memory;                       // kReadChunks chunks; nullptr until the first read
  size_t chunk_sizes[kReadChunks];       // bytes each chunk holds
  size_t position;                       // bytes served from the newest chunk
  bool ended;                            // the file gave less than a chunk (or failed)
  uint64_t bytes_read;                   // file bytes read into chunks so far
  // shared with the hasher (under the lock)
  uint64_t chunks_read;                  // chunks read so far
  uint64_t chunks_hashed;                // chunks the hasher is done with
  bool stopping;                         // the hasher ends once all is hashed
  // the hasher's
  PlatformDigest digest;                 // running while the file is hashed
  uint64_t hash_limit;                   // file bytes to hash: those below it
  uint64_t bytes_hashed;                 // file bytes looked at by the hasher
  bool threaded;                         // a hasher thread runs
};

// ---- each side's own (files.cpp) ----
// Reads up to count bytes of the file at its position; 0 at the end or on
// an error.
size_t ReadFileChunk(PlatformFile file, uint8_t* destination, size_t count);
void LockReadRings();
void UnlockReadRings();
// Waits for a change of any ring's counts; the lock is held before and after.
void WaitForReadChange();
void WakeReadWaiters();
// Starts a thread that runs RunReadHasher(ring); false when none could start.
bool StartReadThread(PlatformFile file, ReadRing* ring);
// Waits for that thread to end.
void JoinReadThread(PlatformFile file);

// ---- shared (read_ring.cpp) ----
// The hasher thread's work: hashes the chunks read until it is stopped.
void RunReadHasher(ReadRing* ring);
// Serves count bytes from the file through the ring: fewer only at the end.
size_t ReadThroughRing(PlatformFile file, ReadRing* ring, void* destination, size_t count);
// Starts hashing the file's first limit bytes, from the beginning (no byte
// may have been read since the file was opened or rewound).
void StartRingDigest(PlatformFile file, ReadRing* ring, uint64_t limit);
// Reads on to the limit (or the end), waits for the hasher and writes the
// digest; false when no digest was running.
bool FinishRingDigest(PlatformFile file, ReadRing* ring, uint8_t* out);
// Forgets every chunk (the file is about to be read from its start again);
// the digest, if any, is dropped.
void ResetReadRing(ReadRing* ring);
// Lets the hasher finish what is queued and waits for its thread to end.
void StopReadHasher(PlatformFile file, ReadRing* ring);
// Ends the hasher and frees the chunks.
void CloseReadRing(PlatformFile file, ReadRing* ring);
