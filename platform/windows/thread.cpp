// Threads on the C runtime's _beginthreadex: created suspended, resumed, polled for
// their exit code and, when one will not stop, ended with TerminateThread (once; a thread
// that never ran is instead let run to an immediate end).
#include "platform/thread.h"

#include <process.h>
#include <windows.h>

namespace plat {

namespace {

constexpr DWORD kTerminateWaitMs = 2000;

// What the new thread is to run. The thread takes it over when it starts; a thread
// ended before it ever ran leaves it to its handle.
struct Start {
    ThreadProc proc;
    void *arg;
};

unsigned __stdcall threadMain(void *p) {
    auto *start = static_cast<Start *>(p);
    const Start run = *start;
    delete start;
    return run.proc(run.arg);
}

// What a thread that was never resumed runs instead of its procedure when it is ended:
// it returns the exit code it was given at once.
uint32_t endAtOnce(void *exitCode) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(exitCode)); }

}  // namespace

struct Thread {
    HANDLE handle;
    Start *start;             // owned here until the thread has been resumed
    bool terminated = false;  // ended by TerminateThread: never ended a second time
};

namespace {

// Ends a thread that was never resumed without TerminateThread (32-bit Wine crashes on
// TerminateThread of a suspended thread now and then): it runs, but only to return
// `exitCode`. Its procedure never runs.
void endUnstarted(Thread *h, uint32_t exitCode) {
    h->start->proc = endAtOnce;
    h->start->arg = reinterpret_cast<void *>(static_cast<uintptr_t>(exitCode));
    if (ResumeThread(h->handle) == static_cast<DWORD>(-1)) return;
    h->start = nullptr;  // the thread takes it over
    WaitForSingleObject(h->handle, kTerminateWaitMs);
}

}  // namespace

ThreadHandle createThreadSuspended(ThreadProc proc, void *arg) {
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto *start = new Start{proc, arg};
    unsigned id = 0;
    const uintptr_t h = _beginthreadex(nullptr, 0, threadMain, start, CREATE_SUSPENDED, &id);
    if (h == 0) {
        delete start;
        return nullptr;
    }
    return new Thread{reinterpret_cast<HANDLE>(h), start};
}

int32_t resumeThread(ThreadHandle h) {
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    const DWORD previous = ResumeThread(h->handle);
    if (previous == static_cast<DWORD>(-1)) return -1;
    h->start = nullptr;  // the thread owns it now (or already ran)
    return static_cast<int32_t>(previous);
}

int getExitCodeThread(ThreadHandle h, uint32_t *exitCode) {
    if (h == nullptr || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD code = 0;
    if (!GetExitCodeThread(h->handle, &code)) return 0;
    *exitCode = code;
    return 1;
}

int terminateThread(ThreadHandle h, uint32_t exitCode) {
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (h->start != nullptr) {
        endUnstarted(h, exitCode);
        return h->start == nullptr ? 1 : 0;
    }
    // Each thread is ended once at most, and a thread that has already ended keeps its
    // own exit code.
    if (h->terminated) return 1;
    DWORD code = 0;
    if (GetExitCodeThread(h->handle, &code) && code != THREAD_STILL_ACTIVE) return 1;
    if (!TerminateThread(h->handle, exitCode)) return 0;
    h->terminated = true;
    // TerminateThread returns before the thread is gone: wait for it (briefly; it does
    // not run again), so that its exit code is the one given here once this returns.
    WaitForSingleObject(h->handle, kTerminateWaitMs);
    return 1;
}

int closeHandle(ThreadHandle h) {
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // Never resumed: it would otherwise stay suspended for the life of the process.
    if (h->start != nullptr) endUnstarted(h, 0);
    delete h->start;  // only when it could not be resumed: then it never runs
    const BOOL closed = CloseHandle(h->handle);
    delete h;
    return closed ? 1 : 0;
}

}  // namespace plat
