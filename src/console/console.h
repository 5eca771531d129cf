// The console dialogue: printing catalogue messages, one-key answers and the
// two timed stops.
#pragma once

#include "console/messages.h"

constexpr unsigned kFatalPauseMs = 5000;
constexpr unsigned kErrorPauseMs = 10000;

// Formats the message with its arguments (%s byte strings, %d int) and writes
// it to standard output, every line feed as carriage return + line feed.
void PrintMessage(MessageId id, ...);

// Prints the message, pauses 5000 ms, ends the process with status 1.
[[noreturn]] void FatalStop(MessageId id, ...);

// Prints the message, pauses 10000 ms, ends the process with status 1.
[[noreturn]] void ErrorStop(MessageId id, ...);

// Reads standard input byte by byte and returns the first byte found in
// accepted (a NUL-terminated set; no case folding, no notion of two-byte
// characters). Returns -1 when the input ends first or fails.
int ReadAnswerKey(const char* accepted);

// Drops input bytes up to and including the next line feed; returns at the
// end of input.
void DiscardLine();
