// Private interface of the Win32 side: shared by the files of platform/win32,
// never by the rest of the program.
#pragma once

#include <windows.h>

#include <cstddef>

// Paths past MAX_PATH for the temporary file and the replace (paths.cpp): the
// ANSI calls stop at 259 characters, while a folder of up to 255 characters
// plus the temporary name goes beyond that. Such paths are turned into the
// wide "\\?\" form, which has no such limit.

constexpr size_t kWidePath = 1024;  // wide characters of a "\\?\" path
constexpr int kTempNameTries = 256;  // distinct "~3puXXXX" names tried before giving up

// True when path is too long for the ANSI calls.
bool IsLongPath(const char* path);

// Converts an ANSI path into the fully qualified wide "\\?\" form (UNC paths
// become "\\?\UNC\..."). False when the conversion fails or does not fit
// capacity wide characters.
bool ToLongWidePath(const char* path, wchar_t* out, size_t capacity);

// True for the errors of a file that another process holds open without
// sharing what the call needs (files.cpp).
bool IsHeldError(DWORD error);

// ---- temporary and backup files (output.cpp) ----

// The next "~3puXXXX" number (four hex digits), seeded from the process id.
unsigned NextTempNumber();

// Copies the part of destination up to and including its last separator
// into folder (kMaxTempPath bytes), reading the path as the file calls do:
// '\\' and '/' both separate, and a two-byte character of the ANSI code
// page is read whole. False when the folder does not fit.
bool CopyParentFolder(const char* destination, char* folder);

// ---- the replace (replace.cpp) ----

// Notes the identity (volume, file ID) of the file open as file at path,
// just before it is closed, for the replace to recognise it.
void NoteClosedFile(const char* path, HANDLE file);

// Writes what the console holds back (files and pipes) to standard output
// (console.cpp; called at exit).
void FlushConsoleOutput();

// Lets every archive hasher thread finish what it was given and waits for
// it to end (files.cpp; called at exit).
void StopReadHashers();

// Waits up to milliseconds for an interrupt (interrupts.cpp); true when one
// has arrived. A plain Sleep before PlatformWatchInterrupts.
bool WaitForInterrupt(DWORD milliseconds);
// True once the console is being closed (or the session ends); the fault
// injector's "closing" kind counts each look.
bool ConsoleClosing();
// Waits up to milliseconds; true when the console began closing meanwhile.
bool WaitForClosing(DWORD milliseconds);

// Marks the main thread's wait for standard input (console.cpp), which an
// interrupt cancels (interrupts.cpp), again and again until the mark is
// gone; the mark is set before the thread looks at the interrupt flag.
void NoteReadingInput(bool reading);
