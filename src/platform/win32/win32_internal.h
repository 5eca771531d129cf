// Private interface of the Win32 side: shared by the files of platform/win32,
// never by the rest of the program.
#pragma once

#include <windows.h>

#include <cstddef>

// Paths past MAX_PATH for the temporary file and the replace (paths.cpp): the
// ANSI calls stop at 259 characters, while a folder of up to 255 characters
// plus the temporary name goes beyond that. Such paths are turned into the
// wide "\\?\" form, which has no such limit.

// True when path is too long for the ANSI calls.
bool IsLongPath(const char* path);

// Converts an ANSI path into the fully qualified wide "\\?\" form (UNC paths
// become "\\?\UNC\..."). False when the conversion fails or does not fit
// capacity wide characters.
bool ToLongWidePath(const char* path, wchar_t* out, size_t capacity);

// True for the errors of a file that another process holds open without
// sharing what the call needs (files.cpp).
bool IsHeldError(DWORD error);

// Writes what the console holds back (files and pipes) to standard output
// (console.cpp; called at exit).
void FlushConsoleOutput();

// Waits up to milliseconds for an interrupt (interrupts.cpp); true when one
// has arrived. A plain Sleep before PlatformWatchInterrupts.
bool WaitForInterrupt(DWORD milliseconds);

// Marks the main thread's wait for standard input (console.cpp), which an
// interrupt cancels (interrupts.cpp).
void NoteReadingInput(bool reading);
