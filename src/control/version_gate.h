// The version gate: compares the installed version with the archive's before
// any entry is touched.
#pragma once

// The rank of a version string within its major part: (v[3] - 48) * 100 plus
// 0 when v[4] is NUL, v[4] - 96 otherwise, the characters taken as signed
// 8-bit values. Positions at or past the terminator read as NUL and are never
// read from memory.
int MinorValue(const char* version);

// True when CheckVersion will let the update go on without a question: a
// version is recorded, the major parts match and the installation is not
// newer than the archive. Prints nothing.
bool IsPlainUpdate(const char* archive_version, const char* installed_version);

// Prints both versions and returns only when the update may go on, after
// printing MSG_UPDATE_START; every other outcome ends the process through
// FatalStop (no installed version, another major part, a refused downgrade).
void CheckVersion(const char* archive_version, const char* installed_version);
