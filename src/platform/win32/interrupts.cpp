// Console control events: Ctrl-C, Ctrl-Break and closing the console. The
// system calls the handler on a thread of its own; it only raises a flag
// and an event (which ends every pause and every wait for input), and
// the main thread rolls the run back at its next safe point and ends the
// process. For a console that is being closed the process ends as soon as
// the handler returns (the system allows it about five seconds in all), so
// the handler then waits for the main thread to end the process.
//
// Ctrl-C and Ctrl-Break set no deadline: a wait for a file that another
// program holds (a scanner on a file just replaced) keeps its growing waits,
// so the rollback that follows still gets its full chance. Only a close
// (and the logoff and shutdown events, where they arrive) cuts such waits to
// the attempt at hand, since the system ends the process a few seconds on.
//
// Logging off and shutting down never reach the handler: the system ends
// an interactive program at logoff before it sends those events (only
// services get them), and a process that has loaded user32.dll does not
// get them at all. For the update they are the same as a crash.
#include <windows.h>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {

// How often the handler cancels the main thread's read again while that
// thread is still reading: a cancel that comes before the read has reached
// the system finds nothing to cancel.
constexpr DWORD kCancelRepeatMs = 5;

using CancelThreadFunction = BOOL(WINAPI*)(HANDLE);
using CancelHandleFunction = BOOL(WINAPI*)(HANDLE, OVERLAPPED*);

struct Interrupts {
  volatile LONG raised;                // an event arrived
  volatile LONG closing;               // the event was a close, logoff or shutdown
  volatile LONG reading;               // the main thread is in (or entering) its input read
  SRWLOCK reading_lock;                // held around a change of reading and each cancel
  HANDLE raised_event;                 // set with it (manual reset): ends pauses and input waits
  HANDLE closing_event;                // set with closing (manual reset): ends waits for holders
  HANDLE main_thread;                  // the thread that runs the update
  CancelThreadFunction cancel_thread;  // CancelSynchronousIo (Vista on), or null
  CancelHandleFunction cancel_handle;  // CancelIoEx (Vista on), or null
};
Interrupts g_interrupts = {0, 0, 0, SRWLOCK_INIT, nullptr, nullptr, nullptr, nullptr, nullptr};

// Raises the flag, and for a close, logoff or shutdown the closing mark.
void RaiseInterrupt(bool closing) {
  if (closing) {
    InterlockedExchange(&g_interrupts.closing, 1);
    if (g_interrupts.closing_event != nullptr) SetEvent(g_interrupts.closing_event);
  }
  InterlockedExchange(&g_interrupts.raised, 1);
  if (g_interrupts.raised_event != nullptr) SetEvent(g_interrupts.raised_event);
}

// Cancels the main thread's read of standard input, once, if it is still
// reading. The lock keeps the main thread from leaving its read (and
// starting any other I/O, such as the rollback's) during the cancel, so
// only that read is ever cancelled, never a write of the update's files.
// True while the main thread is still reading.
bool CancelMainThreadRead() {
  AcquireSRWLockExclusive(&g_interrupts.reading_lock);
  bool reading = g_interrupts.reading != 0;
  if (reading) {
    if (g_interrupts.cancel_handle != nullptr) {
      g_interrupts.cancel_handle(GetStdHandle(STD_INPUT_HANDLE), nullptr);
    }
    if (g_interrupts.cancel_thread != nullptr && g_interrupts.main_thread != nullptr) {
      g_interrupts.cancel_thread(g_interrupts.main_thread);
    }
  }
  ReleaseSRWLockExclusive(&g_interrupts.reading_lock);
  return reading;
}

// A console read is cut short by Ctrl-C itself, but not a read from a pipe,
// nor one from a console that is going away. The main thread marks its read
// before it looks at the flag, so either it sees the flag, or this loop
// sees the mark and cancels until the read has ended.
BOOL WINAPI OnConsoleControl(DWORD event) {
  bool closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
  RaiseInterrupt(closing);
  if (g_interrupts.cancel_handle != nullptr || g_interrupts.cancel_thread != nullptr) {
    while (CancelMainThreadRead()) Sleep(kCancelRepeatMs);
  }
  if (!closing) return TRUE;
  Sleep(INFINITE);  // the main thread ends the process
  return TRUE;
}

}  // namespace

void PlatformWatchInterrupts() {
  if (g_interrupts.raised_event == nullptr) {
    g_interrupts.raised_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  if (g_interrupts.closing_event == nullptr) {
    g_interrupts.closing_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  if (g_interrupts.main_thread == nullptr) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                    &g_interrupts.main_thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  // Both exist from Windows Vista on, so they are looked up by name.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel != nullptr) {
    g_interrupts.cancel_thread = reinterpret_cast<CancelThreadFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "CancelSynchronousIo")));
    g_interrupts.cancel_handle = reinterpret_cast<CancelHandleFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "CancelIoEx")));
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool PlatformInterrupted() {
  if (InjectFault(kFaultInterrupt)) RaiseInterrupt(false);
  return g_interrupts.raised != 0;
}

bool ConsoleClosing() {
  if (InjectFault(kFaultClosing)) RaiseInterrupt(true);
  return g_interrupts.closing != 0;
}

bool WaitForClosing(DWORD milliseconds) {
  if (g_interrupts.closing_event == nullptr) {
    Sleep(milliseconds);
    return ConsoleClosing();
  }
  return WaitForSingleObject(g_interrupts.closing_event, milliseconds) == WAIT_OBJECT_0;
}

void NoteReadingInput(bool reading) {
  AcquireSRWLockExclusive(&g_interrupts.reading_lock);
  InterlockedExchange(&g_interrupts.reading, reading ? 1 : 0);
  ReleaseSRWLockExclusive(&g_interrupts.reading_lock);
}

bool WaitForInterrupt(DWORD milliseconds) {
  if (g_interrupts.raised_event == nullptr) {
    Sleep(milliseconds);
    return PlatformInterrupted();
  }
  return WaitForSingleObject(g_interrupts.raised_event, milliseconds) == WAIT_OBJECT_0;
}
