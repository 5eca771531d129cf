// The version gate: compares the installed version with the archive's before
// any entry is touched.
#pragma once

// What the downgrade question gets: the user's answer, or one given in
// advance (/quiet without /downgrade refuses, /downgrade accepts).
enum DowngradeAnswer { kAskDowngrade, kRefuseDowngrade, kAcceptDowngrade };

// The rank of a version string within its major part: (v[3] - 48) * 100 plus
// 0 when v[4] is NUL, v[4] - 96 otherwise, the characters taken as signed
// 8-bit values. Positions at or past the terminator read as NUL and are never
// read from memory.
int MinorValue(const char* version);

// True when CheckVersion will let the update go on without a question: a
// version is recorded, the major parts match and the installation is not
// newer than the archive (or a downgrade is accepted in advance). Prints
// nothing.
bool IsPlainUpdate(const char* archive_version, const char* installed_version,
                   DowngradeAnswer downgrade);

// Prints both versions and returns only when the update may go on, after
// printing MSG_UPDATE_START; every other outcome ends the process through
// FatalStop (no installed version, another major part, a refused downgrade).
// A downgrade answered in advance is not asked: the newer installed version
// is shown, then the run stops or goes on.
void CheckVersion(const char* archive_version, const char* installed_version,
                  DowngradeAnswer downgrade);
