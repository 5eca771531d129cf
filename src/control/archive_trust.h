// Whose archives this program installs. A build given public keys
// (UPDATER_PUBLIC_KEY, up to four) installs only archives signed with one of
// them; a build without one installs any archive whose bytes are intact.
#pragma once

struct ArchiveReader;

// True when this program carries public keys and installs only archives
// they signed.
bool KeyRequired();

// Stops the run with MSG_NO_VALID_SIGNATURE when this program carries
// public keys and the archive open in reader has no trailer, no signature,
// a signature by none of them or a signature that does not hold. Does
// nothing in a build without a key. Reads only the trailer, so it can come
// before any other byte of the archive is read.
void RequireTrustedSigner(const ArchiveReader* reader);
