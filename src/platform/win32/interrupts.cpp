// Console control events: Ctrl-C, Ctrl-Break, closing the console window,
// logging off and shutting down. The system calls the handler on a thread of
// its own; it only raises a flag (and an event that ends a pause), and the
// main thread rolls the run back at its next safe point and ends the
// process. For a console that is being closed the process ends as soon as
// the handler returns (the system allows it a few seconds), so the handler
// then waits for the main thread to end the process.
#include <windows.h>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {

struct Interrupts {
  volatile LONG raised;   // an event arrived
  volatile LONG reading;  // the main thread waits for console input
  HANDLE raised_event;    // set with it (manual reset): ends pauses and console waits
  HANDLE main_thread;     // the thread that runs the update
};
Interrupts g_interrupts = {0, 0, nullptr, nullptr};

// Ends a read of standard input that the main thread waits in: a console
// read is cut short by Ctrl-C itself, but not a read from a pipe, nor one
// from a console that is going away. Only that read is cancelled, never a
// write of the update's files. CancelSynchronousIo exists from Windows Vista
// on, so it is looked up by name.
void CancelMainThreadRead() {
  if (g_interrupts.reading == 0) return;
  using CancelFunction = BOOL(WINAPI*)(HANDLE);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr || g_interrupts.main_thread == nullptr) return;
  void* found = reinterpret_cast<void*>(GetProcAddress(kernel, "CancelSynchronousIo"));
  CancelFunction cancel = reinterpret_cast<CancelFunction>(found);
  if (cancel != nullptr) cancel(g_interrupts.main_thread);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  InterlockedExchange(&g_interrupts.raised, 1);
  if (g_interrupts.raised_event != nullptr) SetEvent(g_interrupts.raised_event);
  CancelMainThreadRead();
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  Sleep(INFINITE);  // the main thread ends the process
  return TRUE;
}

}  // namespace

void PlatformWatchInterrupts() {
  if (g_interrupts.raised_event == nullptr) {
    g_interrupts.raised_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  if (g_interrupts.main_thread == nullptr) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                    &g_interrupts.main_thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool PlatformInterrupted() {
  if (InjectFault(kFaultInterrupt)) InterlockedExchange(&g_interrupts.raised, 1);
  return g_interrupts.raised != 0;
}

void NoteReadingInput(bool reading) {
  InterlockedExchange(&g_interrupts.reading, reading ? 1 : 0);
}

bool WaitForInterrupt(DWORD milliseconds) {
  if (g_interrupts.raised_event == nullptr) {
    Sleep(milliseconds);
    return PlatformInterrupted();
  }
  return WaitForSingleObject(g_interrupts.raised_event, milliseconds) == WAIT_OBJECT_0;
}
