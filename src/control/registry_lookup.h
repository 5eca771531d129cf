// Finding the installation through the registry: the installation directory
// and the installed version, each under HKEY_LOCAL_MACHINE first, then
// HKEY_CURRENT_USER.
#pragma once

constexpr int kInstallDirSize = 256;
constexpr int kInstalledVersionSize = 12;

// Copies the recorded installation directory into destination (256 bytes).
// Returns 0 when found, -1 when not (key or value absent, or data over 255
// bytes); on -1 destination is untouched.
int QueryInstallDir(char* destination);

// Fills destination (12 bytes) with the recorded version string, or the empty
// string when none can be read. Data over 11 bytes is cut to its first 11.
void QueryInstalledVersion(char* destination);
