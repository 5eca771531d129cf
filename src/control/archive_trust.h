// Whose archives this program installs. A build given a public key
// (UPDATER_PUBLIC_KEY) installs only archives signed with that key; a build
// without one installs any archive whose bytes are intact.
#pragma once

struct ArchiveReader;

// Stops the run with MSG_NO_VALID_SIGNATURE when this program carries a
// public key and the archive open in reader has no trailer, no signature, a
// signature by another key or a signature that does not hold. Does nothing
// in a build without a key. Reads only the trailer, so it can come before
// anything is asked or changed.
void RequireTrustedSigner(const ArchiveReader* reader);
