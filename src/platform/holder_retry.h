// Waiting out another program that holds a file for a moment.
//
// A virus scanner or a search indexer opens a file that has just been
// written and lets go within a second or two; a viewer that is closing does
// the same. While it holds the file, opening it, replacing it or deleting it
// fails with a sharing violation. Such an operation is tried again with
// growing waits, about five seconds in all, before the failure counts.
//
// Shared by both platform sides: each says what one attempt is and which of
// its failures a holder causes; PauseForHolder is each side's own wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fault_injection.h"

enum AttemptResult {
  kAttemptDone,    // the operation succeeded
  kAttemptFailed,  // it failed for a reason that waiting does not cure
  kAttemptHeld     // another program holds the file: worth another try
};

// The waits between attempts; the first try and seven more.
constexpr uint32_t kHolderWaitsMs[] = {50, 100, 200, 400, 800, 1450, 2000};
constexpr uint32_t kHolderWaitTotalMs = 50 + 100 + 200 + 400 + 800 + 1450 + 2000;
static_assert(kHolderWaitTotalMs == 5000, "about five seconds in all");

// Waits between two attempts (process.cpp of each side); an interrupt ends
// the wait at once. True when an interrupt has arrived (looked at once per
// wait): no further attempt is made then, since a console that is being
// closed leaves the run only a few seconds to roll back. Not one of the
// run's pauses: the host build does not log it.
bool PauseForHolder(uint32_t milliseconds);

// Runs attempt() until it is done, fails for good, is still held after the
// last wait, or an interrupt cuts a wait short. The fault injector's "held"
// kind makes an attempt count as held without making it, so that tests
// show a holder that lets go after a given number of attempts, or never.
// True when the operation succeeded.
template <typename Attempt>
bool RetryWhileHeld(Attempt attempt) {
  constexpr size_t kWaits = sizeof kHolderWaitsMs / sizeof kHolderWaitsMs[0];
  for (size_t waited = 0;; ++waited) {
    AttemptResult result = InjectFault(kFaultHeld) ? kAttemptHeld : attempt();
    if (result != kAttemptHeld) return result == kAttemptDone;
    if (waited == kWaits || PauseForHolder(kHolderWaitsMs[waited])) return false;
  }
}
