// Where an entry goes: the destination path from the kind letter and the
// name, its folder part and base name, and the folders on the way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "install/install_context.h"

constexpr size_t kMaxDestinationPath = 255;
// Room for the folder part of a destination with its terminator.
constexpr size_t kFolderSize = kMaxDestinationPath + 1;
// Room for any composition: a 255-byte root, the longest template and a
// 255-byte name, so an over-long path can still be shown whole.
constexpr size_t kComposeBufferSize = 255 + 8 + 255 + 1;

enum ComposeResult {
  kPathComposed,  // path holds the destination, at most 255 characters
  kNoPath,        // the kind letter selects no destination
  kPathTooLong,   // path holds the whole composition, over 255 characters
};

// Composes the destination from the kind letter (B, I, S, W in either case)
// and the entry name into path (kComposeBufferSize bytes), with the
// context's installation or Windows directory as its root.
ComposeResult ComposeDestinationPath(const InstallContext* context, uint8_t kind, const char* name,
                                     char* path);

// Splits path at its last backslash that has at least one byte behind it:
// the folder part is copied into folder (kFolderSize bytes); the base name is the
// returned position inside path. Without such a backslash the folder part is
// empty and the base name is the whole path.
const char* SplitDestinationPath(const char* path, char* folder);

// True when paths a and b name one file: they match without regard to ASCII
// case, and a two-byte character matches only itself, as the file system
// compares names.
bool SamePath(const char* a, const char* b);

// Creates every folder of the chain after the first component, outermost
// first, treating runs of backslashes as one. Cuts folder into pieces in
// place. A folder that cannot be made is passed over. The chain is recorded
// (NoteFolderChain) with the outermost folder made here, so that a rollback
// removes what this made again and a complete run looks there for litter.
void CreateFolderChain(char* folder);
