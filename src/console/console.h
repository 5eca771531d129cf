// The console dialogue: printing catalogue messages, one-key answers and the
// two timed stops.
#pragma once

#include "console/messages.h"

constexpr unsigned kFatalPauseMs = 5000;
constexpr unsigned kErrorPauseMs = 10000;

// Formats the message with its arguments (%s byte strings, %d int) and writes
// it to standard output, every line feed as carriage return + line feed.
void PrintMessage(MessageId id, ...);

// What a stop does before anything else: the run registers its rollback
// here once it may have changed something (nullptr: nothing). The hook runs
// at most once, before the stop's message, and returns true when it left a
// file where it should not be (the stop then ends with status 1).
using StopHook = bool (*)();
void SetStopHook(StopHook hook);

// An unattended run (/quiet) makes no pause at its end, and each stop ends
// it with the status of its message (exit_status.h) instead of 1.
void SetUnattended(bool unattended);

// Prints the message, pauses 5000 ms, ends the process with status 1. The
// message goes to the run's log too, its arguments made safe for a log line.
[[noreturn]] void FatalStop(MessageId id, ...);

// Prints the message, pauses 10000 ms, ends the process with status 1.
[[noreturn]] void ErrorStop(MessageId id, ...);

// An interrupt (Ctrl-C, closing the console, SIGTERM...): runs the stop
// hook and ends the process with status 1 at once, without a message or a
// pause.
[[noreturn]] void InterruptStop();

// The end of a complete run: logs it, pauses 5000 ms and ends the process
// with status 0, or 1 when the run named a file it left where it should not
// (left_something).
[[noreturn]] void FinishRun(bool left_something);

// The end of a look (/verify): logs it and ends the process with status 0
// when the installation is up to date, else 9; no pause.
[[noreturn]] void FinishVerify(bool current);

// Ends the run through InterruptStop when an interrupt has arrived; the run
// calls it where stopping is safe.
void CheckInterrupt();

// Reads standard input byte by byte and returns the first byte found in
// accepted (a NUL-terminated set; no case folding, no notion of two-byte
// characters). Returns -1 when the input ends first or fails. An interrupt
// while it waits ends the run (InterruptStop).
int ReadAnswerKey(const char* accepted);

// Drops input bytes up to and including the next line feed; returns at the
// end of input. An interrupt while it waits ends the run.
void DiscardLine();
