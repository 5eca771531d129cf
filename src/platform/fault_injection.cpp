// The fault injector: reads the plan from UPDATER_FAULTS
// ("write=3,close=1,held=1-4") at the first call after a reset and counts
// the calls of each kind; and the test builds' pause log.
//
// Portable C++ only: both platform implementations share this file.
#include "platform/fault_injection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxPlannedFaults = 32;

struct PlannedFault {
  FaultKind kind;        // which operation
  unsigned long first;   // the first call (counted from 1) that fails
  unsigned long last;    // the last one (first, unless a range was given)
};

struct FaultInjector {
  bool loaded;                                // the plan was read
  int planned;                                // entries used in plan
  PlannedFault plan[kMaxPlannedFaults];       // the faults to inject
  unsigned long calls[kFaultKindCount];       // calls seen per kind
};

FaultInjector g_faults = {};

// The names used in UPDATER_FAULTS, in FaultKind order.
const char* const kFaultNames[kFaultKindCount] = {
    "open_read", "query_time", "get_attributes", "set_attributes", "create_directory",
    "create_temp", "write", "close", "set_times", "replace", "held",
    "code_page", "replace_halfway", "restore", "flush", "kill", "interrupt",
    "flush_folder", "delete", "log", "temp_gone", "hard_link", "file_id",
    "closing", "kill_halfway"};

// Reads the decimal number in [text, end) into *value. False when it is
// empty, holds anything but digits, or is zero or absurdly large.
bool ReadCallNumber(const char* text, const char* end, unsigned long* value) {
  unsigned long number = 0;
  if (text >= end) return false;
  for (const char* p = text; p < end; ++p) {
    if (*p < '0' || *p > '9' || number > 100000000UL) return false;
    number = number * 10 + static_cast<unsigned long>(*p - '0');
  }
  *value = number;
  return number != 0;
}

// Adds one "name=N" or "name=N-M" item of count bytes to the plan. An item that does not
// read is reported on standard error, so a mistyped plan does not pass for
// a test of nothing.
void AddPlanItem(const char* item, size_t count) {
  const char* equals = static_cast<const char*>(memchr(item, '=', count));
  int kind = -1;
  if (equals != nullptr) {
    size_t name_length = static_cast<size_t>(equals - item);
    for (int k = 0; k < kFaultKindCount; ++k) {
      if (strlen(kFaultNames[k]) == name_length && memcmp(kFaultNames[k], item, name_length) == 0) {
        kind = k;
      }
    }
  }
  const char* end = item + count;
  const char* number = equals != nullptr ? equals + 1 : end;
  const char* dash = static_cast<const char*>(memchr(number, '-', static_cast<size_t>(end - number)));
  unsigned long first = 0;
  unsigned long last = 0;
  bool number_ok = ReadCallNumber(number, dash != nullptr ? dash : end, &first);
  if (dash == nullptr) last = first;
  else number_ok = number_ok && ReadCallNumber(dash + 1, end, &last) && last >= first;
  if (kind < 0 || !number_ok || g_faults.planned == kMaxPlannedFaults) {
    fprintf(stderr, "UPDATER_FAULTS: ignoring \"%.*s\"\n", static_cast<int>(count), item);
    return;
  }
  g_faults.plan[g_faults.planned++] = PlannedFault{static_cast<FaultKind>(kind), first, last};
}

void LoadPlan() {
  g_faults.loaded = true;
  const char* text = getenv("UPDATER_FAULTS");
  if (text == nullptr) return;
  while (*text != '\0') {
    size_t count = strcspn(text, ",");
    if (count > 0) AddPlanItem(text, count);
    text += count;
    if (*text == ',') ++text;
  }
}

}  // namespace

bool InjectFault(FaultKind kind) {
  if (!g_faults.loaded) LoadPlan();
  if (kind < 0 || kind >= kFaultKindCount) return false;
  unsigned long call = ++g_faults.calls[kind];
  for (int i = 0; i < g_faults.planned; ++i) {
    const PlannedFault& fault = g_faults.plan[i];
    if (fault.kind == kind && call >= fault.first && call <= fault.last) return true;
  }
  return false;
}

void ResetFaultInjection() { g_faults = FaultInjector{}; }

void LogTestPause(uint32_t milliseconds) {
  const char* log = getenv("UPDATER_PAUSE_LOG");
  if (log == nullptr || log[0] == '\0') return;
  FILE* file = fopen(log, "ab");
  if (file == nullptr) return;
  fprintf(file, "%u\n", static_cast<unsigned>(milliseconds));
  fclose(file);
}
